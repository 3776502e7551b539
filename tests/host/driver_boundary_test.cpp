// The clock driver as the boundary of the hardware: 100,000 random commands
// (known and unknown codes, register offsets on, near and far from the
// driver's lists, malformed dictionaries and values that are no dictionary)
// go through IORegistryEntrySetCFProperties to a machine with an ATI card, an
// NVIDIA card and entries that are no driver. After every command the
// machine must equal a model the test keeps from the driver's published
// rules: a register outside the write lists never changes, an ATI word with a
// zero divider is never accepted, a refusal carries an I/O Kit error code and
// changes nothing, and an accepted write changes exactly the register it
// addresses.
//
// The generator is seeded; the seed is printed, and TARNWICK_TEST_SEED
// repeats a run.

#include <chrono>
#include <random>

#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "support/DriverRules.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"
#include "support/TestSeed.h"

using namespace testsupport;
using driverrules::integerOf;
using driverrules::kATIReads;
using driverrules::kNVIDIAReads;
using driverrules::kNVIDIAWrites;

namespace {

constexpr int kCommands = 100000;
// A fresh parse of machine.plist from disk, independent of the host's cache,
// every this many commands.
constexpr int kFullReadEvery = 2000;

const std::string kATIDriver = driverPath("ATY,Radeon");
const std::string kNVIDIADriver = driverPath("NVDA,Display");

// Registers on and off the lists, so that a stray write has something to hit.
const Registers kATIStart{{"PLL", 0x0A6464}, {"0xF8", 0x20000000},  {"0x140", 0x1234},
                          {"0x158", 0x3},    {"0x14C", 0xAAAA5555}, {"0xFC", 0x77}};
const Registers kNVIDIAStart{
    {"0x101000", 0x400000},   {"0x4000", 0x80010A05},   {"0x4004", 0x02010F01},
    {"0x4008", 0xDEADBEEF},   {"0x4020", 0x80010E0C},   {"0x4024", 0x02010D01},
    {"0x4028", 0x11111111},   {"0x680500", 0x00012345}, {"0x680504", 0x00023456},
    {"0x680508", 0x0BADF00D}, {"0x101004", 0x5}};

enum class Target { ATIDriver, NVIDIADriver, ATICardEntry, Bridge };

struct Sent {
    Target target = Target::ATIDriver;
    cf::Value properties = cf::Dictionary{};
    std::string text;  // for messages
};

// What the driver must do with a command, from the model of its rules;
// entries that are no driver refuse everything.
std::optional<driverrules::Accepted> expectationFor(const Sent& sent) {
    if (sent.target != Target::ATIDriver && sent.target != Target::NVIDIADriver)
        return std::nullopt;
    return driverrules::accepted(sent.target == Target::ATIDriver, sent.properties);
}

class CommandGenerator {
public:
    explicit CommandGenerator(std::uint64_t seed) : random_(seed) {}

    Sent next() {
        Sent sent;
        const int where = below(100);
        sent.target = where < 45   ? Target::ATIDriver
                      : where < 90 ? Target::NVIDIADriver
                      : where < 95 ? Target::ATICardEntry
                                   : Target::Bridge;
        if (below(100) < 4) {
            sent.properties = notADictionary();
            sent.text = "a value that is no dictionary";
            return sent;
        }
        const std::int64_t code = commandCode();
        cf::Dictionary dict;
        dict.set("Command", number(code, cf::kCFNumberCharType));
        dict.set("Argument", number(argument(code, sent.target), cf::kCFNumberIntType));
        if (code == 12 || below(10) == 0)
            dict.set("Argument2", number(randomWord(), cf::kCFNumberIntType));
        sent.text = "command " + std::to_string(code);
        spoil(dict, sent.text);
        sent.properties = std::move(dict);
        return sent;
    }

private:
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
    std::uint32_t randomWord() { return static_cast<std::uint32_t>(random_()); }

    std::int64_t commandCode() {
        static constexpr std::array<std::int64_t, 5> known{0, 1, 2, 11, 12};
        static constexpr std::array<std::int64_t, 10> unknown{3,  4,   10,      13,       127,
                                                              -1, 255, 256 + 2, 512 + 12, -254};
        const int pick = below(100);
        if (pick < 80) return known[static_cast<std::size_t>(below(known.size()))];
        if (pick < 95) return unknown[static_cast<std::size_t>(below(unknown.size()))];
        return static_cast<std::int64_t>(random_());
    }

    // Offsets on the lists, a few bytes or a bit away from them, or anywhere.
    std::uint32_t nearList(const std::uint32_t* list, std::size_t size) {
        std::uint32_t offset = list[below(static_cast<int>(size))];
        switch (below(6)) {
        case 0:
        case 1:
        case 2: return offset;
        case 3: return offset + static_cast<std::uint32_t>(below(9)) - 4;
        case 4: return offset ^ (1u << below(32));
        default: return randomWord();
        }
    }

    std::int64_t argument(std::int64_t code, Target target) {
        std::uint32_t word;
        if (code == 2) {
            // PLL words; about half with a zero divider byte somewhere.
            word = randomWord();
            for (int shift : {0, 8, 16})
                if (below(6) == 0) word &= ~(0xFFu << shift);
        } else {
            const bool atiSide =
                code <= 2 ? below(5) != 0 : (target == Target::ATIDriver && below(3) == 0);
            if (atiSide)
                word = nearList(kATIReads.data(), kATIReads.size());
            else if (code == 12 || below(2) == 0)
                word = nearList(kNVIDIAWrites.data(), kNVIDIAWrites.size());
            else
                word = nearList(kNVIDIAReads.data(), kNVIDIAReads.size());
        }
        // Now and then beyond 32 bits: the driver takes the low word.
        if (below(50) == 0)
            return static_cast<std::int64_t>(word) + (std::int64_t{below(3) + 1} << 32);
        return static_cast<std::int32_t>(word);
    }

    // Integers of every width; the value is cut to the width of its type.
    cf::Value number(std::int64_t value, cf::CFNumberType preferred) {
        switch (below(8)) {
        case 0: return cf::CFNumberCreate(cf::kCFNumberSInt64Type, value);
        case 1: return cf::CFNumberCreate(cf::kCFNumberIntType, value);
        default: return cf::CFNumberCreate(preferred, value);
        }
    }

    cf::Value wrongType() {
        switch (below(6)) {
        case 0: return std::to_string(randomWord());
        case 1: return cf::Data{0xF8, 0x00, 0x00, 0x00};
        case 2:
            return cf::CFNumberCreateReal(
                below(2) ? cf::kCFNumberDoubleType : cf::kCFNumberFloatType, below(300));
        case 3: return cf::Array{cf::CFNumberCreate(cf::kCFNumberIntType, 2)};
        case 4: return below(2) == 0;
        default: return cf::Dictionary{};
        }
    }

    cf::Value notADictionary() {
        switch (below(4)) {
        case 0: return cf::Array{cf::Value(cf::Dictionary{})};
        case 1: return cf::CFNumberCreate(cf::kCFNumberIntType, 2);
        case 2: return "Command";
        default: return cf::Data{2, 0, 0, 0};
        }
    }

    // One time in five the dictionary is spoiled: a key dropped, a value of
    // the wrong type, or keys that do not belong.
    void spoil(cf::Dictionary& dict, std::string& text) {
        static constexpr std::array<const char*, 3> keys{"Command", "Argument", "Argument2"};
        switch (below(15)) {
        case 0:
            dict.remove(keys[static_cast<std::size_t>(below(3))]);
            text += ", a key missing";
            break;
        case 1:
            dict.set(keys[static_cast<std::size_t>(below(3))], wrongType());
            text += ", a value of the wrong type";
            break;
        case 2:
            dict.set("RegValue", cf::Data{1, 2, 3, 4});
            dict.set("Hardware", cf::Dictionary{});
            dict.set("command", cf::CFNumberCreate(cf::kCFNumberIntType, 12));
            text += ", extra keys";
            break;
        default: break;
        }
    }

    std::mt19937_64 random_;
};

std::string describe(const Sent& sent) {
    static constexpr std::array<const char*, 4> targets{"ATI driver", "NVIDIA driver",
                                                        "ATI card entry", "bridge entry"};
    return sent.text + " to the " + targets[static_cast<std::size_t>(sent.target)] + ": " +
           cf::toXMLPropertyList(sent.properties);
}

Registers registersOf(const host::Machine& machine, const std::string& path) {
    const host::RegistryEntry* entry = machine.find(path);
    if (!entry || !entry->hardware) return {};
    return Registers(entry->hardware->registers.begin(), entry->hardware->registers.end());
}

// Everything of an entry but a driver's "RegValue", which reads change.
cf::Dictionary withoutRegValue(cf::Dictionary properties) {
    properties.remove("RegValue");
    return properties;
}

TEST(DriverBoundary, RandomCommandsNeverReachBeyondTheWriteLists) {
    const std::uint64_t seed = testSeed();
    SCOPED_TRACE(seedTrace(seed));
    TempSimMac mac;
    cf::Dictionary bridgeProperties;
    bridgeProperties.set("name", dataText("pci-bridge"));
    bridgeProperties.set("reg", dataU32(0x10000));
    mac.writeMachine(
        machine({entry("pci-bridge", bridgeProperties),
                 cardEntry("ATY,Radeon", 0x1002, driverEntry("ATI", kATIStart)),
                 cardEntry("NVDA,Display", 0x10DE, driverEntry("NVIDIA", kNVIDIAStart))}));

    std::map<Target, io_object_t> handles;
    handles[Target::ATIDriver] = IORegistryEntryFromPath(kIOMasterPortDefault, kATIDriver);
    handles[Target::NVIDIADriver] = IORegistryEntryFromPath(kIOMasterPortDefault, kNVIDIADriver);
    handles[Target::ATICardEntry] = IORegistryEntryFromPath(kIOMasterPortDefault, "ATY,Radeon");
    handles[Target::Bridge] = IORegistryEntryFromPath(kIOMasterPortDefault, "pci-bridge");
    for (const auto& [target, handle] : handles) ASSERT_NE(handle, IO_OBJECT_NULL);

    std::string error;
    const std::shared_ptr<const host::Machine> start = host::currentMachine(&error);
    ASSERT_TRUE(start) << error;
    // What must never change: every entry's properties (but "RegValue") and
    // the power-on registers.
    std::vector<std::pair<std::string, cf::Dictionary>> fixedProperties;
    std::vector<std::pair<std::string, Registers>> fixedPowerOn;
    start->forEach([&](const std::string& path, const host::RegistryEntry& entry) {
        fixedProperties.emplace_back(path, withoutRegValue(entry.properties));
        if (entry.hardware)
            fixedPowerOn.emplace_back(
                path, Registers(entry.hardware->powerOn.begin(), entry.hardware->powerOn.end()));
    });
    std::map<std::string, Registers> model{{kATIDriver, registersOf(*start, kATIDriver)},
                                           {kNVIDIADriver, registersOf(*start, kNVIDIADriver)}};
    ASSERT_EQ(model[kATIDriver].size(), kATIStart.size());

    CommandGenerator generator(seed);
    std::vector<std::uint32_t> driverResults;  // the result of every command to a driver, in order
    driverResults.reserve(kCommands);
    int accepted = 0, writes = 0, malformed = 0, zeroDividerWords = 0;
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < kCommands; ++i) {
        const Sent sent = generator.next();
        const std::optional<driverrules::Accepted> expected = expectationFor(sent);
        const IOReturn result =
            IORegistryEntrySetCFProperties(handles[sent.target], sent.properties);
        const auto code = static_cast<std::uint32_t>(result);
        if (sent.target == Target::ATIDriver || sent.target == Target::NVIDIADriver)
            driverResults.push_back(code);
        if (!sent.properties.dictionary() || sent.text.find(',') != std::string::npos) ++malformed;
        if (const cf::Dictionary* d = sent.properties.dictionary();
            d && sent.target == Target::ATIDriver && integerOf(*d, "Command") == 2) {
            std::optional<std::int64_t> word = integerOf(*d, "Argument");
            if (word && driverrules::hasZeroDivider(static_cast<std::uint32_t>(*word)))
                ++zeroDividerWords;
        }

        if (expected) {
            ASSERT_EQ(code, 0u) << "command " << i << " refused with " << std::hex << code << ": "
                                << describe(sent);
            ++accepted;
            if (expected->write) {
                model[sent.target == Target::ATIDriver ? kATIDriver : kNVIDIADriver]
                     [expected->write->first] = expected->write->second;
                ++writes;
            }
        } else {
            ASSERT_NE(code, 0u) << "command " << i << " accepted: " << describe(sent);
            ASSERT_EQ(code & 0xFFFFFF00u, 0xE0000200u)
                << "command " << i << " refused without an I/O Kit code: " << std::hex << code;
        }

        // The machine after the command, as the file holds it.
        const std::shared_ptr<const host::Machine> machine = host::currentMachine(&error);
        ASSERT_TRUE(machine) << "after command " << i << ": " << error;
        for (const std::string& driver : {kATIDriver, kNVIDIADriver}) {
            ASSERT_EQ(registersOf(*machine, driver), model[driver])
                << "after command " << i << " (" << (code ? "refused" : "accepted")
                << "): " << describe(sent);
        }
        if (expected && expected->read) {
            const std::string& driver =
                sent.target == Target::ATIDriver ? kATIDriver : kNVIDIADriver;
            const Registers& regs = model[driver];
            auto it = regs.find(*expected->read);
            ASSERT_EQ(regValue(handles[sent.target]), it == regs.end() ? 0u : it->second)
                << "command " << i << " published the wrong value: " << describe(sent);
        }
        if (i % kFullReadEvery == kFullReadEvery - 1 || i == kCommands - 1) {
            // Read afresh from disk, and everything that must never change.
            ASSERT_EQ(mac.registers(kATIDriver), model[kATIDriver]) << "after command " << i;
            ASSERT_EQ(mac.registers(kNVIDIADriver), model[kNVIDIADriver]) << "after command " << i;
            for (const auto& [path, properties] : fixedProperties)
                ASSERT_EQ(withoutRegValue(machine->find(path)->properties), properties)
                    << path << " after " << i;
            for (const auto& [path, powerOn] : fixedPowerOn) {
                const host::RegisterFile& now = machine->find(path)->hardware->powerOn;
                ASSERT_EQ(Registers(now.begin(), now.end()), powerOn) << path << " after " << i;
            }
        }
    }
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - began;

    // Every command that reached a driver is logged once, with the result
    // its sender got, and no log line shows an accepted zero-divider word.
    // (The journal passes its size and is rotated once on the way.)
    std::vector<host::DriverLogRecord> log = mac.driverLog(testsupport::WithOldJournal::Yes);
    ASSERT_EQ(log.size(), driverResults.size());
    for (std::size_t i = 0; i < log.size(); ++i) {
        ASSERT_EQ(log[i].seq, i + 1);
        ASSERT_EQ(log[i].result, driverResults[i]) << "log line " << i + 1;
        if (log[i].command == 2 && log[i].result == 0) {
            const auto word = static_cast<std::uint32_t>(log[i].argument.value_or(0));
            ASSERT_FALSE(driverrules::hasZeroDivider(word)) << "log line " << i + 1;
        }
    }
    // The generator reached every kind of command, or this proves little.
    EXPECT_GT(writes, kCommands / 20);
    EXPECT_GT(accepted - writes, kCommands / 20);
    EXPECT_GT(malformed, kCommands / 20);
    EXPECT_GT(zeroDividerWords, kCommands / 100);
    std::printf(
        "%d commands in %.1f s (%.0f us each): %d accepted (%d writes), %d malformed, %d ATI words "
        "with a "
        "zero divider\n",
        kCommands, spent.count(), spent.count() * 1e6 / kCommands, accepted, writes, malformed,
        zeroDividerWords);
}

}  // namespace
