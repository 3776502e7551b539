// NSLog: one record per call in Library/Logs/system.log; on stderr too when
// the program is asked to be verbose, or when the log cannot take it.
#include "host/Log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

std::string programName() {
    std::lock_guard lock(nameMutex());
    if (!programNameOverride().empty()) return programNameOverride();
    return executableName();
}

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string timestamp() {
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buf + n, sizeof buf - n, ".%03d", static_cast<int>(now.tv_usec / 1000));
    return buf;
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

bool appendToSystemLog(const std::string& line) {
    const int fd = openFileForWriting(systemLogPath(), O_WRONLY | O_APPEND | O_CREAT, nullptr);
    if (fd < 0) return false;
    const bool written = writeWhole(fd, line);
    return ::close(fd) == 0 && written;
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
    std::string text;
    if (format) {
        va_list copy;
        va_copy(copy, args);
        const int needed = std::vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        if (needed > 0) {
            text.resize(static_cast<std::size_t>(needed) + 1);
            std::vsnprintf(text.data(), text.size(), format, args);
            text.resize(static_cast<std::size_t>(needed));
        }
    }
    std::string line = host::timestamp() + " " + host::programName() + "[" +
                       std::to_string(::getpid()) + "] " + text;
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
