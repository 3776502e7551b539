// The programs registered for system power messages in this login session,
// and launching them with a message: the simulated Mac keeps no program
// running to hear of a wake, it starts each one when the wake comes.
#include "host/PowerClients.h"

#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill and SIGKILL are POSIX, not in <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <thread>

#include "host/CoreFoundation.h"
#include "host/FileLock.h"
#include "host/OwnProcess.h"
#include "host/SimMac.h"

namespace host {

namespace {

constexpr const char* kClientsKey = "Clients";
constexpr const char* kProgramKey = "Program";
constexpr const char* kArgumentsKey = "Arguments";

bool fail(const FileLock& lock, std::string* error) {
    if (error) *error = lock.error();
    return false;
}

std::optional<PowerClient> clientFrom(const cf::Value& value) {
    const cf::Dictionary* dict = value.dictionary();
    const cf::Value* program = dict ? dict->get(kProgramKey) : nullptr;
    if (!program || !program->string() || program->string()->empty()) return std::nullopt;
    PowerClient client{*program->string(), {}};
    if (const cf::Value* arguments = dict->get(kArgumentsKey)) {
        if (!arguments->array()) return std::nullopt;
        for (const cf::Value& argument : *arguments->array()) {
            if (!argument.string()) return std::nullopt;
            client.arguments.push_back(*argument.string());
        }
    }
    return client;
}

cf::Value clientValue(const PowerClient& client) {
    cf::Array arguments;
    for (const std::string& argument : client.arguments) arguments.emplace_back(argument);
    cf::Dictionary dict;
    dict.set(kProgramKey, client.program);
    dict.set(kArgumentsKey, std::move(arguments));
    return dict;
}

bool writeClients(const std::vector<PowerClient>& clients, std::string* error) {
    cf::Array list;
    for (const PowerClient& client : clients) list.push_back(clientValue(client));
    cf::Dictionary top;
    top.set(kClientsKey, std::move(list));
    return cf::writePropertyListFileAtomically(powerClientsPath().string(), top, error);
}

std::string hexMessage(std::uint32_t message) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", message);
    return text;
}

std::string waitStatusText(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended with wait status " + std::to_string(status);
}

// Starts the client in a process group of its own, so that whatever it
// starts ends with it when it has to be stopped.
pid_t launch(const PowerClient& client, std::uint32_t message) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(client.program.c_str()));
    for (const std::string& argument : client.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const std::string value = hexMessage(message);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::setenv(kPowerMessageVariable, value.c_str(), 1);
        ::execv(argv[0], argv.data());
        std::fprintf(stderr, "cannot execute %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    if (pid > 0) ::setpgid(pid, pid);
    return pid;
}

PowerClientLaunch runClient(const PowerClient& client, std::uint32_t message,
                            std::chrono::milliseconds limit) {
    PowerClientLaunch run{client, false, {}};
    if (::access(client.program.c_str(), X_OK) != 0) {
        run.outcome = std::string("not started: ") + std::strerror(errno);
        return run;
    }
    const pid_t pid = launch(client, message);
    if (pid < 0) {
        run.outcome = std::string("not started: ") + std::strerror(errno);
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool ended = false;
    for (;;) {
        // Seen ended but not yet reaped, so that its process group still
        // names only what it started.
        siginfo_t info{};
        const int looked =
            ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (looked == 0 && info.si_pid == pid) {
            ended = true;
            break;
        }
        if (looked != 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Whatever the client left running in its group goes with it. What it
    // started became this process's child when it ended (see
    // launchPowerClients), so all of the group is reaped here: when this
    // returns, nothing of it runs any more.
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    for (int leftover = 0; ::waitpid(-pid, &leftover, 0) > 0 || errno == EINTR;) {
    }
    run.finished = ended;
    run.outcome =
        ended ? waitStatusText(status)
              : "still running after " + std::to_string(limit.count()) + " ms; ended with SIGKILL";
    return run;
}

}  // namespace

std::filesystem::path powerClientsPath() {
    return simmacRoot() / "private" / "var" / "run" / "PowerClients.plist";
}

std::optional<std::vector<PowerClient>> readPowerClients(std::string* error) {
    const std::filesystem::path path = powerClientsPath();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) return std::vector<PowerClient>{};
    std::string why;
    std::optional<cf::Value> plist = cf::readPropertyListFile(path.string(), &why);
    if (!plist) {
        if (error) *error = why;
        return std::nullopt;
    }
    const cf::Dictionary* top = plist->dictionary();
    const cf::Value* list = top ? top->get(kClientsKey) : nullptr;
    if (!list || !list->array()) {
        if (error) *error = path.string() + ": no \"Clients\" array";
        return std::nullopt;
    }
    std::vector<PowerClient> clients;
    for (const cf::Value& item : *list->array()) {
        std::optional<PowerClient> client = clientFrom(item);
        if (!client) {
            if (error) *error = path.string() + ": a client without a \"Program\" path";
            return std::nullopt;
        }
        clients.push_back(std::move(*client));
    }
    return clients;
}

bool addPowerClient(const PowerClient& client, std::string* error) {
    // A program is registered once and asks again at every start: the file
    // is only ever replaced whole, so it can be looked at without the lock.
    if (std::optional<std::vector<PowerClient>> clients = readPowerClients(nullptr);
        clients && std::find(clients->begin(), clients->end(), client) != clients->end())
        return true;
    // Held while the file is read and rewritten, so that two programs
    // registering at once both end up in it.
    FileLock lock(powerClientsPath());
    if (!lock.locked()) return fail(lock, error);
    std::optional<std::vector<PowerClient>> clients = readPowerClients(error);
    if (!clients) return false;
    if (std::find(clients->begin(), clients->end(), client) != clients->end()) return true;
    clients->push_back(client);
    return writeClients(*clients, error);
}

bool removePowerClient(const PowerClient& client, std::string* error) {
    FileLock lock(powerClientsPath());
    if (!lock.locked()) return fail(lock, error);
    std::optional<std::vector<PowerClient>> clients = readPowerClients(error);
    if (!clients) return false;
    const auto end = std::remove(clients->begin(), clients->end(), client);
    if (end == clients->end()) return true;
    clients->erase(end, clients->end());
    return writeClients(*clients, error);
}

bool clearPowerClients(std::string* error) {
    FileLock lock(powerClientsPath());
    if (!lock.locked()) return fail(lock, error);
    std::error_code ec;
    std::filesystem::remove(powerClientsPath(), ec);
    if (ec && error) *error = powerClientsPath().string() + ": " + ec.message();
    return !ec;
}

std::optional<PowerClient> thisPowerClient(std::string* error) {
    const std::optional<std::string>& program = ownExecutablePath();
    if (!program) {
        if (error) *error = "/proc/self/exe cannot be read: the program's path is unknown";
        return std::nullopt;
    }
    std::vector<std::string> words = ownCommandLine();
    // The program's own name first.
    if (!words.empty()) words.erase(words.begin());
    return PowerClient{*program, std::move(words)};
}

std::optional<std::vector<PowerClientLaunch>> launchPowerClients(std::uint32_t message,
                                                                 std::chrono::milliseconds limit,
                                                                 std::string* error) {
    std::optional<std::vector<PowerClient>> clients = readPowerClients(error);
    if (!clients) return std::nullopt;
    // The processes a client leaves behind come to this process when the
    // client ends, rather than to init, so that they can be waited for.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::vector<PowerClientLaunch> runs;
    for (const PowerClient& client : *clients) runs.push_back(runClient(client, message, limit));
    return runs;
}

}  // namespace host
