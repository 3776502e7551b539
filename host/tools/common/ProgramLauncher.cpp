#include "ProgramLauncher.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill and SIGKILL are POSIX, not in <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string_view>
#include <thread>

#include "host/OwnProcess.h"

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
    for (const auto& [name, value] : launch.environment)
        words.emplace_back(name).append("=").append(value);
    return words;
}

std::vector<char*> pointersTo(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    pointers.reserve(words.size() + 1);
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

// The parent of each process, from /proc/<pid>/stat.
std::map<pid_t, pid_t> parentsOfAllProcesses() {
    std::map<pid_t, pid_t> parents;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return parents;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::optional<std::string> stat = host::readProcFile("/proc/" + name + "/stat");
        // "pid (command) state ppid ...": the command may hold anything but
        // ends at the last ')'.
        const std::size_t close = stat ? stat->rfind(')') : std::string::npos;
        if (close == std::string::npos) continue;
        // " S 1234 ...": the state, then the parent.
        char* end = nullptr;
        const long parent =
            close + 4 < stat->size() ? std::strtol(stat->c_str() + close + 4, &end, 10) : 0;
        if (end != nullptr && *end == ' ')
            parents[static_cast<pid_t>(std::stol(name))] = static_cast<pid_t>(parent);
    }
    ::closedir(proc);
    return parents;
}

std::set<pid_t> childrenOfThisProcess() {
    std::set<pid_t> children;
    for (const auto& [process, parent] : parentsOfAllProcesses())
        if (parent == ::getpid()) children.insert(process);
    return children;
}

// Ends with SIGKILL, and reaps, every process that `program` started, in its
// group or not (a session of its own, a daemon): each descends from it, or,
// once an ancestor ended, from a child of this process (the subreaper) that
// was not there before the launch. Repeated until none is left, since a
// process may start another until it is killed; a process that cannot be
// killed (another user's) is left after 1000 rounds of trying.
void endDescendants(pid_t program, const std::set<pid_t>& before) {
    const pid_t self = ::getpid();
    ::kill(-program, SIGKILL);
    for (int round = 0; round < 1000; ++round) {
        const std::map<pid_t, pid_t> parents = parentsOfAllProcesses();
        std::vector<pid_t> victims;
        std::vector<pid_t> children;
        for (const auto& [process, parent] : parents) {
            // Up the chain to the program, or to this process.
            pid_t at = process;
            for (std::size_t hops = 0; at > 1 && hops < parents.size(); ++hops) {
                if (at == program) break;
                const auto up = parents.find(at);
                if (up == parents.end() || up->second == self) break;
                at = up->second;
            }
            const auto up = parents.find(at);
            const bool fromProgram = at == program || (up != parents.end() && up->second == self &&
                                                       !before.contains(at));
            if (!fromProgram || process == self) continue;
            victims.push_back(process);
            if (parent == self) children.push_back(process);
        }
        if (victims.empty()) return;
        for (const pid_t victim : victims) ::kill(victim, SIGKILL);
        for (const pid_t child : children) {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }
        if (children.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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
    // What the program leaves behind comes to this process when its parent
    // ends, rather than to init, so that it can be found and waited for.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const std::set<pid_t> before = childrenOfThisProcess();
    LaunchResult result;
    const pid_t pid = start(launch, true, result);
    if (pid < 0) return result;
    // The program itself is waited for, never its output: what it started
    // may hold this process's output open for as long as it likes.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const pid_t ended = ::waitpid(pid, &result.waitStatus, WNOHANG);
        if (ended == pid) break;
        if (ended < 0 && errno != EINTR) {
            result.lost = errno;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &result.waitStatus, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    endDescendants(pid, before);
    return result;
}

}  // namespace tools
