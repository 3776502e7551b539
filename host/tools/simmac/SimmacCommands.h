// The subcommands of simmac. Each returns the program's exit status: 0 done,
// 1 refused (bad input, bad machine file), 2 the driver refused the command
// or timed out.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/IOKit.h"
#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"

namespace simmac {

int initMachine(const std::optional<std::string>& preset,
                const std::optional<std::string>& fromFile);
int showMachine();
int rebootMachine();
int sleepMachine();
int wakeMachine();
int checkpointMachine();
int showTrace(std::optional<std::size_t> last);
int showSystemLog(bool follow, std::optional<std::size_t> last);

// Whether the machine the subcommands act on is there. A root named by
// --root or SIMMAC_ROOT that lacks its folder or machine.plist is refused
// with a message saying how to create it (only init creates a machine there:
// a mistyped root must not quietly become a new machine); the default root,
// like every program's, gets the default machine on first use.
bool namedMachineExists(std::string* error);

struct FaultOptions {
    std::optional<std::int64_t> busyMilliseconds;
    std::optional<std::int64_t> refuseAfter;
    std::optional<std::vector<std::int64_t>> refuseCommands;
    bool clear = false;
};
int setFaults(const std::string& driver, const FaultOptions& options);

struct LimitOptions {
    std::optional<double> vpu;
    std::optional<double> memory;
    bool clear = false;
};
int setLimits(const std::string& driver, const LimitOptions& options);

int sendCommand(const std::string& driver, const std::string& code, const std::string& argument,
                const std::optional<std::string>& argument2);

// The driver path that DRIVER names: a driver path, a unique prefix of one,
// or its card (the card entry's path, a prefix of its name, the card's "name"
// or "AAPL,slot-name", or, for a card the pane lists, its slot as the pane
// shows it or its row counted from 0 as tarnwickctl shows rows). Nothing, with
// a message that lists the candidates, when none or several match.
std::optional<std::string> resolveDriver(const host::Machine& machine, const std::string& driver,
                                         std::string* error);

// Changes the machine in one update: `change` alters it, or returns why it
// refuses (then nothing is written). False, after printing the refusal or
// the error behind "simmac: ", when it was not done.
bool changeMachine(const std::function<std::string(host::Machine&)>& change);

// Changes the entry of the clock driver that DRIVER names (as resolveDriver
// takes it) in one update of the machine: `change` edits the entry and says
// whether it changed anything (else the machine is not rewritten). Prints
// "PATH: " and what `describe` tells of the entry afterwards, and returns 0;
// or prints the error and returns 1.
int changeDriverEntry(const std::string& driver,
                      const std::function<bool(host::RegistryEntry&)>& change,
                      const std::function<std::string(const host::RegistryEntry&)>& describe);

// Texts shared by the subcommands.
// A clock as simmac prints it: "380.250 MHz".
inline std::string mhz(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f MHz", value);
    return buffer;
}
inline constexpr const char* kDriverArgumentHelp =
    "driver path or unique prefix, its card's entry or name, or the card as the pane names it: "
    "slot (AGP, SLOT-1, Built-in) or row (0, 1, ... as tarnwickctl list shows)";
std::string ioReturnText(IOReturn code);           // "0xE00002D6 (kIOReturnTimeout)"
std::string propertyText(const cf::Value& value);  // data as hex, plus the text when printable
std::string hex32(std::uint32_t value);            // "0x0000ABCD"
// A number given on the command line: decimal, or hex with "0x".
std::optional<std::int64_t> parseNumber(const std::string& text);

}  // namespace simmac
