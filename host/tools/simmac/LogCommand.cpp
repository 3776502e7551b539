// simmac log: the system log, Library/Logs/system.log, where every program's
// NSLog lines go. All of it or its last lines; with --follow it goes on
// printing what is added (also after the file is replaced or cut) until
// interrupted. A missing log is an empty one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "SimmacCommands.h"
#include "host/SimMac.h"

namespace simmac {

namespace {

class SystemLog {
public:
    ~SystemLog() { close(); }

    // Opens the log if it is there. False with a message when something
    // other than a regular file stands in its place; true and nothing open
    // when there is no log (yet).
    bool open(std::string* error) {
        const std::string path = host::systemLogPath().string();
        // Never follows a link planted in the simulated Mac, never blocks on a FIFO.
        fd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) {
            if (errno == ENOENT) return true;
            *error = "cannot read " + path + ": " +
                     (errno == ELOOP ? std::string("it is a symbolic link") : std::strerror(errno));
            return false;
        }
        struct stat st {};
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = "cannot read " + path + ": it is not a regular file";
            close();
            return false;
        }
        inode_ = st.st_ino;
        offset_ = 0;
        return true;
    }

    bool isOpen() const { return fd_ >= 0; }

    // Skips to where the last `lines` lines begin (a last line without its
    // newline counts as one).
    void seekToLast(std::size_t lines) {
        struct stat st {};
        if (fstat(fd_, &st) != 0) return;
        const off_t size = st.st_size;
        offset_ = size;
        if (lines == 0) return;
        // The file's final newline ends the last line; newlines before it start lines.
        off_t end = size - 1;
        std::size_t found = 0;
        char block[65536];
        while (end > 0) {
            const off_t start = std::max<off_t>(end - static_cast<off_t>(sizeof block), 0);
            const ssize_t n = pread(fd_, block, static_cast<std::size_t>(end - start), start);
            if (n <= 0) break;
            for (ssize_t i = n - 1; i >= 0; --i) {
                if (block[i] == '\n' && ++found == lines) {
                    offset_ = start + i + 1;
                    return;
                }
            }
            end = start;
        }
        offset_ = 0;
    }

    // Copies what lies past the offset to stdout. False on a read error.
    bool copyNew() {
        char block[65536];
        for (;;) {
            const ssize_t n = pread(fd_, block, sizeof block, offset_);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) return true;
            std::cout.write(block, n);
            offset_ += n;
        }
    }

    // Whether the log was replaced, removed or cut since it was opened: then
    // it is read again from its start.
    bool replaced() const {
        struct stat now {};
        if (::lstat(host::systemLogPath().c_str(), &now) != 0) return isOpen();
        if (!isOpen()) return true;
        return now.st_ino != inode_ || now.st_size < offset_;
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    ino_t inode_ = 0;
    off_t offset_ = 0;
};

}  // namespace

int showSystemLog(bool follow, std::optional<std::size_t> last) {
    SystemLog log;
    std::string error;
    if (!log.open(&error)) {
        std::cerr << "simmac: " << error << "\n";
        return 1;
    }
    if (log.isOpen()) {
        if (last) log.seekToLast(*last);
        if (!log.copyNew()) {
            std::cerr << "simmac: cannot read " << host::systemLogPath().string() << ": "
                      << std::strerror(errno) << "\n";
            return 1;
        }
    }
    std::cout.flush();
    while (follow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (log.replaced()) {
            log.close();
            if (!log.open(&error)) {
                std::cerr << "simmac: " << error << "\n";
                return 1;
            }
        }
        if (log.isOpen() && !log.copyNew()) {
            std::cerr << "simmac: cannot read " << host::systemLogPath().string() << ": "
                      << std::strerror(errno) << "\n";
            return 1;
        }
        std::cout.flush();
    }
    return std::cout.good() ? 0 : 1;
}

}  // namespace simmac
