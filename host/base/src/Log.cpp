// NSLog: one record per call in Library/Logs/system.log; on stderr too when
// the program is asked to be verbose, or when the log cannot take it.
#include "host/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>
#include <string_view>

#include "host/OwnProcess.h"
#include "host/RegularFile.h"
#include "host/SimMac.h"

namespace host {

namespace {

std::mutex& nameMutex() {
    static std::mutex m;
    return m;
}

std::string& programNameOverride() {
    static std::string name;
    return name;
}

std::atomic<bool> echoRequested{false};

// TARNWICK_VERBOSE set to anything but "" or "0", read on every call like
// SIMMAC_ROOT.
bool verboseByEnvironment() {
    const char* value = std::getenv("TARNWICK_VERBOSE");
    return value && *value && std::string_view(value) != "0";
}

// Looked up once: a process runs one executable until it ends or execs.
const std::string& executableName() {
    static const std::string name = [] {
        if (const std::optional<std::string>& exe = ownExecutablePath()) {
            const std::size_t slash = exe->rfind('/');
            std::string name = slash == std::string::npos ? *exe : exe->substr(slash + 1);
            if (!name.empty()) return name;
        }
        return std::string(program_invocation_short_name);
    }();
    return name;
}

void appendProgramName(std::string& out) {
    std::lock_guard lock(nameMutex());
    out += programNameOverride().empty() ? executableName() : programNameOverride();
}

// "YYYY-MM-DD HH:MM:SS.mmm" in local time, appended to `out`. The date and
// time to the second are worked out once a second: a search can log
// hundreds of lines in one.
void appendTimestamp(std::string& out) {
    timeval now{};
    gettimeofday(&now, nullptr);
    thread_local time_t second = -1;
    thread_local char upToSecond[48];
    thread_local std::size_t length = 0;
    if (now.tv_sec != second) {
        tm local{};
        localtime_r(&now.tv_sec, &local);
        length = std::strftime(upToSecond, sizeof upToSecond, "%Y-%m-%d %H:%M:%S", &local);
        second = now.tv_sec;
    }
    out.append(upToSecond, length);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(now.tv_usec / 1000));
    out += millis;
}

// The whole record goes out in one write(): with O_APPEND the kernel puts it
// at the end of the file in one piece, so records of processes logging at the
// same time never interleave within a line. False when not all of it went.
bool writeWhole(int fd, const std::string& bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// The system log as this process has it open: kept across lines while it
// has a name (a log removed or replaced is opened anew at once) and, looked
// up by its path at most every 100 ms, while that name is its path (a log
// moved away, as a rotation does, gets the lines of those 100 ms at most);
// never shared with a forked child.
struct OpenLog {
    std::mutex mutex;
    int pid = 0;
    std::string root, path;
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    std::int64_t pathCheckedAt = 0;  // coarse clock, nanoseconds
};

std::int64_t coarseNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool appendToSystemLog(const std::string& line) {
    static OpenLog log;
    std::lock_guard<std::mutex> guard(log.mutex);
    const std::string& root = simmacRootText();
    const int pid = ownProcessID();
    if (log.fd >= 0 && (log.pid != pid || log.root != root)) {
        ::close(log.fd);
        log.fd = -1;
    }
    if (log.fd < 0) {
        log.root = root;
        log.path = systemLogPath().string();
    }
    struct stat named {};
    const std::int64_t now = coarseNanoseconds();
    if (log.fd >= 0) {
        const bool pathDue = now - log.pathCheckedAt >= 100'000'000;
        const bool gone = pathDue ? ::lstat(log.path.c_str(), &named) != 0 ||
                                        named.st_dev != log.dev || named.st_ino != log.ino
                                  : ::fstat(log.fd, &named) != 0 || named.st_nlink == 0;
        if (pathDue) log.pathCheckedAt = now;
        if (gone) {
            ::close(log.fd);
            log.fd = -1;
        }
    }
    if (log.fd < 0) {
        const int fd = openFileForWriting(log.path, O_WRONLY | O_APPEND | O_CREAT, nullptr);
        struct stat st {};
        if (fd < 0) return false;
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            return false;
        }
        log.pid = pid;
        log.fd = fd;
        log.dev = st.st_dev;
        log.ino = st.st_ino;
        log.pathCheckedAt = now;
    }
    return writeWhole(log.fd, line);
}

}  // namespace

void setLogProgramName(const std::string& name) {
    std::lock_guard lock(nameMutex());
    programNameOverride() = name;
}

void setLogEchoToStderr(bool echo) { echoRequested = echo; }

void logOnce(const std::string& message) {
    static std::mutex mutex;
    static std::set<std::string> logged;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (!logged.insert(message).second) return;
    }
    NSLog("%s", message.c_str());
}

}  // namespace host

void NSLogv(const char* format, va_list args) {
    // The text formatted once where it fits a line's usual length.
    char small[512];
    std::string large;
    std::string_view text;
    if (format) {
        va_list copy;
        va_copy(copy, args);
        const int needed = std::vsnprintf(small, sizeof small, format, copy);
        va_end(copy);
        if (needed > 0 && static_cast<std::size_t>(needed) < sizeof small) {
            text = std::string_view(small, static_cast<std::size_t>(needed));
        } else if (needed > 0) {
            large.resize(static_cast<std::size_t>(needed) + 1);
            std::vsnprintf(large.data(), large.size(), format, args);
            large.resize(static_cast<std::size_t>(needed));
            text = large;
        }
    }
    std::string line;
    line.reserve(text.size() + 96);
    host::appendTimestamp(line);
    line += ' ';
    host::appendProgramName(line);
    char pid[16];
    line.append(pid, static_cast<std::size_t>(
                         std::snprintf(pid, sizeof pid, "[%d] ", host::ownProcessID())));
    line += text;
    if (line.back() != '\n') line += '\n';
    // A line the system log cannot take goes to stderr, so that none is lost.
    const bool logged = host::appendToSystemLog(line);
    if (!logged || host::echoRequested || host::verboseByEnvironment())
        host::writeWhole(STDERR_FILENO, line);
}

void NSLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    NSLogv(format, args);
    va_end(args);
}
