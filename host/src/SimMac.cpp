// The simulated Mac's folder layout and atomic file replacement.
#include "host/SimMac.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace host {

namespace {

std::filesystem::path homeDirectory()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/tmp";
}

void setError(std::string* error, std::string message)
{
    if (error)
        *error = std::move(message);
}

std::string errnoText(int code)
{
    return std::strerror(code);
}

}  // namespace

// Read on every call: tests point SIMMAC_ROOT at a new folder per test.
std::filesystem::path simmacRoot()
{
    if (const char* root = std::getenv("SIMMAC_ROOT"); root && *root)
        return root;
    return homeDirectory() / ".local" / "share" / "tarnwick" / "simmac";
}

std::filesystem::path machinePlistPath() { return simmacRoot() / "machine.plist"; }
std::filesystem::path preferencesDir() { return simmacRoot() / "Library" / "Preferences"; }
std::filesystem::path logsDir() { return simmacRoot() / "Library" / "Logs"; }
std::filesystem::path systemLogPath() { return logsDir() / "system.log"; }
std::filesystem::path driverLogPath() { return logsDir() / "driver.jsonl"; }
std::filesystem::path preferencePanesDir() { return simmacRoot() / "Library" / "PreferencePanes"; }

bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes, std::string* error)
{
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

    // The temporary file lies in the same folder so that rename() replaces the
    // target in one step: a reader sees the old or the new file, never a part.
    std::string tmpl = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(tmpl.data());
    if (fd < 0) {
        setError(error, path.string() + ": cannot create a temporary file: " + errnoText(errno));
        return false;
    }

    // Keep the permissions of the file being replaced; a new file gets the
    // usual 0644.
    struct stat existing {};
    const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
    ::fchmod(fd, mode);

    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int code = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(tmpl.c_str());
            setError(error, path.string() + ": write failed: " + errnoText(code));
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(tmpl.c_str());
        setError(error, path.string() + ": write failed: " + errnoText(code));
        return false;
    }
    if (::rename(tmpl.c_str(), path.c_str()) != 0) {
        const int code = errno;
        ::unlink(tmpl.c_str());
        setError(error, path.string() + ": cannot replace the file: " + errnoText(code));
        return false;
    }
    return true;
}

}  // namespace host
