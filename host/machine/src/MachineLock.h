// Inside the machine: the lock every change of the machine, and every read
// that must see it whole, is made under. An flock on machine.plist.lock
// whose descriptor the process keeps open across its commands (opened again
// in a forked child, for another root, or when the lock file was removed or
// replaced), and, since the threads of a process share that descriptor, a
// mutex they take in turn.
#pragma once

#include <mutex>
#include <string>

namespace host {

class MachineLock {
public:
    MachineLock();  // waits for the lock
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    bool locked() const { return locked_; }
    // Why the lock could not be taken (it names the lock file).
    const std::string& error() const { return error_; }

    // Whether the calling thread holds the machine lock now.
    static bool heldByThisThread();

private:
    std::unique_lock<std::mutex> turn_;
    bool locked_ = false;
    std::string error_;
};

}  // namespace host
