// The machine's interface, each call one transaction under the machine lock
// where it reads or changes the machine: the machine now (created on a fresh
// Mac), one driver command (lock, read, run the driver's rules, journal,
// checkpoint), and a driver's quiet state.
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill is POSIX, not in <csignal>
#include <unistd.h>

#include <algorithm>

#include "ClockDriver.h"
#include "MachineStore.h"
#include "host/Log.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "host/SimMac.h"

namespace host {

std::shared_ptr<const Machine> currentMachine(std::string* error) {
    bool absent = false;
    if (std::optional<MachineView> view = readMachineView(&absent, error)) return view->machine;
    if (!absent) return nullptr;
    // A fresh simulated Mac: create the default machine, under the lock so
    // that two first programs do not both write it.
    MachineLock lock(machinePlistPath());
    if (!lock.locked()) {
        if (error) *error = lock.error();
        return nullptr;
    }
    std::optional<MachineView> view = readMachineViewLocked(error);
    return view ? view->machine : nullptr;
}

IOReturn sendDriverCommand(const std::string& path, const cf::Value& properties,
                           std::optional<std::uint32_t>* answer) {
    if (answer) answer->reset();
    MachineLock lock(machinePlistPath());
    if (!lock.locked()) {
        logOnce(lock.error());
        return kIOReturnError;
    }
    std::string error;
    std::optional<MachineView> view = readMachineViewLocked(&error);
    if (!view) {
        logOnce(error);
        return kIOReturnError;
    }
    if (view->lastSeq >= kLastDriverLogSeq &&
        (!startNewJournalLocked(*view, &error) || !(view = readMachineViewLocked(&error)))) {
        logOnce(error);
        return kIOReturnError;
    }
    const RegistryEntry* entry = view->machine->find(path);
    if (!entry) return kIOReturnNoDevice;
    if (!entry->isClockDriver()) return kIOReturnUnsupported;
    // A hung or sleeping machine takes no command; the sender's wait for the
    // driver runs out first.
    if (view->machine->unresponsive()) return kIOReturnTimeout;

    DriverLogRecord record = runDriverCommand(*entry, path, properties, wallClockMilliseconds());
    record.seq = view->lastSeq + 1;
    // The record is the command: one that could not be journalled did not
    // happen.
    const std::string journal = driverLogPath().string();
    std::uint64_t journalLength = 0;
    if (!appendDriverLogLine(journal, record, &error, &journalLength)) {
        NSLog("%s", error.c_str());
        return kIOReturnError;
    }
    noteAppendedLocked(*view, record, journalLength);
    const bool hangs = hangAfterRecord(*view->machine, record).has_value();
    // A hang is written down at once as well, so that machine.plist itself
    // says so.
    if (hangs || view->recordsSinceCheckpoint + 1 >= kCheckpointEvery) {
        Machine now = *view->machine;
        applyDriverLogRecord(now, record);
        // The journal holds the command already; a checkpoint that cannot be
        // written only leaves more to replay.
        if (!writeCheckpointLocked(now, CheckpointMark{record.seq, journalLength}, &error))
            NSLog("%s", error.c_str());
    }
    // The machine froze under the sender, which never gets its answer.
    if (hangs) ::kill(::getpid(), SIGKILL);
    if (answer) *answer = record.regValue;
    return static_cast<IOReturn>(record.result);
}

QuietState driverQuietState(const std::string& path) {
    QuietState state;
    std::string error;
    std::shared_ptr<const Machine> machine = currentMachine(&error);
    if (!machine) {
        logOnce(error);
        state.result = kIOReturnError;
        return state;
    }
    const RegistryEntry* entry = machine->find(path);
    if (!entry) {
        state.result = kIOReturnNoDevice;
        return state;
    }
    if (!entry->isClockDriver()) return state;
    const DriverState& driver = entry->driver;
    state.stuck = driver.stuck() || machine->unresponsive();
    state.busyForMs =
        state.stuck ? 0 : std::max<std::int64_t>(0, driver.busyUntil - wallClockMilliseconds());
    state.quiet = !state.stuck && state.busyForMs == 0;
    return state;
}

}  // namespace host
