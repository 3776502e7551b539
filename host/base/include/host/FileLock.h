// An exclusive lock that serialises the processes (and threads, each locking
// through its own descriptor) working on one file: an flock on "<file>.lock"
// beside it, held from construction to destruction. The lock file is opened
// as the host opens every file it writes (never through a link, only a
// regular file), its folder created when missing.
#pragma once

#include <filesystem>
#include <string>

namespace host {

class FileLock {
public:
    explicit FileLock(const std::filesystem::path& guardedFile);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool locked() const { return fd_ >= 0; }
    // Why the lock could not be taken (it names the lock file).
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace host
