// The clock driver's rules: it decodes a command dictionary, refuses what the
// driver does not accept, and otherwise reads or programs the card's
// registers, each command one record of the journal, whose replay carries
// the command's effect out. A write that leaves a card above its limits hangs
// the machine.
#include "ClockDriver.h"

#include <algorithm>
#include <limits>

#include "host/CardClocks.h"
#include "host/SimulatedHardware.h"

namespace host {

namespace {

enum : std::int64_t {
    kReadATIPLL = 0,
    kReadATIRegister = 1,
    kWriteATIPLL = 2,
    kReadNVIDIARegister = 11,
    kWriteNVIDIARegister = 12,
};

std::optional<std::int64_t> integerValue(const cf::Dictionary& dict, std::string_view key) {
    const cf::Value* value = dict.get(key);
    if (!value) return std::nullopt;
    const cf::Number* number = value->number();
    if (!number || number->isReal()) return std::nullopt;
    return number->int64Value();
}

bool isWrite(std::int64_t code) { return code == kWriteATIPLL || code == kWriteNVIDIARegister; }

HardwareKind vendorOf(std::int64_t code) {
    return code <= kWriteATIPLL ? HardwareKind::ATI : HardwareKind::NVIDIA;
}

// Why the driver turns a well-formed command away, or success.
IOReturn refusal(const RegistryEntry& driver, std::int64_t code, std::uint32_t argument) {
    if (code != kReadATIPLL && code != kReadATIRegister && code != kWriteATIPLL &&
        code != kReadNVIDIARegister && code != kWriteNVIDIARegister)
        return kIOReturnUnsupported;
    const DriverState& state = driver.driver;
    if (state.refuseCommands &&
        std::find(state.refuseCommands->begin(), state.refuseCommands->end(), code) !=
            state.refuseCommands->end())
        return kIOReturnNotPermitted;
    if (state.refuseAfter && state.acceptedCommands >= *state.refuseAfter)
        return kIOReturnNotPermitted;
    if (vendorOf(code) != driver.hardware->kind) return kIOReturnUnsupported;
    switch (code) {
    case kReadATIRegister:
        return atiReadableRegister(argument) ? kIOReturnSuccess : kIOReturnNotReadable;
    case kReadNVIDIARegister:
        return nvidiaReadableRegister(argument) ? kIOReturnSuccess : kIOReturnNotReadable;
    case kWriteNVIDIARegister:
        return nvidiaWritableRegister(argument) ? kIOReturnSuccess : kIOReturnNotWritable;
    case kWriteATIPLL: {
        ATIDividers d = atiDividers(argument);
        return (d.refDiv && d.memFBDiv && d.vpuFBDiv) ? kIOReturnSuccess : kIOReturnBadArgument;
    }
    default: return kIOReturnSuccess;
    }
}

// The register an accepted write sets, on `hardware`.
void writeRegister(Hardware& hardware, const DriverLogRecord& record) {
    if (!record.registerKey || !record.registerValue) return;
    if (std::optional<std::string> key = canonicalRegisterKey(*record.registerKey))
        hardware.registers[*key] = *record.registerValue;
}

// The hang of a write that left the card (`after`, the driver's hardware with
// the write done) above its limits; nothing for any other record.
std::optional<MachineHang> hangOfWrite(const Machine& machine, const Hardware& after,
                                       const DriverLogRecord& record) {
    if (record.result != 0 || !record.registerKey || after.limits.empty()) return std::nullopt;
    const std::optional<std::string> cardPath = parentPath(record.driver);
    const CardClocks clocks = cardClocks(after, cardPath ? machine.find(*cardPath) : nullptr);
    if (!exceedsLimits(clocks, after.limits)) return std::nullopt;
    return MachineHang{record.driver, clocks.vpu, clocks.memory, record.seq};
}

}  // namespace

DriverLogRecord runDriverCommand(const RegistryEntry& driver, const std::string& path,
                                 const cf::Value& properties, std::int64_t nowMs) {
    DriverLogRecord record;
    record.driver = path;
    record.command = -1;
    record.name = driverCommandName(-1);

    static const cf::Dictionary kNoFields;
    const cf::Dictionary& fields = properties.dictionary() ? *properties.dictionary() : kNoFields;
    const std::optional<std::int64_t> code = integerValue(fields, "Command");
    const std::optional<std::int64_t> argument = integerValue(fields, "Argument");
    const std::optional<std::int64_t> argument2 = integerValue(fields, "Argument2");
    // Arguments are 32-bit words; the log shows them unsigned.
    auto word = [](std::int64_t v) {
        return static_cast<std::int64_t>(static_cast<std::uint32_t>(v));
    };
    if (code) {
        record.command = *code;
        record.name = driverCommandName(*code);
    }
    if (argument) record.argument = word(*argument);
    if (argument2) record.argument2 = word(*argument2);

    if (!code || !argument || (*code == kWriteNVIDIARegister && !argument2) || !driver.hardware) {
        record.result = static_cast<std::uint32_t>(kIOReturnBadArgument);
        return record;
    }
    std::uint32_t arg = static_cast<std::uint32_t>(*argument);
    IOReturn refused = refusal(driver, *code, arg);
    if (refused != kIOReturnSuccess) {
        record.result = static_cast<std::uint32_t>(refused);
        return record;
    }

    const Hardware& hardware = *driver.hardware;
    switch (*code) {
    case kReadATIPLL: record.regValue = hardware.read(kPLLRegisterKey); break;
    case kReadATIRegister:
    case kReadNVIDIARegister: record.regValue = hardware.read(arg); break;
    case kWriteATIPLL:
        // The word has no field above the core divider.
        record.registerKey = kPLLRegisterKey;
        record.registerValue = arg & 0xFFFFFF;
        break;
    case kWriteNVIDIARegister:
        record.registerKey = registerKey(arg);
        record.registerValue = static_cast<std::uint32_t>(*argument2);
        break;
    }
    const DriverState& state = driver.driver;
    // Accepted commands are counted only while a limit is set; the count
    // starts with the limit.
    if (state.refuseAfter) record.acceptedCommands = state.acceptedCommands + 1;
    if (isWrite(*code) && state.busyMilliseconds && *state.busyMilliseconds > 0) {
        // A busy time as long as a machine file can hold ends at the last
        // moment there is, never at a negative one.
        std::int64_t until = 0;
        if (__builtin_add_overflow(nowMs, *state.busyMilliseconds, &until))
            until = std::numeric_limits<std::int64_t>::max();
        record.busyUntil = until;
    }
    record.result = static_cast<std::uint32_t>(kIOReturnSuccess);
    return record;
}

bool driverLogRecordHasEffect(const DriverLogRecord& record) {
    return record.result == 0 &&
           (record.registerKey || record.busyUntil || record.acceptedCommands);
}

std::optional<MachineHang> hangAfterRecord(const Machine& machine, const DriverLogRecord& record) {
    const RegistryEntry* driver = machine.find(record.driver);
    if (!record.registerKey || !driver || !driver->hardware || driver->hardware->limits.empty())
        return std::nullopt;
    Hardware after = *driver->hardware;
    writeRegister(after, record);
    return hangOfWrite(machine, after, record);
}

void applyDriverLogRecord(Machine& machine, const DriverLogRecord& record) {
    if (!driverLogRecordHasEffect(record)) return;
    RegistryEntry* driver = machine.find(record.driver);
    if (!driver || !driver->isClockDriver() || !driver->hardware) return;
    writeRegister(*driver->hardware, record);
    if (record.busyUntil) driver->driver.busyUntil = *record.busyUntil;
    if (record.acceptedCommands) driver->driver.acceptedCommands = *record.acceptedCommands;
    // A hang follows from the write and the card's limits alone, so a replay
    // of the journal comes to the same hang.
    if (!machine.hung) machine.hung = hangOfWrite(machine, *driver->hardware, record);
}

}  // namespace host
