// The simulated Mac's folder layout and atomic file replacement.
#include "host/SimMac.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace host {

namespace {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

void setError(std::string* error, std::string message) {
    if (error) *error = std::move(message);
}

std::string errnoText(int code) { return std::strerror(code); }

// mkstemp's suffix: six characters.
constexpr std::size_t kTemporarySuffixLength = 6;

// A writer holds an flock on its temporary file from creating it until the
// rename, so a temporary file of the same target that nobody holds was left
// by a writer that died in between (killed, say). Without this every such
// death would leave one more file behind for good.
void removeAbandonedTemporaries(const std::filesystem::path& dir, const std::string& prefix) {
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = item.path().filename().string();
        if (name.size() != prefix.size() + kTemporarySuffixLength ||
            name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const int fd = ::open(item.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        // Remove it by name only while the name still leads to the file
        // whose lock this process got.
        struct stat held {
        }, named{};
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
            S_ISREG(held.st_mode) && ::lstat(item.path().c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            ::unlink(item.path().c_str());
        ::close(fd);
    }
}

// Creates the temporary file locked. Another writer's clean-up may remove a
// new file in the moment before it is locked; then it tries a new name.
int createLockedTemporary(std::string& path, const std::string& pattern) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = pattern;
        const int fd = mkostemp(path.data(), O_CLOEXEC);
        if (fd < 0) return -1;
        int locked;
        while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        struct stat st {};
        if (locked == 0 && ::fstat(fd, &st) == 0 && st.st_nlink > 0) return fd;
        const int code = locked != 0 ? errno : 0;
        ::close(fd);
        if (code != 0) {
            ::unlink(path.c_str());
            errno = code;
            return -1;
        }
    }
    errno = EAGAIN;
    return -1;
}

}  // namespace

// Read on every call: tests point SIMMAC_ROOT at a new folder per test.
std::filesystem::path simmacRoot() {
    if (const char* root = std::getenv("SIMMAC_ROOT"); root && *root) return root;
    return homeDirectory() / ".local" / "share" / "tarnwick" / "simmac";
}

const std::string& simmacRootText() {
    // Keyed by what simmacRoot() reads, compared without building a path;
    // HOME only matters without SIMMAC_ROOT.
    thread_local std::string rootVariable, homeVariable, text;
    thread_local bool known = false;
    const char* root = std::getenv("SIMMAC_ROOT");
    const bool named = root && *root;
    if (known && named && rootVariable == root) return text;
    const char* home = named ? nullptr : std::getenv("HOME");
    if (known && !named && rootVariable.empty() && homeVariable == (home ? home : "")) return text;
    rootVariable = named ? root : "";
    homeVariable = home ? home : "";
    text = simmacRoot().string();
    known = true;
    return text;
}

std::filesystem::path machinePlistPath() { return simmacRoot() / "machine.plist"; }
std::filesystem::path preferencesDir() { return simmacRoot() / "Library" / "Preferences"; }
std::filesystem::path logsDir() { return simmacRoot() / "Library" / "Logs"; }
std::filesystem::path systemLogPath() { return logsDir() / "system.log"; }
std::filesystem::path driverLogPath() { return logsDir() / "driver.jsonl"; }
std::filesystem::path preferencePanesDir() { return simmacRoot() / "Library" / "PreferencePanes"; }

bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes,
                         std::string* error, const timespec* modified) {
    if (path.empty() || !path.has_filename()) {
        setError(error, "no file name given");
        return false;
    }
    const std::filesystem::path dir = path.parent_path().empty() ? "." : path.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        setError(error, dir.string() + ": cannot create folder: " + ec.message());
        return false;
    }

    // The rename replaces whatever has the name, a symbolic link or a FIFO
    // included, without opening it; only a folder cannot be replaced.
    struct stat existing {};
    const bool exists = ::lstat(path.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        setError(error, path.string() + ": not a regular file (a folder)");
        return false;
    }

    // The temporary file lies in the same folder so that rename() replaces the
    // target in one step: a reader sees the old or the new file, never a part.
    const std::string prefix = "." + path.filename().string() + ".";
    removeAbandonedTemporaries(dir, prefix);
    std::string tmpl;
    const int fd = createLockedTemporary(
        tmpl, (dir / (prefix + std::string(kTemporarySuffixLength, 'X'))).string());
    if (fd < 0) {
        setError(error, path.string() + ": cannot create a temporary file: " + errnoText(errno));
        return false;
    }
    // A second descriptor keeps the lock from closing the file (which
    // reports late write errors) until the rename is done.
    const int lockFd = ::dup(fd);

    // Keep the permissions of the file being replaced (never those of what a
    // link names); a new file gets the usual 0644.
    const mode_t mode = exists && S_ISREG(existing.st_mode) ? (existing.st_mode & 07777) : 0644;
    ::fchmod(fd, mode);

    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int code = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(tmpl.c_str());
            ::close(lockFd);
            setError(error, path.string() + ": write failed: " + errnoText(code));
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    const timespec times[2] = {{0, UTIME_OMIT}, modified ? *modified : timespec{0, UTIME_OMIT}};
    if (modified) ::futimens(fd, times);
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(tmpl.c_str());
        ::close(lockFd);
        setError(error, path.string() + ": write failed: " + errnoText(code));
        return false;
    }
    if (::rename(tmpl.c_str(), path.c_str()) != 0) {
        const int code = errno;
        ::unlink(tmpl.c_str());
        ::close(lockFd);
        setError(error, path.string() + ": cannot replace the file: " + errnoText(code));
        return false;
    }
    ::close(lockFd);
    return true;
}

}  // namespace host
