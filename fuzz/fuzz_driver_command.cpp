// The clock driver's command handling with any property list: a short run of
// commands, each sent with IORegistryEntrySetCFProperties to a driver of the
// default machine. Each command must be accepted exactly when it is a
// well-formed command the driver answers, change only what an accepted
// command may change, and leave one line in the driver log.
//
// Input: the first byte chooses the form. 0: the rest is a property list
// (XML or binary) sent as is to the first driver. Otherwise the rest is a
// sequence of commands built by a small decoder, so that most inputs are
// dictionaries of "Command", "Argument" and "Argument2" of varied types.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FuzzSimMac.h"
#include "host/DriverLog.h"
#include "host/IOKit.h"
#include "host/MachineInterface.h"
#include "host/RegularFile.h"
#include "host/SimMac.h"
#include "support/DriverRules.h"

namespace {

using fuzzsupport::ByteReader;
using fuzzsupport::fail;

constexpr int kMaxCommands = 12;
constexpr std::int64_t kCommandCodes[] = {0, 1, 2, 11, 12};
constexpr std::uint32_t kOffsets[] = {0xF8,   0x140,  0x158,    0x101000, 0x4000, 0x4004,
                                      0x4020, 0x4024, 0x402C,   0x4030,   0x4038, 0x403C,
                                      0x4044, 0x4048, 0x680500, 0x680504};

enum class Role { Command, Argument, Other };

cf::Value decodeValue(ByteReader& in, Role role, int depth);

cf::Value decodeNumber(ByteReader& in, Role role, std::uint8_t tag) {
    // Half the time a value the driver knows: a command code or a register
    // offset; else raw bytes of the type's width.
    const bool known = in.u8() & 1;
    std::int64_t value = 0;
    if (known && role == Role::Command)
        value = kCommandCodes[in.u8() % std::size(kCommandCodes)];
    else if (known && role == Role::Argument)
        value = kOffsets[in.u8() % std::size(kOffsets)];
    else
        value = static_cast<std::int64_t>(in.u64());
    switch (tag % 3) {
    case 0: return cf::CFNumberCreate(cf::kCFNumberCharType, value);
    case 1: return cf::CFNumberCreate(cf::kCFNumberIntType, value);
    default: return cf::CFNumberCreate(cf::kCFNumberSInt64Type, value);
    }
}

cf::Value decodeValue(ByteReader& in, Role role, int depth) {
    const std::uint8_t tag = in.u8();
    switch (tag % 10) {
    case 0:
    case 1:
    case 2:
    case 3: return decodeNumber(in, role, tag / 10);
    case 4:
        return cf::CFNumberCreateReal(cf::kCFNumberFloatType,
                                      static_cast<double>(static_cast<std::int32_t>(in.u32())) / 4);
    case 5: {
        const std::uint64_t bits = in.u64();
        double d;
        static_assert(sizeof d == sizeof bits);
        __builtin_memcpy(&d, &bits, sizeof d);
        return cf::CFNumberCreateReal(cf::kCFNumberDoubleType, d);
    }
    case 6: return static_cast<bool>(in.u8() & 1);
    case 7: return in.bytes(16);
    case 8: {
        const std::string bytes = in.bytes(16);
        return cf::Data(bytes.begin(), bytes.end());
    }
    default: {
        if (depth > 2) return cf::Dictionary{};
        const int count = in.u8() % 4;
        if (tag & 0x80) {
            cf::Array array;
            for (int i = 0; i < count; ++i)
                array.push_back(decodeValue(in, Role::Other, depth + 1));
            return array;
        }
        cf::Dictionary dict;
        for (int i = 0; i < count; ++i)
            dict.set(in.bytes(8), decodeValue(in, Role::Other, depth + 1));
        return dict;
    }
    }
}

// A command dictionary: each of the three keys present or not, in a varied
// order, sometimes with another key beside them; now and then something
// that is not a dictionary at all.
cf::Value decodeCommand(ByteReader& in) {
    const std::uint8_t shape = in.u8();
    if (shape % 16 == 15) return decodeValue(in, Role::Other, 0);
    cf::Dictionary dict;
    const char* keys[] = {"Command", "Argument", "Argument2"};
    const int first = (shape >> 4) % 3;
    for (int i = 0; i < 3; ++i) {
        const int k = (first + i) % 3;
        if (shape & (1 << k))
            dict.set(keys[k], decodeValue(in, k == 0 ? Role::Command : Role::Argument, 0));
    }
    if (shape & 8) dict.set(in.bytes(12), decodeValue(in, Role::Other, 0));
    return dict;
}

// The bytes of a file of the machine, read with plain system calls ("" when
// it cannot be read, which the checks then see as a change). The root is
// the one initSimMac set for the life of the process.
std::string fileBytes(const std::string& path) {
    return host::readRegularFile(path, host::Links::Follow, host::kDriverLogFileBytes, nullptr)
        .value_or(std::string());
}

std::string machineBytes() {
    static const std::string path = host::machinePlistPath().string();
    return fileBytes(path);
}

// The driver log as read after the last command of this input: its bytes
// and the records they hold. Each look parses only what was added, after
// making sure that what was read before is still there, byte for byte.
struct LogSoFar {
    std::string bytes;
    std::vector<host::DriverLogRecord> records;
    std::string problems;
};
LogSoFar logSoFar;

const LogSoFar& readLog(std::size_t sent) {
    if (sent == 1) logSoFar = LogSoFar{};
    static const std::string path = host::driverLogPath().string();
    const std::string bytes = fileBytes(path);
    if (bytes.compare(0, logSoFar.bytes.size(), logSoFar.bytes) != 0) {
        logSoFar.problems = path + ": what was logged before changed";
        return logSoFar;
    }
    const std::size_t whole = bytes.rfind('\n') + 1;  // 0 when there is no newline
    if (whole > logSoFar.bytes.size()) {
        std::string problems;
        std::vector<host::DriverLogRecord> added = host::parseDriverLogLines(
            std::string_view(bytes).substr(logSoFar.bytes.size(), whole - logSoFar.bytes.size()),
            path, logSoFar.records.size() + 1, &problems);
        logSoFar.records.insert(logSoFar.records.end(), added.begin(), added.end());
        if (!problems.empty()) logSoFar.problems += problems;
        logSoFar.bytes = bytes.substr(0, whole);
    }
    return logSoFar;
}

void sendAndCheck(const std::string& path, const cf::Value& properties, std::size_t sent) {
    const host::RegistryEntry& driver = *fuzzsupport::pristineMachine().find(path);
    // What the driver must do, from the model of its rules that the
    // boundary test shares; and what a refusal must leave as it is.
    const std::optional<driverrules::Accepted> expected =
        driverrules::accepted(driver.hardware->kind == host::HardwareKind::ATI, properties);
    const std::string before = expected ? std::string() : machineBytes();
    io_registry_entry_t service = IORegistryEntryFromPath(kIOMasterPortDefault, path);
    if (!service) fail("the registry lost " + path);
    const IOReturn result = IORegistryEntrySetCFProperties(service, properties);
    // Written out only for a failure's message.
    const auto context = [&] {
        return "command " + std::to_string(sent) + " to " + path + " (" +
               cf::toXMLPropertyList(properties) + ") returned " + std::to_string(result);
    };
    if (expected && result != kIOReturnSuccess)
        fail(context() + ": a well-formed command was refused");
    if (!expected && result == kIOReturnSuccess) fail(context() + ": the command was accepted");

    std::string error;
    const LogSoFar& read = readLog(sent);
    const std::vector<host::DriverLogRecord>& log = read.records;
    if (!read.problems.empty() || log.size() != sent ||
        log.back().result != static_cast<std::uint32_t>(result) || log.back().driver != path)
        fail(context() + ": the driver log does not show the command once with its result");

    if (!expected) {
        if (machineBytes() != before) fail(context() + ": a refused command changed machine.plist");
    } else {
        std::shared_ptr<const host::Machine> now = host::currentMachine(&error);
        if (!now) fail(context() + ": the machine no longer reads: " + error);
        const host::Hardware& hardware = *now->find(path)->hardware;
        // A write's record carries what replay needs; a read's carries nothing.
        const auto& write = expected->write;
        if (log.back().registerKey.has_value() != write.has_value() ||
            (write && log.back().registerValue != write->second))
            fail(context() + ": the record does not carry the write's effect");
        if (write && hardware.read(write->first) != write->second)
            fail(context() + ": the register does not hold the value written");
        if (expected->read) {
            const std::uint32_t value = hardware.read(*expected->read);
            const cf::Value published = cf::Data{
                static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
            std::optional<cf::Value> regValue =
                IORegistryEntryCreateCFProperty(service, "RegValue", kCFAllocatorDefault, 0);
            if (!regValue || !(*regValue == published))
                fail(context() + ": RegValue is not the register read");
        }
        const std::string violation = fuzzsupport::driverInvariantViolation(*now);
        if (!violation.empty()) fail(context() + ": " + violation);
    }
    IOObjectRelease(service);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::initSimMac();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    fuzzsupport::resetSimMac();
    const std::vector<std::string> drivers = fuzzsupport::pristineMachine().driverPaths();
    ByteReader in(data, size);
    if (in.u8() == 0) {
        std::string error;
        std::optional<cf::Value> plist = cf::parsePropertyList(
            std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), &error);
        if (plist) sendAndCheck(drivers.front(), *plist, 1);
        return 0;
    }
    std::size_t sent = 0;
    while (!in.empty() && sent < kMaxCommands) {
        const std::string& path = drivers[in.u8() % drivers.size()];
        const cf::Value command = decodeCommand(in);
        sendAndCheck(path, command, ++sent);
    }
    return 0;
}
