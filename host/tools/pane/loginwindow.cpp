// loginwindow: the stand-in for the Mac OS X login window. It launches every
// login item of the "loginwindow" domain's "AutoLaunchedApplicationDictionary",
// in order, waits for each and reports what it ran. `simmac reboot` followed
// by `loginwindow` is a login.
//
// Exit status: 0 when the login ran, whatever its items did (a login does not
// fail because one application failed or is missing); 1 when the domain file
// exists but cannot be read, or its item list is not an array, since then the
// login items are unknown rather than absent.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/CoreFoundation.h"
#include "host/Foundation.h"
#include "host/Log.h"
#include "host/SimMac.h"

namespace {

constexpr const char* kDomain = "loginwindow";
constexpr const char* kItemsKey = "AutoLaunchedApplicationDictionary";

// Runs `executable` with no arguments (as the login window launches an
// application) and waits for it. Returns a readable account of how it ended.
std::string runAndWait(const std::string& executable) {
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) return std::string("could not start: ") + std::strerror(errno);
    if (pid == 0) {
        char* const argv[] = {const_cast<char*>(executable.c_str()), nullptr};
        execv(executable.c_str(), argv);
        std::fprintf(stderr, "loginwindow: cannot execute %s: %s\n", executable.c_str(),
                     std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return std::string("lost: ") + std::strerror(errno);
    }
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended with wait status " + std::to_string(status);
}

// The executable of the application bundle at `path`, or an explanation of
// why there is none.
bool applicationExecutable(const std::string& path, std::string* executable, std::string* why) {
    std::error_code ec;
    if (!std::filesystem::is_directory(path, ec)) {
        *why = "no application at this path";
        return false;
    }
    auto bundle = NSBundle::bundleWithPath(path);
    if (!bundle) {
        *why = "not an application bundle (no Contents)";
        return false;
    }
    const cf::Value* name = bundle->infoDictionary().get("CFBundleExecutable");
    if (!name || !name->string() || name->string()->empty()) {
        *why = "Contents/Info.plist names no CFBundleExecutable";
        return false;
    }
    *executable = bundle->executablePath();
    if (access(executable->c_str(), X_OK) != 0) {
        *why = "executable " + *executable + " missing or not executable";
        return false;
    }
    return true;
}

int run(int argc, char** argv) {
    CLI::App app{
        "Runs the login items of the simulated Mac's \"loginwindow\" domain, "
        "in order, as the login window does at login."};
    bool listOnly = false;
    app.add_flag("--list", listOnly, "Only list the login items, run nothing");
    CLI11_PARSE(app, argc, argv);
    host::setLogProgramName("loginwindow");

    std::error_code ec;
    const auto domainFile = host::preferencesDir() / (std::string(kDomain) + ".plist");
    auto domain = NSUserDefaults::standardUserDefaults().persistentDomainForName(kDomain);
    if (!domain) {
        if (std::filesystem::exists(domainFile, ec)) {
            std::fprintf(stderr, "loginwindow: cannot read %s; no login items run\n",
                         domainFile.c_str());
            return 1;
        }
        std::printf("loginwindow: no login items (no \"%s\" domain)\n", kDomain);
        return 0;
    }
    const cf::Value* itemsValue = domain->get(kItemsKey);
    if (!itemsValue) {
        std::printf("loginwindow: no login items\n");
        return 0;
    }
    if (!itemsValue->array()) {
        std::fprintf(stderr, "loginwindow: \"%s\" in %s is not an array; no login items run\n",
                     kItemsKey, domainFile.c_str());
        return 1;
    }
    const cf::Array& items = *itemsValue->array();
    if (items.empty()) std::printf("loginwindow: no login items\n");

    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string label = "item " + std::to_string(i + 1);
        const cf::Dictionary* item = items[i].dictionary();
        const cf::Value* pathValue = item ? item->get("Path") : nullptr;
        if (!pathValue || !pathValue->string()) {
            std::printf("loginwindow: %s: skipped, no \"Path\" text\n", label.c_str());
            continue;
        }
        const std::string& path = *pathValue->string();
        const bool hide = cf::boolValue(item->get("Hide"));
        std::string executable, why;
        if (!applicationExecutable(path, &executable, &why)) {
            std::printf("loginwindow: %s: skipped %s: %s\n", label.c_str(), path.c_str(),
                        why.c_str());
            continue;
        }
        if (listOnly) {
            std::printf("loginwindow: %s: %s%s\n", label.c_str(), path.c_str(),
                        hide ? " (hidden)" : "");
            continue;
        }
        std::printf("loginwindow: %s: running %s%s\n", label.c_str(), executable.c_str(),
                    hide ? " (hidden)" : "");
        const std::string outcome = runAndWait(executable);
        std::printf("loginwindow: %s: %s %s\n", label.c_str(), path.c_str(), outcome.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever is thrown (out of memory, a file system error) ends the program
    // with a message rather than an abort.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "loginwindow: %s\n", e.what());
        return 1;
    }
}
