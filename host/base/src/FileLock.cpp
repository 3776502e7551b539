#include "host/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/RegularFile.h"

namespace host {

FileLock::FileLock(const std::filesystem::path& guardedFile) {
    std::filesystem::path lockPath = guardedFile;
    lockPath += ".lock";
    fd_ = openFileForWriting(lockPath, O_RDWR | O_CREAT, &error_);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        error_ = lockPath.string() + ": cannot lock: " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return;
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the lock
}

}  // namespace host
