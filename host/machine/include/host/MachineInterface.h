// What the I/O Registry calls need from the simulated machine beneath them,
// and all they use of it: a snapshot of the registry tree with its
// properties, one command to a clock driver, and a driver's quiet state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/CoreFoundation.h"
#include "host/IOReturn.h"
#include "host/Machine.h"

namespace host {

// The machine of the simulated Mac at $SIMMAC_ROOT as it is now, created
// from the default machine on a fresh Mac. nullptr with a message when it
// cannot be read; callers report that as an error, never as an empty
// registry.
std::shared_ptr<const Machine> currentMachine(std::string* error);
// The same for a reader of the registry's entries and their properties,
// which only a new checkpoint changes (a command changes a card's registers
// and its driver's state, never a property): the journal is read only when
// the checkpoint changed, so the registers and driver states it holds may
// lag behind.
std::shared_ptr<const Machine> currentRegistry(std::string* error);

// One command to the clock driver at `path`, carried out and logged under
// the machine lock. `answer`, when given, receives the value an accepted
// read published (else nothing); `toClockDriver`, whether `path` named a
// clock driver when the command was looked at (false when the machine could
// not be read). A hung or sleeping machine takes no command
// (kIOReturnTimeout, nothing logged). A write that hangs the machine is
// logged, the hang written to machine.plist, and the calling process ended
// with SIGKILL: the machine froze under it.
IOReturn sendDriverCommand(const std::string& path, const cf::Value& properties,
                           std::optional<std::uint32_t>* answer = nullptr,
                           bool* toClockDriver = nullptr);

// Whether the entry at `path` is quiet now. An entry that is no clock
// driver is always quiet.
struct QuietState {
    IOReturn result = kIOReturnSuccess;  // kIOReturnNoDevice, kIOReturnError: no answer
    bool quiet = true;
    bool stuck = false;  // busy for good (or the machine hangs or sleeps): waiting cannot help
    std::int64_t busyForMs = 0;  // when busy and not stuck
};
QuietState driverQuietState(const std::string& path);

}  // namespace host
