// Inside the machine: the rules of the clock driver
// name_halvorn_oddny_TarnwickDriver that sits on every driver instance of
// the simulated Mac, and the replay of its journal records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/CoreFoundation.h"
#include "host/DriverLog.h"
#include "host/IOReturn.h"
#include "host/Machine.h"

namespace host {

// What one command does to `driver` (found at `path`) at wall-clock time
// `nowMs`: the journal record of it, its result, the answer a read
// publishes and the effect of an accepted command, which
// applyDriverLogRecord carries out. Its seq is left for the journal to
// assign. Changes nothing itself.
DriverLogRecord runDriverCommand(const RegistryEntry& driver, const std::string& path,
                                 const cf::Value& properties, std::int64_t nowMs);

// The hang that the record, a write accepted by a driver of `machine` whose
// card has limits, causes when it leaves the card above them; nothing for
// any other record.
std::optional<MachineHang> hangAfterRecord(const Machine& machine, const DriverLogRecord& record);

// Whether the record changes the machine when replayed.
bool driverLogRecordHasEffect(const DriverLogRecord& record);
// Replays the record's effect on its driver: the register written, the busy
// deadline, the count of accepted commands, and the hang of a write that
// left the card above its limits. A record whose driver the machine does not
// have changes nothing.
void applyDriverLogRecord(Machine& machine, const DriverLogRecord& record);

}  // namespace host
