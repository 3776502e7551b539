// Machine files as they are, without a journal: `simmac init --from` and the
// tests read them, and reportMachineProblem says once what is wrong with one.
#include <mutex>
#include <set>

#include "MachineStore.h"
#include "host/Log.h"
#include "host/RegularFile.h"
#include "host/SimMac.h"

namespace host {

std::optional<Machine> parseMachineFile(const std::filesystem::path& path, std::string_view bytes,
                                        std::string* error, std::optional<CheckpointMark>* mark) {
    std::string why;
    std::optional<cf::Value> plist = cf::parsePropertyList(bytes, &why);
    if (!plist) {
        if (error)
            *error =
                path.string() + ": not a property list" + (why.empty() ? "" : " (" + why + ")");
        return std::nullopt;
    }
    std::optional<Machine> machine = machineFromPropertyList(*plist, &why, mark);
    if (!machine && error) *error = path.string() + ": " + why;
    return machine;
}

std::optional<Machine> loadMachineFile(const std::filesystem::path& path, std::string* error) {
    bool absent = false;
    const std::optional<std::string> bytes = readRegularFile(path, Links::Follow, error, &absent);
    if (!bytes) {
        if (absent && error) *error = path.string() + ": no such file";
        return std::nullopt;
    }
    return parseMachineFile(path, *bytes, error, nullptr);
}

bool saveMachineFile(const std::filesystem::path& path, const Machine& machine,
                     std::string* error) {
    return writeFileAtomically(path, cf::toXMLPropertyList(machineToPropertyList(machine)), error);
}

void reportMachineProblem(const std::string& message) {
    static std::mutex mutex;
    static std::set<std::string> reported;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (!reported.insert(message).second) return;
    }
    NSLog("%s", message.c_str());
}

}  // namespace host
