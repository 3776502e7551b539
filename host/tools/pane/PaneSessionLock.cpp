#include "PaneSessionLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "host/SimMac.h"

std::filesystem::path PaneSessionLock::path() { return host::simmacRoot() / "pane-session.lock"; }

PaneSessionLock::~PaneSessionLock() {
    if (fd_ < 0) return;
    // The pid goes first, so nobody reads it as the holder's once the lock is free.
    if (held_ && ftruncate(fd_, 0) != 0) {
        // A stale pid is harmless: it is only read while the lock is taken.
    }
    close(fd_);
}

// The file is in the simulated Mac, where anything may have been put in its
// place: a symbolic link is not followed, and a FIFO or a device is refused
// rather than opened for good (O_NONBLOCK keeps a FIFO from blocking).
bool PaneSessionLock::open() {
    const std::filesystem::path file = path();
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd_ < 0) {
        error_ = "cannot open " + file.string() + ": " +
                 (errno == ELOOP ? std::string("it is a symbolic link") : std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        error_ = "cannot use " + file.string() + ": it is not a regular file";
        close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

pid_t PaneSessionLock::readHolder() const {
    char text[24] = {};
    const ssize_t n = pread(fd_, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return pid > 0 && end != text ? static_cast<pid_t>(pid) : 0;
}

PaneSessionLock::Result PaneSessionLock::acquire(std::chrono::milliseconds wait,
                                                 const std::function<void(pid_t)>& onWait) {
    if (fd_ < 0 && !open()) return Result::kFailed;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool told = false;
    for (;;) {
        if (flock(fd_, LOCK_EX | LOCK_NB) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            error_ = "cannot lock " + path().string() + ": " + std::strerror(errno);
            return Result::kFailed;
        }
        holder_ = readHolder();
        if (std::chrono::steady_clock::now() >= deadline) return Result::kHeld;
        if (!told && onWait) onWait(holder_);
        told = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    held_ = true;
    holder_ = getpid();
    const std::string pid = std::to_string(holder_) + "\n";
    if (ftruncate(fd_, 0) != 0 ||
        pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds without it; only a waiting session's message lacks the pid.
    }
    return Result::kAcquired;
}

std::string PaneSessionLock::holderText(pid_t holder) {
    return holder > 0 ? "pid " + std::to_string(holder) : "pid unknown";
}
