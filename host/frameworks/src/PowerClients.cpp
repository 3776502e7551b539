// The programs registered for system power messages in this login session:
// the simulated Mac keeps no program running to hear of a wake, it starts
// each one when the wake comes (simmac wake).
#include "host/PowerClients.h"

#include <algorithm>

#include "host/CoreFoundation.h"
#include "host/FileLock.h"
#include "host/OwnProcess.h"
#include "host/RegularFile.h"
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

}  // namespace

std::filesystem::path powerClientsPath() {
    return simmacRoot() / "private" / "var" / "run" / "PowerClients.plist";
}

std::optional<std::vector<PowerClient>> readPowerClients(std::string* error) {
    const std::filesystem::path path = powerClientsPath();
    // Read as the host reads every file of the simulated Mac: a link, a FIFO
    // or a folder in its place is refused, never followed or taken as empty.
    bool absent = false;
    std::string why;
    const std::optional<std::string> bytes =
        readRegularFile(path, Links::Refuse, kPowerClientsFileBytes, &why, &absent);
    if (!bytes && absent) return std::vector<PowerClient>{};
    std::optional<cf::Value> plist;
    if (bytes && !(plist = cf::parsePropertyList(*bytes, &why))) why = path.string() + ": " + why;
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

}  // namespace host
