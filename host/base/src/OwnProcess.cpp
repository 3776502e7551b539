#include "host/OwnProcess.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

namespace host {

namespace {

constexpr std::size_t kProcFileBytes = std::size_t{1} << 20;

}  // namespace

std::optional<std::string> readProcFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            if (content.size() + static_cast<std::size_t>(n) > kProcFileBytes) {
                ::close(fd);
                return std::nullopt;
            }
            content.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return content;
}

const std::optional<std::string>& ownExecutablePath() {
    static const std::optional<std::string> path = []() -> std::optional<std::string> {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
        // A result that fills the buffer may have been cut short.
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }();
    return path;
}

namespace {

std::atomic<int> processID{0};

void forgetProcessID() { processID.store(0, std::memory_order_relaxed); }

}  // namespace

int ownProcessID() {
    static const bool watched = ::pthread_atfork(nullptr, nullptr, forgetProcessID) == 0;
    int id = processID.load(std::memory_order_relaxed);
    if (id == 0 || !watched) {
        id = ::getpid();
        processID.store(id, std::memory_order_relaxed);
    }
    return id;
}

std::vector<std::string> ownCommandLine() {
    std::vector<std::string> words;
    const std::optional<std::string> line = readProcFile("/proc/self/cmdline");
    if (!line) return words;
    // Each word ends in a NUL.
    for (std::size_t start = 0; start < line->size();) {
        std::size_t end = line->find('\0', start);
        if (end == std::string::npos) end = line->size();
        words.push_back(line->substr(start, end - start));
        start = end + 1;
    }
    return words;
}

}  // namespace host
