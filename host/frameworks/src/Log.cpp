// NSLog: one record per call in Library/Logs/system.log, echoed to stderr.
#include "host/Log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

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

std::string executableName() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && !exe.filename().empty()) return exe.filename().string();
    return program_invocation_short_name;
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
// same time never interleave within a line.
void writeWhole(int fd, const std::string& bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void appendToSystemLog(const std::string& line) {
    const auto path = systemLogPath();
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT) {
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    if (fd < 0) return;  // the log is best effort; stderr still gets the line
    writeWhole(fd, line);
    ::close(fd);
}

}  // namespace

void setLogProgramName(const std::string& name) {
    std::lock_guard lock(nameMutex());
    programNameOverride() = name;
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
    host::appendToSystemLog(line);
    host::writeWhole(STDERR_FILENO, line);
}

void NSLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    NSLogv(format, args);
    va_end(args);
}
