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

namespace {

std::shared_ptr<const Machine> machineNow(std::string* error, bool registryOnly) {
    bool absent = false;
    if (std::optional<MachineView> view = readMachineView(&absent, error, registryOnly))
        return view->machine;
    if (!absent) return nullptr;
    // A fresh simulated Mac: create the default machine, under the lock so
    // that two first programs do not both write it.
    MachineLock lock;
    if (!lock.locked()) {
        if (error) *error = lock.error();
        return nullptr;
    }
    std::optional<MachineView> view = readMachineViewLocked(error);
    return view ? view->machine : nullptr;
}

}  // namespace

std::shared_ptr<const Machine> currentMachine(std::string* error) {
    return machineNow(error, false);
}

std::shared_ptr<const Machine> currentRegistry(std::string* error) {
    return machineNow(error, true);
}

IOReturn sendDriverCommand(const std::string& path, const cf::Value& properties,
                           std::optional<std::uint32_t>* answer, bool* toClockDriver) {
    if (answer) answer->reset();
    if (toClockDriver) *toClockDriver = false;
    MachineLock lock;
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
    // A journal that reached the last seq, or its size, is kept aside and a
    // new one begins with this command's record.
    const bool lastSeq = view->lastSeq >= kLastDriverLogSeq;
    if ((lastSeq || (view->journalLength >= kDriverLogRotateBytes && !view->markInOldJournal)) &&
        (!rotateJournalLocked(*view, lastSeq, &error) || !(view = readMachineViewLocked(&error)))) {
        logOnce(error);
        return kIOReturnError;
    }
    const RegistryEntry* entry = view->machine->find(path);
    if (!entry) return kIOReturnNoDevice;
    if (!entry->isClockDriver()) return kIOReturnUnsupported;
    if (toClockDriver) *toClockDriver = true;
    // A hung or sleeping machine takes no command; the sender's wait for the
    // driver runs out first.
    if (view->machine->unresponsive()) return kIOReturnTimeout;

    DriverLogRecord record = runDriverCommand(*entry, path, properties, wallClockMilliseconds());
    record.seq = view->lastSeq + 1;
    const bool hangs = hangAfterRecord(*view->machine, record).has_value();
    // A hang is written down at once as well, so that machine.plist itself
    // says so; a journal begun since the checkpoint gets one that points
    // into it.
    const bool checkpoint =
        hangs || view->recordsSinceCheckpoint + 1 >= kCheckpointEvery || view->markInOldJournal;
    // Let go of this copy of the machine, so that the record can be taken
    // into the process's own without copying it.
    view.reset();

    // The record is the command: one that could not be journalled did not
    // happen.
    const std::optional<MachineView> after = appendRecordLocked(record, &error);
    if (!after) {
        NSLog("%s", error.c_str());
        return kIOReturnError;
    }
    // The journal holds the command already; a checkpoint that cannot be
    // written only leaves more to replay.
    if (checkpoint &&
        !writeCheckpointLocked(*after->machine, CheckpointMark{record.seq, after->journalLength},
                               &error))
        NSLog("%s", error.c_str());
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
