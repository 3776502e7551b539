// loginwindow: the stand-in for the Mac OS X login window. It launches every
// login item of the "loginwindow" domain's "AutoLaunchedApplicationDictionary",
// in order, waits for each and reports what it ran. `simmac reboot` followed
// by `loginwindow` is a login.
//
// Exit status: 0 when every login item that names an application was started
// and ended on its own, whatever its exit status (an item that names no
// application is skipped and reported); 1 for a usage error, or when the
// domain file exists but cannot be read or its item list is not an array,
// since then the login items are unknown rather than absent; 2 when an item
// could not be started or was killed by a signal, after running the others.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "CommandLine.h"
#include "ProgramLauncher.h"
#include "ToolMain.h"
#include "host/CoreFoundation.h"
#include "host/Foundation.h"
#include "host/Log.h"
#include "host/SimMac.h"

namespace {

constexpr const char* kDomain = "loginwindow";
constexpr const char* kItemsKey = "AutoLaunchedApplicationDictionary";

enum ExitStatus { kOK = 0, kUnreadable = 1, kItemFailed = 2 };

struct Outcome {
    std::string text;  // how it ended, readable
    bool failed;       // not started, or killed by a signal
};

// Runs `executable` with no arguments, as the login window launches an
// application, and waits for it.
Outcome runLoginItem(const std::string& executable) {
    const tools::LaunchResult result = tools::runAndWait({executable, {}, {}});
    if (result.notStarted)
        return {std::string("could not be started: ") + std::strerror(*result.notStarted), true};
    if (result.lost) return {std::string("lost: ") + std::strerror(*result.lost), true};
    return {tools::waitStatusText(result.waitStatus), !result.exited()};
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
    return true;
}

int run(int argc, char** argv) {
    CLI::App app{
        "Runs the login items of the simulated Mac's \"loginwindow\" domain, "
        "in order, as the login window does at login."};
    bool listOnly = false;
    app.add_flag("--list", listOnly, "Only list the login items, run nothing");
    if (const std::optional<int> status = tools::parseCommandLine(app, argc, argv)) return *status;
    host::setLogProgramName("loginwindow");

    std::error_code ec;
    const auto domainFile = host::preferencesDir() / (std::string(kDomain) + ".plist");
    auto domain = NSUserDefaults::standardUserDefaults().persistentDomainForName(kDomain);
    if (!domain) {
        if (std::filesystem::exists(domainFile, ec)) {
            std::fprintf(stderr, "loginwindow: cannot read %s; no login items run\n",
                         domainFile.c_str());
            return kUnreadable;
        }
        std::printf("loginwindow: no login items (no \"%s\" domain)\n", kDomain);
        return kOK;
    }
    const cf::Value* itemsValue = domain->get(kItemsKey);
    if (!itemsValue) {
        std::printf("loginwindow: no login items\n");
        return kOK;
    }
    if (!itemsValue->array()) {
        std::fprintf(stderr, "loginwindow: \"%s\" in %s is not an array; no login items run\n",
                     kItemsKey, domainFile.c_str());
        return kUnreadable;
    }
    const cf::Array& items = *itemsValue->array();
    if (items.empty()) std::printf("loginwindow: no login items\n");

    std::size_t failed = 0;
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
            if (access(executable.c_str(), X_OK) != 0)
                std::printf(
                    "loginwindow: %s: skipped %s: executable %s missing or not executable\n",
                    label.c_str(), path.c_str(), executable.c_str());
            else
                std::printf("loginwindow: %s: %s%s\n", label.c_str(), path.c_str(),
                            hide ? " (hidden)" : "");
            continue;
        }
        std::printf("loginwindow: %s: running %s%s\n", label.c_str(), executable.c_str(),
                    hide ? " (hidden)" : "");
        const Outcome outcome = runLoginItem(executable);
        std::printf("loginwindow: %s: %s %s\n", label.c_str(), path.c_str(), outcome.text.c_str());
        if (outcome.failed) ++failed;
    }
    if (failed > 0) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "loginwindow: %zu of %zu login items could not be started or were killed by "
                     "a signal\n",
                     failed, items.size());
        return kItemFailed;
    }
    return kOK;
}

}  // namespace

int main(int argc, char** argv) { return tools::guardedMain("loginwindow", run, argc, argv); }
