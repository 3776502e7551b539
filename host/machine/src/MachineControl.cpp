// Changes to the machine from its console, each under the machine lock and
// each ending in a new checkpoint of everything the journal holds.
#include "MachineStore.h"
#include "host/DriverLog.h"
#include "host/Log.h"
#include "host/MachineControl.h"
#include "host/SimMac.h"

namespace host {

namespace {

bool lockFailed(const MachineLock& lock, std::string* error) {
    if (lock.locked()) return false;
    if (error) *error = lock.error();
    return true;
}

}  // namespace

bool updateMachine(const std::function<bool(Machine&)>& change, std::string* error) {
    MachineLock lock(machinePlistPath());
    if (lockFailed(lock, error)) return false;
    std::optional<MachineView> view = readMachineViewLocked(error);
    if (!view) return false;
    Machine machine = *view->machine;
    if (!change(machine)) return true;
    return writeCheckpointLocked(machine, CheckpointMark{view->lastSeq, view->journalLength},
                                 error);
}

bool replaceMachine(const Machine& machine, std::string* error) {
    MachineLock lock(machinePlistPath());
    if (lockFailed(lock, error)) return false;
    // The machine file in place may be refused (the reason to replace it);
    // then the journal alone says where the new machine begins.
    const std::string journal = driverLogPath().string();
    std::string why;
    if (!finishDriverLogTail(journal, &why)) logOnce(why);
    bool absent = false;
    std::optional<MachineView> view = readMachineView(&absent, nullptr);
    CheckpointMark mark;
    if (view && view->mark) {
        mark = CheckpointMark{view->lastSeq, view->journalLength};
    } else {
        std::error_code ec;
        const std::uintmax_t length = std::filesystem::file_size(journal, ec);
        mark = CheckpointMark{lastDriverLogSeq(journal), ec ? 0 : length};
    }
    return writeCheckpointLocked(machine, mark, error);
}

bool checkpointMachine(std::string* error) {
    return updateMachine([](Machine&) { return true; }, error);
}

}  // namespace host
