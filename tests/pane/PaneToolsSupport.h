// Running the pane's host programs (prefhost, tarnwickctl, loginwindow,
// simmac) and scripts from a test, as a person runs them from a shell. The
// test's SIMMAC_ROOT (TempSimMac) is inherited by every child.
#pragma once

#include <fcntl.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill and SIGKILL are POSIX, not in <csignal>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace panetools {

struct RunResult {
    int status = -1;     // exit status, or 128 + signal number
    std::string output;  // stdout and stderr, interleaved as written
};

// The build folder: from the environment, else the one this test program
// was built into (<build>/tests/<program>).
inline std::filesystem::path buildDir() {
    if (const char* dir = std::getenv("TARNWICK_BUILD_DIR")) return dir;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : self.parent_path().parent_path();
}
inline std::filesystem::path bundleDir() {
    if (const char* dir = std::getenv("TARNWICK_BUNDLE_DIR")) return dir;
    return buildDir() / "bundles";
}
inline std::string tool(const std::string& name) {
    return (buildDir() / "host" / "tools" / name).string();
}
// The checkout's scripts/ folder, found from this header's own path (CMake
// compiles with absolute source paths).
inline std::string script(const std::string& name) {
    return (std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "scripts" /
            name)
        .string();
}

inline int decodeWaitStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// A child whose stdout and stderr come back through one pipe. It inherits
// the environment, with Qt's offscreen platform unless one is chosen, so the
// Qt hosts never need a display.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv) {
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
        if (std::getenv("QT_QPA_PLATFORM") == nullptr)
            environment.emplace_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> envp;
        envp.reserve(environment.size() + 1);
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<char*> args;
        args.reserve(argv.size() + 1);
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            close(fds[0]);
            close(fds[1]);
            execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            wait();
        }
        if (fd_ >= 0) close(fd_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0 && fd_ >= 0; }
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

    // Reads until `text` has appeared in the output or the child closed it.
    bool readUntil(const std::string& text) {
        while (output_.find(text) == std::string::npos) {
            if (!readSome()) return output_.find(text) != std::string::npos;
        }
        return true;
    }
    // Reads the rest of the output and waits for the child's end.
    int wait() {
        while (readSome()) {
        }
        if (waited_) return status_;
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        waited_ = true;
        status_ = decodeWaitStatus(status);
        return status_;
    }

private:
    bool readSome() {
        if (fd_ < 0) return false;
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd_, buffer, sizeof buffer)) < 0 && errno == EINTR) {
        }
        if (n <= 0) {
            close(fd_);
            fd_ = -1;
            return false;
        }
        output_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    bool waited_ = false;
    int status_ = -1;
    std::string output_;
};

inline RunResult run(const std::vector<std::string>& argv) {
    Child child(argv);
    RunResult result;
    if (!child.started()) return result;
    result.status = child.wait();
    result.output = child.output();
    return result;
}

// Installs the pane bundle this build assembled into the test's simulated Mac.
inline RunResult installBuiltPane() {
    return run(
        {"/bin/bash", script("install-pane.sh"), (bundleDir() / "TarnwickPref.prefPane").string()});
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& text,
                      bool executable = false) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
    if (executable)
        std::filesystem::permissions(path, std::filesystem::perms::owner_all |
                                               std::filesystem::perms::group_read |
                                               std::filesystem::perms::group_exec);
}

}  // namespace panetools
