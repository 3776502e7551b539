// The simulated Mac's machine: its I/O Registry entries and, on each clock
// driver instance, the card it drives and the driver's simulated faults
// (Machine.cpp); its property-list form (MachineFile.cpp) and the built-in
// machines (DefaultMachine.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/CoreFoundation.h"

namespace host {

inline constexpr const char* kClockDriverName = "name_halvorn_oddny_TarnwickDriver";
// The ATI PLL divider word is kept as a register of its own under this key.
inline constexpr const char* kPLLRegisterKey = "PLL";

// "0x" and upper-case hex digits without leading zeros.
std::string registerKey(std::uint32_t offset);
// "PLL", or a hex key in either case normalised as registerKey() writes it;
// nothing for anything else.
std::optional<std::string> canonicalRegisterKey(std::string_view key);

// "PLL" first, then by offset, so files list registers in address order.
struct RegisterKeyLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using RegisterFile = std::map<std::string, std::uint32_t, RegisterKeyLess>;

enum class HardwareKind { ATI, NVIDIA };
const char* hardwareKindName(HardwareKind kind);

// The clocks a card runs stably at, in MHz; nothing: no limit.
struct ClockLimits {
    std::optional<double> vpu;
    std::optional<double> memory;

    bool empty() const { return !vpu && !memory; }
    bool operator==(const ClockLimits&) const = default;
};

// The card behind a clock driver instance.
struct Hardware {
    HardwareKind kind = HardwareKind::ATI;
    RegisterFile registers;
    RegisterFile powerOn;  // what a reboot or a wake restores
    ClockLimits limits;  // an accepted write that leaves a clock above its limit hangs the machine

    // A register the file does not list reads as 0.
    std::uint32_t read(const std::string& key) const;
    std::uint32_t read(std::uint32_t offset) const { return read(registerKey(offset)); }
};

// A driver instance's faults and the little state it keeps between commands.
struct DriverState {
    // Faults.
    std::optional<std::int64_t> busyMilliseconds;
    std::optional<std::int64_t> refuseAfter;
    std::optional<std::vector<std::int64_t>> refuseCommands;
    // State.
    std::int64_t acceptedCommands = 0;  // counted while refuseAfter is set
    std::int64_t busyUntil = 0;         // wall clock, milliseconds since the epoch

    bool empty() const;
    // BusyMilliseconds of 1000 or more: the driver never becomes quiet.
    bool stuck() const { return busyMilliseconds && *busyMilliseconds >= 1000; }
};

struct RegistryEntry {
    std::string name;
    std::optional<std::string> className;
    cf::Dictionary properties;
    std::vector<RegistryEntry> children;
    std::optional<Hardware> hardware;  // clock driver instances only
    DriverState driver;                // clock driver instances only

    bool isClockDriver() const { return name == kClockDriverName; }
};

// Why the machine hangs: the write (its driver and seq) that left a card's
// clocks (MHz, as the card's PLLs produce them) above its limits.
struct MachineHang {
    std::string driver;
    std::optional<double> vpu;
    std::optional<double> memory;
    std::uint64_t seq = 0;

    bool operator==(const MachineHang&) const = default;
};

struct Machine {
    std::vector<RegistryEntry> entries;  // the children of the registry root
    // Either makes every command to any driver time out: a hang until a
    // reboot, sleep until a wake.
    std::optional<MachineHang> hung;
    bool asleep = false;

    // Entry paths are the names from the root down, joined by '/'.
    const RegistryEntry* find(std::string_view path) const;
    RegistryEntry* find(std::string_view path);
    // Every entry in file order, depth first (an entry before its children).
    void forEach(
        const std::function<void(const std::string& path, const RegistryEntry&)>& visit) const;
    void forEachMutable(const std::function<void(const std::string& path, RegistryEntry&)>& visit);
    // Paths of the clock driver instances, in file order.
    std::vector<std::string> driverPaths() const;
    // Commands time out: the machine hangs or sleeps.
    bool unresponsive() const { return hung || asleep; }
    // Every card gets its power-on registers back and every driver starts
    // afresh (not busy, nothing accepted, no answer published), as after a
    // reboot or a wake. The number of cards.
    std::size_t powerOnCards();
};

// The parent path of an entry path; nothing for an entry at the top level.
std::optional<std::string> parentPath(std::string_view path);

// What machine.plist says about the journal beside it (driver.jsonl): the
// seq of the last record it holds and the journal's length at that record,
// where the records after it begin. A machine file without a mark is taken
// to hold every record logged before it.
struct CheckpointMark {
    std::uint64_t seq = 0;
    std::uint64_t journalOffset = 0;
    bool operator==(const CheckpointMark&) const = default;
};

// Checks everything and builds the machine, or fails with one message that
// names the entry and the key at fault; never yields a partial machine. A
// clock driver's "RegValue" in the file is dropped: the driver publishes it
// to each sender alone and never keeps it.
std::optional<Machine> machineFromPropertyList(const cf::Value& plist, std::string* error,
                                               std::optional<CheckpointMark>* mark = nullptr);
cf::Value machineToPropertyList(const Machine& machine,
                                const std::optional<CheckpointMark>& mark = std::nullopt);

// The most a machine file may hold; the default machine's is about 10 KiB.
inline constexpr std::size_t kMachineFileBytes = std::size_t{8} << 20;

// Reading and writing a machine file as it is, without the journal (its
// mark is checked and left aside). The message of a refused file begins with
// the file's path.
std::optional<Machine> loadMachineFile(const std::filesystem::path& path, std::string* error);
bool saveMachineFile(const std::filesystem::path& path, const Machine& machine, std::string* error);

// The built-in machines: "default" (three cards, used when machine.plist is
// absent) and further presets.
Machine defaultMachine();
std::optional<Machine> presetMachine(std::string_view name);
std::vector<std::string> presetNames();

// Current wall clock in milliseconds since the epoch; busy times are kept in
// this clock so that every process sees the same deadline.
std::int64_t wallClockMilliseconds();

}  // namespace host
