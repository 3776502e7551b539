// The clock driver: decodes a command dictionary, refuses what the driver
// does not accept, and otherwise reads or programs the card's registers.
#include "ClockDriver.h"

#include <algorithm>

#include "MachineStore.h"
#include "host/Log.h"
#include "host/SimMac.h"
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

cf::Data littleEndian(std::uint32_t value) {
    return cf::Data{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                    static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
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

}  // namespace

DriverLogRecord runDriverCommand(RegistryEntry& driver, const std::string& path,
                                 const cf::Value& properties, std::int64_t nowMs, bool* changed) {
    *changed = false;
    DriverLogRecord record;
    record.driver = path;
    record.command = -1;
    record.name = driverCommandName(-1);

    const cf::Dictionary* dict = properties.dictionary();
    std::optional<std::int64_t> code = dict ? integerValue(*dict, "Command") : std::nullopt;
    std::optional<std::int64_t> argument = dict ? integerValue(*dict, "Argument") : std::nullopt;
    std::optional<std::int64_t> argument2 = dict ? integerValue(*dict, "Argument2") : std::nullopt;
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

    Hardware& hardware = *driver.hardware;
    std::optional<std::uint32_t> regValue;
    switch (*code) {
    case kReadATIPLL: regValue = hardware.read(kPLLRegisterKey); break;
    case kReadATIRegister:
    case kReadNVIDIARegister: regValue = hardware.read(arg); break;
    case kWriteATIPLL:
        // The word has no field above the core divider.
        hardware.registers[kPLLRegisterKey] = arg & 0xFFFFFF;
        *changed = true;
        break;
    case kWriteNVIDIARegister:
        hardware.registers[registerKey(arg)] = static_cast<std::uint32_t>(*argument2);
        *changed = true;
        break;
    }
    if (regValue) {
        cf::Value published = littleEndian(*regValue);
        const cf::Value* before = driver.properties.get("RegValue");
        if (!before || !(*before == published)) {
            driver.properties.set("RegValue", std::move(published));
            *changed = true;
        }
        record.regValue = regValue;
    }
    DriverState& state = driver.driver;
    // Accepted commands are counted only while a limit is set; the count
    // starts with the limit.
    if (state.refuseAfter) {
        ++state.acceptedCommands;
        *changed = true;
    }
    if (isWrite(*code) && state.busyMilliseconds && *state.busyMilliseconds > 0) {
        state.busyUntil = nowMs + *state.busyMilliseconds;
        *changed = true;
    }
    record.result = static_cast<std::uint32_t>(kIOReturnSuccess);
    return record;
}

IOReturn sendDriverCommand(const std::string& path, const cf::Value& properties,
                           std::optional<std::uint32_t>* regValue) {
    if (regValue) regValue->reset();
    std::filesystem::path machinePath = machinePlistPath();
    MachineLock lock(machinePath);
    if (!lock.locked()) {
        NSLog("%s", lock.error().c_str());
        return kIOReturnError;
    }
    std::string error;
    std::optional<Machine> machine = readMachineLocked(machinePath, &error);
    if (!machine) {
        reportMachineProblem(error);
        return kIOReturnError;
    }
    RegistryEntry* entry = machine->find(path);
    if (!entry) return kIOReturnNoDevice;
    if (!entry->isClockDriver()) return kIOReturnUnsupported;

    bool changed = false;
    DriverLogRecord record =
        runDriverCommand(*entry, path, properties, wallClockMilliseconds(), &changed);
    if (changed && !writeMachineFileCached(machinePath, *machine, &error)) {
        // The new state never reached the file, so the command did not happen.
        NSLog("%s", error.c_str());
        record.result = static_cast<std::uint32_t>(kIOReturnError);
        record.regValue.reset();
    }
    std::string logPath = driverLogPath().string();
    if (!finishDriverLogTail(logPath, &error)) NSLog("%s", error.c_str());
    record.seq = lastDriverLogSeq(logPath) + 1;
    if (!appendDriverLogLine(logPath, record, &error)) NSLog("%s", error.c_str());
    if (regValue) *regValue = record.regValue;
    return static_cast<IOReturn>(record.result);
}

QuietState driverQuietState(const std::string& path) {
    QuietState state;
    std::string error;
    std::shared_ptr<const Machine> machine = currentMachine(&error);
    if (!machine) {
        reportMachineProblem(error);
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
    state.stuck = driver.stuck();
    state.busyForMs =
        state.stuck ? 0 : std::max<std::int64_t>(0, driver.busyUntil - wallClockMilliseconds());
    state.quiet = !state.stuck && state.busyForMs == 0;
    return state;
}

}  // namespace host
