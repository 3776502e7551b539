// Child processes of a test: the build's programs and scripts run as a
// person runs them from a shell (the test's SIMMAC_ROOT is inherited), and
// a piece of the test run in a process of its own.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// The build folder and its bundles: from TARNWICK_BUILD_DIR and
// TARNWICK_BUNDLE_DIR when set, else the ones this test was built in.
std::filesystem::path buildDir();
std::filesystem::path bundleDir();
std::string tool(const std::string& name);    // <build>/host/tools/<name>
std::string script(const std::string& name);  // the checkout's scripts/<name>
std::string startupTool();                    // TarnwickStartup in the built bundle

// The exit status of a wait, or 128 + the number of the signal that ended it.
int decodeWaitStatus(int status);
// Waits for the child `pid`; its decoded status.
int waitFor(pid_t pid);
// Runs `work` in a forked child that then exits with 0.
pid_t forkChild(const std::function<void()>& work);

// A child whose stdout and stderr come back through one pipe (stderr apart
// when asked). It inherits the environment, with Qt's offscreen platform
// unless one is chosen, so the Qt hosts never need a display.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv, bool separateErrors = false);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0 && fd_ >= 0; }
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }
    std::string errors() const;  // what went to stderr, when kept apart
    // Reads until `text` has appeared in the output or the child closed it.
    bool readUntil(const std::string& text);
    // Reads the rest of the output and waits for the child's end.
    int wait();

private:
    bool readSome();

    pid_t pid_ = -1;
    int fd_ = -1;
    std::FILE* errors_ = nullptr;
    bool waited_ = false;
    int status_ = -1;
    std::string output_;
};

struct RunResult {
    int status = -1;     // exit status, or 128 + signal number
    std::string output;  // stdout and stderr, interleaved as written
    std::string errors;  // stderr, when kept apart
};
RunResult run(const std::vector<std::string>& argv, bool separateErrors = false);
// simmac with these arguments.
RunResult simmac(std::vector<std::string> arguments);
// Installs the pane bundle this build assembled into the test's simulated
// Mac; false (and a failure of the test) when the installer fails.
bool installBuiltPane();

}  // namespace testsupport
