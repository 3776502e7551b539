// The one program launcher of the host's programs: loginwindow runs the
// login items with it, `simmac wake` the programs registered for power
// messages. A program is started with its arguments and, besides this
// process's environment, the variables given; its exit is waited for.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tools {

struct Launch {
    std::string program;                                           // path of the executable
    std::vector<std::string> arguments;                            // after the program's own name
    std::vector<std::pair<std::string, std::string>> environment;  // set for the program only
};

// How a launched program ended.
struct LaunchResult {
    std::optional<int> notStarted;  // errno: the program could not be started
    std::optional<int> lost;        // errno: it could not be waited for
    bool timedOut = false;          // still running at the limit: ended with SIGKILL
    int waitStatus = 0;             // as waitpid gives it, once it ended

    // Ended on its own with an exit status (any), rather than not started,
    // lost, killed by a signal or stopped at the limit.
    bool exited() const;
};

// The one text of a wait status: "exited with status N", "killed by signal
// N", or "ended with wait status N".
std::string waitStatusText(int status);

// Runs the program as the login window runs an application: in this
// process's group, waited for as long as it takes, and whatever it starts
// is its own affair.
LaunchResult runAndWait(const Launch& launch);

// Runs the program in a process group of its own and waits for the
// program itself, never for its output, at most `limit` (then ends it with
// SIGKILL). Whatever it started ends with it, its group and what left the
// group (a session of its own, a daemon) alike: when this returns, nothing
// of it runs or is still dying. This process becomes the subreaper of its
// descendants for that, and follows them through /proc.
LaunchResult runContained(const Launch& launch, std::chrono::milliseconds limit);

}  // namespace tools
