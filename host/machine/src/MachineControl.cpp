// Changes to the machine from its console, each under the machine lock and
// each ending in a new checkpoint of everything the journal holds.
#include "MachinePaths.h"
#include "MachineStore.h"
#include "host/DriverLog.h"
#include "host/Log.h"
#include "host/RegularFile.h"
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
    MachineLock lock;
    if (lockFailed(lock, error)) return false;
    std::optional<MachineView> view = readMachineViewLocked(error);
    if (!view) return false;
    Machine machine = *view->machine;
    if (!change(machine)) return true;
    return writeCheckpointLocked(machine, CheckpointMark{view->lastSeq, view->journalLength},
                                 error);
}

bool replaceMachine(const Machine& machine, std::string* error) {
    MachineLock lock;
    if (lockFailed(lock, error)) return false;
    // The machine in place may be refused, or rolled back (the reason to
    // replace it); then the journal alone says where the new machine begins.
    const MachinePaths& paths = machinePaths();
    std::string why;
    if (!finishDriverLogTail(paths.journal, &why)) logOnce(why);
    bool absent = false;
    if (const std::optional<MachineView> view = readMachineView(&absent, nullptr);
        view && view->mark)
        return writeCheckpointLocked(machine, CheckpointMark{view->lastSeq, view->journalLength},
                                     error);
    if (const std::optional<DriverLogEnd> end = lastDriverLogRecord(paths.journal))
        return writeCheckpointLocked(machine, CheckpointMark{end->seq, end->offset}, error);
    // No record to begin after: what the journal holds is kept as the old
    // one, and the seq goes on from there.
    std::error_code ec;
    if (std::filesystem::file_size(paths.journal, ec) > 0 && !ec) {
        if (!keepJournalAsOldLocked(error)) return false;
        NSLog("%s holds no record to begin after; kept as %s, a new journal begins\n",
              paths.journal.c_str(), paths.oldJournal.c_str());
    }
    // The seq goes on from the old journal, else from the checkpoint in
    // place when it still names one.
    std::uint64_t seq = 0;
    if (const std::optional<DriverLogEnd> old = lastDriverLogRecord(paths.oldJournal)) {
        seq = old->seq;
    } else if (const std::optional<std::string> bytes =
                   readRegularFile(paths.machine, Links::Refuse, kMachineFileBytes, nullptr)) {
        std::optional<CheckpointMark> mark;
        if (parseMachineFile(paths.machine, *bytes, nullptr, &mark) && mark) seq = mark->seq;
    }
    return writeCheckpointLocked(machine, CheckpointMark{seq, 0}, error);
}

bool checkpointMachine(std::string* error) {
    return updateMachine([](Machine&) { return true; }, error);
}

}  // namespace host
