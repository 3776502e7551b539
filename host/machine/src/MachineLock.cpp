#include "MachineLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "MachinePaths.h"
#include "host/OwnProcess.h"
#include "host/RegularFile.h"

namespace host {

namespace {

std::mutex turnMutex;
thread_local bool heldHere = false;

// The lock file as this process has it open; only touched with turnMutex
// held.
struct LockFile {
    pid_t pid = 0;
    std::string path;
    int fd = -1;
} lockFile;

void forget() {
    // In a forked child this closes only the child's copy: the parent's
    // lock, on the same open file, stays as it is (flock(LOCK_UN) would
    // release it for both).
    if (lockFile.fd >= 0) ::close(lockFile.fd);
    lockFile = LockFile{};
}

}  // namespace

MachineLock::MachineLock() : turn_(turnMutex) {
    const std::string& path = machinePaths().lock;
    const pid_t pid = ownProcessID();
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (lockFile.fd >= 0 && (lockFile.pid != pid || lockFile.path != path)) forget();
        if (lockFile.fd < 0) {
            const int fd = openFileForWriting(path, O_RDWR | O_CREAT, &error_);
            if (fd < 0) return;
            lockFile = LockFile{pid, path, fd};
        }
        int result;
        while ((result = ::flock(lockFile.fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (result != 0) {
            error_ = path + ": cannot lock: " + std::strerror(errno);
            forget();
            return;
        }
        // The lock holds only while the file locked still has its name: a
        // lock file removed or replaced meanwhile is opened anew.
        struct stat locked {};
        if (::fstat(lockFile.fd, &locked) == 0 && locked.st_nlink > 0) {
            locked_ = heldHere = true;
            return;
        }
        ::flock(lockFile.fd, LOCK_UN);
        forget();
    }
    error_ = path + ": cannot lock: the lock file keeps being replaced";
}

MachineLock::~MachineLock() {
    if (!locked_) return;
    ::flock(lockFile.fd, LOCK_UN);
    heldHere = false;
}

bool MachineLock::heldByThisThread() { return heldHere; }

}  // namespace host
