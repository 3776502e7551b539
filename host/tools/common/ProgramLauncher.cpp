#include "ProgramLauncher.h"

#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill and SIGKILL are POSIX, not in <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <thread>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace tools {

namespace {

// This process's environment with the launch's variables set.
std::vector<std::string> environmentOf(const Launch& launch) {
    std::vector<std::string> words;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& variable : launch.environment) replaced |= name == variable.first;
        if (!replaced) words.emplace_back(text);
    }
    for (const auto& [name, value] : launch.environment) words.push_back(name + "=" + value);
    return words;
}

std::vector<char*> pointersTo(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts the program (in a process group of its own when `ownGroup`); its
// pid, or -1 with `result.notStarted`. A failed exec is told apart from the
// program's own exit status through a pipe that a successful exec closes.
pid_t start(const Launch& launch, bool ownGroup, LaunchResult& result) {
    std::vector<std::string> words{launch.program};
    words.insert(words.end(), launch.arguments.begin(), launch.arguments.end());
    std::vector<std::string> environment = environmentOf(launch);
    const std::vector<char*> argv = pointersTo(words);
    const std::vector<char*> envp = pointersTo(environment);
    std::fflush(stdout);
    std::fflush(stderr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        result.notStarted = errno;
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.notStarted = errno;
        ::close(report[0]);
        ::close(report[1]);
        return -1;
    }
    if (pid == 0) {
        ::close(report[0]);
        if (ownGroup) ::setpgid(0, 0);
        ::execve(argv[0], argv.data(), envp.data());
        const int error = errno;
        if (::write(report[1], &error, sizeof error) < 0) {
            // The parent then sees status 127 and reports that.
        }
        ::_exit(127);
    }
    if (ownGroup) ::setpgid(pid, pid);
    ::close(report[1]);
    int execError = 0;
    ssize_t n;
    while ((n = ::read(report[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n != static_cast<ssize_t>(sizeof execError)) return pid;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.notStarted = execError;
    return -1;
}

}  // namespace

bool LaunchResult::exited() const {
    return !notStarted && !lost && !timedOut && WIFEXITED(waitStatus);
}

std::string waitStatusText(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended with wait status " + std::to_string(status);
}

LaunchResult runAndWait(const Launch& launch) {
    LaunchResult result;
    const pid_t pid = start(launch, false, result);
    if (pid < 0) return result;
    while (::waitpid(pid, &result.waitStatus, 0) < 0) {
        if (errno != EINTR) {
            result.lost = errno;
            break;
        }
    }
    return result;
}

LaunchResult runContained(const Launch& launch, std::chrono::milliseconds limit) {
    // What the program leaves behind comes to this process when the program
    // ends, rather than to init, so that it can be waited for.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    LaunchResult result;
    const pid_t pid = start(launch, true, result);
    if (pid < 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        // Seen ended but not yet reaped, so that its process group still
        // names only what it started.
        siginfo_t info{};
        const int looked =
            ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (looked == 0 && info.si_pid == pid) break;
        if (looked != 0 && errno != EINTR) {
            result.lost = errno;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Whatever the program left running in its group goes with it, and all
    // of the group is reaped here.
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &result.waitStatus, 0) < 0 && errno == EINTR) {
    }
    for (int leftover = 0; ::waitpid(-pid, &leftover, 0) > 0 || errno == EINTR;) {
    }
    return result;
}

}  // namespace tools
