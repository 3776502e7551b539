#include "support/Child.h"

#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill and SIGKILL are POSIX, not in <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>

namespace testsupport {

std::filesystem::path buildDir() {
    const char* dir = std::getenv("TARNWICK_BUILD_DIR");
    return dir ? dir : TARNWICK_BUILD_DIR_DEFAULT;
}

std::filesystem::path bundleDir() {
    const char* dir = std::getenv("TARNWICK_BUNDLE_DIR");
    return dir && *dir ? dir : TARNWICK_BUNDLE_DIR_DEFAULT;
}

std::string tool(const std::string& name) {
    return (buildDir() / "host" / "tools" / name).string();
}

std::string script(const std::string& name) {
    return (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "scripts" /
            name)
        .string();
}

std::string startupTool() {
    return (bundleDir() / "TarnwickStartup.app/Contents/MacOS/TarnwickStartup").string();
}

int decodeWaitStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return decodeWaitStatus(status);
}

pid_t forkChild(const std::function<void()>& work) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        work();
        ::_exit(0);
    }
    return pid;
}

Child::Child(const std::vector<std::string>& argv, bool separateErrors) {
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        environment.emplace_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (separateErrors) errors_ = std::tmpfile();
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(fds[1], 1);
        ::dup2(errors_ ? ::fileno(errors_) : fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    fd_ = fds[0];
}

Child::~Child() {
    if (pid_ > 0 && !waited_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    if (fd_ >= 0) ::close(fd_);
    if (errors_) std::fclose(errors_);
}

std::string Child::errors() const {
    std::string text;
    if (!errors_) return text;
    std::rewind(errors_);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, errors_)) > 0;)
        text.append(buffer, n);
    return text;
}

bool Child::readUntil(const std::string& text) {
    while (output_.find(text) == std::string::npos) {
        if (!readSome()) return output_.find(text) != std::string::npos;
    }
    return true;
}

int Child::wait() {
    while (readSome()) {
    }
    if (!waited_) {
        status_ = waitFor(pid_);
        waited_ = true;
    }
    return status_;
}

bool Child::readSome() {
    if (fd_ < 0) return false;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) < 0 && errno == EINTR) {
    }
    if (n <= 0) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

RunResult run(const std::vector<std::string>& argv, bool separateErrors) {
    Child child(argv, separateErrors);
    RunResult result;
    if (!child.started()) return result;
    result.status = child.wait();
    result.output = child.output();
    result.errors = child.errors();
    return result;
}

RunResult simmac(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), tool("simmac"));
    return run(arguments);
}

bool installBuiltPane() {
    const RunResult r = run(
        {"/bin/bash", script("install-pane.sh"), (bundleDir() / "TarnwickPref.prefPane").string()});
    if (r.status != 0) ADD_FAILURE() << "the pane does not install: " << r.output;
    return r.status == 0;
}

}  // namespace testsupport
