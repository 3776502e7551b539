// Changes to the simulated machine from its console rather than through a
// driver, each under the machine lock and each ending in a new checkpoint
// (machine.plist) of everything the journal (driver.jsonl) holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/Machine.h"

namespace host {

// A driver command that makes this many records in the journal after the
// checkpoint writes a new checkpoint, so a program that starts replays at
// most this many.
inline constexpr std::uint64_t kCheckpointEvery = 256;
// The most of the journal a reader takes in one look: what it gained since
// the reader last looked, or since the checkpoint. A checkpoint follows at
// most kCheckpointEvery records (a few tens of KiB), so only a journal whose
// checkpoints could not be written comes near it; past it the machine is
// refused rather than read at any cost.
inline constexpr std::uint64_t kJournalReadBytes = std::uint64_t{1} << 20;

// Under the machine lock: reads the machine afresh (creating it from the
// default machine when absent), lets `change` alter it and, when `change`
// returns true, writes it as the new checkpoint before the lock is released.
// False with a message when the machine is refused or cannot be written;
// then it is left as it was.
bool updateMachine(const std::function<bool(Machine&)>& change, std::string* error);

// Replaces the machine whole, under the machine lock. The machine file in
// place may be refused; the journal goes on counting.
bool replaceMachine(const Machine& machine, std::string* error);

// Writes the machine as it is now as the checkpoint, and does nothing else:
// afterwards machine.plist alone shows the machine.
bool checkpointMachine(std::string* error);

}  // namespace host
