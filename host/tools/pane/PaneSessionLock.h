// One pane session at a time on a simulated Mac, as System Preferences runs
// once per user: prefhost and tarnwickctl hold this lock from before the pane
// is created (which may already program the cards) until after it saved at
// quit, so two sessions never save over each other's changes.
//
// It is an flock on <root>/pane-session.lock: the kernel releases it when its
// holder ends, even killed. The holder writes its pid into the file for the
// message of whoever finds the lock taken.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

class PaneSessionLock {
public:
    enum class Result { kAcquired, kHeld, kFailed };

    PaneSessionLock() = default;
    ~PaneSessionLock();  // releases the lock
    PaneSessionLock(const PaneSessionLock&) = delete;
    PaneSessionLock& operator=(const PaneSessionLock&) = delete;

    static std::filesystem::path path();

    // Takes the lock, waiting up to `wait` for another session to end;
    // `onWait` is told once when that wait begins. kHeld: another session
    // still has it (holderPid()); kFailed: the lock file cannot be used
    // (error()).
    Result acquire(std::chrono::milliseconds wait,
                   const std::function<void(pid_t holder)>& onWait = {});

    pid_t holderPid() const { return holder_; }  // 0 when the holder did not say
    // How the messages name a holder: "pid N", or "pid unknown" for 0.
    static std::string holderText(pid_t holder);
    const std::string& error() const { return error_; }

private:
    bool open();
    pid_t readHolder() const;

    int fd_ = -1;
    bool held_ = false;
    pid_t holder_ = 0;
    std::string error_;
};
