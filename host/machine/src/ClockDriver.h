// Inside the host: the clock driver name_halvorn_oddny_TarnwickDriver that
// sits on every driver instance of the simulated Mac.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/CoreFoundation.h"
#include "host/DriverLog.h"
#include "host/IOReturn.h"
#include "host/Machine.h"

namespace host {

// Carries out one command on `driver` (found at `path`) at wall-clock time
// `nowMs`: changes its hardware, its "RegValue" and its state exactly as an
// accepted command does, or nothing for a refused one. The record tells what
// happened (its seq is left for the log to assign). `changed` tells whether
// anything that machine.plist holds changed: a read that publishes the same
// answer again, on a driver that counts nothing, changes nothing.
DriverLogRecord runDriverCommand(RegistryEntry& driver, const std::string& path,
                                 const cf::Value& properties, std::int64_t nowMs, bool* changed);

}  // namespace host
