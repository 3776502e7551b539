#include "host/OwnProcess.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace host {

std::optional<std::string> readProcFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
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
