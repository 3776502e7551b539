// The clock driver: every command code, every refusal and every fault,
// checked through driver.jsonl, the machine and "RegValue".

#include <fstream>
#include <iterator>

#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "support/DriverRules.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

const std::string kATIDriver = driverPath("ATY,R350");
const std::string kNVDriver = driverPath("NVDA,Parent");

const std::map<std::string, std::uint32_t> kATIRegisters{
    {"PLL", 0x00A9970C}, {"0xF8", 0x08000000}, {"0x140", 0x29002902}, {"0x158", 0x6C0D0132}};
const std::map<std::string, std::uint32_t> kNVRegisters{
    {"0x101000", 0x0040A28B}, {"0x4000", 0x80010000}, {"0x4004", 0x07021102},
    {"0x4020", 0x80010000},   {"0x4024", 0x09010902}, {"0x680500", 0x00012501},
    {"0x680504", 0x00015903}};

class ClockDriver : public ::testing::Test {
protected:
    void SetUp() override { writeMachine({}, {}); }

    void writeMachine(std::optional<cf::Dictionary> atiFaults,
                      std::optional<cf::Dictionary> nvFaults) {
        mac.writeMachine(machine({
            cardEntry("ATY,R350", 0x1002, driverEntry("ATI", kATIRegisters, std::move(atiFaults))),
            cardEntry("NVDA,Parent", 0x10DE,
                      driverEntry("NVIDIA", kNVRegisters, std::move(nvFaults))),
            entry("bridge", {}),
        }));
        std::vector<io_object_t> drivers = matching(host::kClockDriverName);
        ASSERT_EQ(drivers.size(), 2u);
        ati = drivers[0];
        nvidia = drivers[1];
    }

    testsupport::TempSimMac mac;
    io_object_t ati = 0;
    io_object_t nvidia = 0;
};

struct Accepted {
    const char* label;
    bool onATI;
    std::int64_t code;
    std::int64_t argument;
    std::optional<std::int64_t> argument2;
    std::optional<std::uint32_t> published;  // RegValue of a read
    std::optional<std::uint32_t> wrotePLL;   // the ATI PLL word after a write
};

TEST_F(ClockDriver, AcceptsEveryCommandOfItsVendor) {
    const Accepted cases[] = {
        {"ReadATIPLL", true, 0, 0, {}, 0x00A9970C, {}},
        {"ReadATIRegister 0xF8", true, 1, 0xF8, {}, 0x08000000, {}},
        {"ReadATIRegister 0x140", true, 1, 0x140, {}, 0x29002902, {}},
        {"ReadATIRegister 0x158", true, 1, 0x158, {}, 0x6C0D0132, {}},
        {"WriteATIPLL", true, 2, 0x00AB960B, {}, {}, 0x00AB960B},
        {"ReadATIPLL after the write", true, 0, 0, {}, 0x00AB960B, {}},
        {"ReadNVIDIARegister strap", false, 11, 0x101000, {}, 0x0040A28B, {}},
        {"ReadNVIDIARegister 0x4000", false, 11, 0x4000, {}, 0x80010000, {}},
        {"ReadNVIDIARegister 0x4004", false, 11, 0x4004, {}, 0x07021102, {}},
        {"ReadNVIDIARegister 0x4020", false, 11, 0x4020, {}, 0x80010000, {}},
        {"ReadNVIDIARegister 0x4024", false, 11, 0x4024, {}, 0x09010902, {}},
        {"ReadNVIDIARegister 0x680500", false, 11, 0x680500, {}, 0x00012501, {}},
        {"ReadNVIDIARegister 0x680504", false, 11, 0x680504, {}, 0x00015903, {}},
    };
    std::uint64_t seq = 0;
    for (const Accepted& c : cases) {
        SCOPED_TRACE(c.label);
        io_object_t driver = c.onATI ? ati : nvidia;
        ASSERT_EQ(send(driver, c.code, c.argument, c.argument2), kIOReturnSuccess);
        if (c.published) {
            EXPECT_EQ(regValue(driver), c.published);
        }
        if (c.wrotePLL) {
            EXPECT_EQ(mac.registers(kATIDriver).at("PLL"), *c.wrotePLL);
        }
        std::vector<host::DriverLogRecord> log = mac.driverLog();
        ASSERT_EQ(log.size(), seq + 1);
        const host::DriverLogRecord& line = log.back();
        EXPECT_EQ(line.seq, ++seq);
        EXPECT_EQ(line.driver, c.onATI ? kATIDriver : kNVDriver);
        EXPECT_EQ(line.command, c.code);
        EXPECT_EQ(line.name, host::driverCommandName(c.code));
        EXPECT_EQ(line.argument, c.argument);
        EXPECT_EQ(line.argument2, std::nullopt);
        EXPECT_EQ(line.result, 0u);
        EXPECT_EQ(line.regValue, c.published);
    }
}

TEST_F(ClockDriver, NVIDIAWritesReachEveryListedRegister) {
    std::uint32_t value = 0x80000001;  // bit 31 set: the word must survive as unsigned
    for (std::uint32_t offset : driverrules::kNVIDIAWrites) {
        SCOPED_TRACE(offset);
        ASSERT_EQ(send(nvidia, 12, offset, static_cast<std::int32_t>(value)), kIOReturnSuccess);
        EXPECT_EQ(mac.registers(kNVDriver).at(host::registerKey(offset)), value);
        const host::DriverLogRecord line = mac.driverLog().back();
        EXPECT_EQ(line.argument, offset);
        EXPECT_EQ(line.argument2, value);
        EXPECT_EQ(line.regValue, std::nullopt);
        ++value;
    }
    // The driver reads back what was written, and an unlisted register reads 0.
    ASSERT_EQ(send(nvidia, 11, 0x680504), kIOReturnSuccess);
    EXPECT_EQ(regValue(nvidia), value - 1);
}

TEST_F(ClockDriver, AnUnlistedRegisterReadsZero) {
    mac.writeMachine(machine(
        {cardEntry("NVDA,Parent", 0x10DE, driverEntry("NVIDIA", {{"0x101000", 0x400000}}))}));
    io_object_t driver = matching(host::kClockDriverName).at(0);
    ASSERT_EQ(send(driver, 11, 0x4004), kIOReturnSuccess);
    EXPECT_EQ(regValue(driver), 0u);
}

struct Refused {
    const char* label;
    bool onATI;
    cf::Value properties;
    IOReturn expected;
};

TEST_F(ClockDriver, RefusesWithoutTouchingTheHardware) {
    const Refused cases[] = {
        {"not a dictionary", true, cf::CFNumberCreate(cf::kCFNumberIntType, 2),
         kIOReturnBadArgument},
        {"no Command", true, without(command(0, 0), "Command"), kIOReturnBadArgument},
        {"Command as text", true, with(command(0, 0), "Command", "0"), kIOReturnBadArgument},
        {"Command as real", true,
         with(command(0, 0), "Command", cf::CFNumberCreateReal(cf::kCFNumberFloatType, 0)),
         kIOReturnBadArgument},
        {"no Argument", true, without(command(1, 0xF8), "Argument"), kIOReturnBadArgument},
        {"Argument as data", true,
         with(command(2, 0), "Argument", cf::Data{0x0C, 0x97, 0xAA, 0x00}), kIOReturnBadArgument},
        {"write without Argument2", false, command(12, 0x4000), kIOReturnBadArgument},
        {"Argument2 as boolean", false, with(command(12, 0x4000), "Argument2", true),
         kIOReturnBadArgument},
        {"unknown code", true, command(3, 0), kIOReturnUnsupported},
        {"unknown code on NVIDIA", false, command(13, 0x4000, 1), kIOReturnUnsupported},
        {"NVIDIA read on ATI", true, command(11, 0xF8), kIOReturnUnsupported},
        {"NVIDIA write on ATI", true, command(12, 0x4000, 1), kIOReturnUnsupported},
        {"ATI PLL read on NVIDIA", false, command(0, 0), kIOReturnUnsupported},
        {"ATI PLL write on NVIDIA", false, command(2, 0x00A9970C), kIOReturnUnsupported},
        {"ATI register off the list", true, command(1, 0x144), kIOReturnNotReadable},
        {"NVIDIA read off the list", false, command(11, 0x4028), kIOReturnNotReadable},
        {"NVIDIA read of a write-only register", false, command(11, 0x4038), kIOReturnNotReadable},
        {"NVIDIA write to the strap", false, command(12, 0x101000, 0), kIOReturnNotWritable},
        {"NVIDIA write off the list", false, command(12, 0x4008, 1), kIOReturnNotWritable},
        {"PLL word with reference divider 0", true, command(2, 0x00A99700), kIOReturnBadArgument},
        {"PLL word with memory divider 0", true, command(2, 0x00A9000C), kIOReturnBadArgument},
        {"PLL word with core divider 0", true, command(2, 0x0000970C), kIOReturnBadArgument},
    };
    // A read first, so that a refusal is seen to take the old answer away.
    ASSERT_EQ(send(ati, 0, 0), kIOReturnSuccess);
    ASSERT_EQ(send(nvidia, 11, 0x4004), kIOReturnSuccess);
    const auto atiBefore = mac.registers(kATIDriver);
    const auto nvBefore = mac.registers(kNVDriver);
    std::size_t lines = mac.driverLog().size();
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.label);
        io_object_t driver = c.onATI ? ati : nvidia;
        EXPECT_EQ(IORegistryEntrySetCFProperties(driver, c.properties), c.expected);
        EXPECT_EQ(mac.registers(kATIDriver), atiBefore);
        EXPECT_EQ(mac.registers(kNVDriver), nvBefore);
        EXPECT_EQ(regValue(driver), std::nullopt);
        std::vector<host::DriverLogRecord> log = mac.driverLog();
        ASSERT_EQ(log.size(), ++lines);
        EXPECT_EQ(log.back().result, static_cast<std::uint32_t>(c.expected));
        EXPECT_EQ(log.back().regValue, std::nullopt);
        EXPECT_EQ(log.back().driver, c.onATI ? kATIDriver : kNVDriver);
    }
}

TEST_F(ClockDriver, LogShowsWhatAMalformedCommandCarried) {
    ASSERT_EQ(IORegistryEntrySetCFProperties(ati, without(command(1, 0xF8), "Command")),
              kIOReturnBadArgument);
    host::DriverLogRecord line = mac.driverLog().at(0);
    EXPECT_EQ(line.command, -1);
    EXPECT_EQ(line.name, "Unknown");
    EXPECT_EQ(line.argument, 0xF8);
    ASSERT_EQ(send(ati, 9, 5), kIOReturnUnsupported);
    line = mac.driverLog().at(1);
    EXPECT_EQ(line.command, 9);
    EXPECT_EQ(line.name, "Unknown");
}

TEST_F(ClockDriver, EntriesOtherThanDriversRefuseSettings) {
    io_registry_entry_t card = 0;
    ASSERT_EQ(IORegistryEntryGetParentEntry(ati, kIOServicePlane, &card), kIOReturnSuccess);
    EXPECT_EQ(send(card, 0, 0), kIOReturnUnsupported);
    io_registry_entry_t bridge = matching("bridge").at(0);
    EXPECT_EQ(send(bridge, 0, 0), kIOReturnUnsupported);
    // Nothing reached a driver.
    EXPECT_TRUE(mac.driverLog().empty());
    EXPECT_EQ(mac.registers(kATIDriver), kATIRegisters);
}

TEST_F(ClockDriver, RefuseCommandsRefusesOnlyThoseCodes) {
    writeMachine(driverFaults({.refuseCommands = {2, 12}}),
                 driverFaults({.refuseCommands = {2, 12}}));
    EXPECT_EQ(send(ati, 2, 0x00AB960B), kIOReturnNotPermitted);
    EXPECT_EQ(send(nvidia, 12, 0x4000, 5), kIOReturnNotPermitted);
    EXPECT_EQ(send(ati, 0, 0), kIOReturnSuccess);
    EXPECT_EQ(send(nvidia, 11, 0x4000), kIOReturnSuccess);
    EXPECT_EQ(mac.registers(kATIDriver), kATIRegisters);
    EXPECT_EQ(mac.registers(kNVDriver), kNVRegisters);
    std::vector<host::DriverLogRecord> log = mac.driverLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].result, static_cast<std::uint32_t>(kIOReturnNotPermitted));
    EXPECT_EQ(log[3].result, 0u);
}

TEST_F(ClockDriver, RefuseAfterCountsAcceptedCommandsOnly) {
    writeMachine(driverFaults({.refuseAfter = 2}), {});
    EXPECT_EQ(send(ati, 0, 0), kIOReturnSuccess);
    EXPECT_EQ(send(ati, 3, 0),
              kIOReturnUnsupported);  // not counted
    EXPECT_EQ(send(ati, 2, 0x00AB960B), kIOReturnSuccess);
    EXPECT_EQ(send(ati, 2, 0x00AC960B), kIOReturnNotPermitted);
    EXPECT_EQ(send(ati, 0, 0), kIOReturnNotPermitted);
    // The other driver keeps its own count.
    EXPECT_EQ(send(nvidia, 11, 0x4000), kIOReturnSuccess);
    EXPECT_EQ(mac.registers(kATIDriver).at("PLL"), 0x00AB960Bu);
    EXPECT_EQ(regValue(ati), std::nullopt);  // the last read was refused: no answer
}

TEST_F(ClockDriver, BusyTimeIsKeptInTheMachineFile) {
    writeMachine(driverFaults({.busyMilliseconds = 50}), {});
    ASSERT_EQ(send(ati, 2, 0x00AB960B), kIOReturnSuccess);
    cf::Value machine = mac.readMachine();
    const cf::Dictionary& cardEntry =
        *machine.dictionary()->get("Entries")->array()->at(0).dictionary();
    const cf::Dictionary& driver = *cardEntry.get("Children")->array()->at(0).dictionary();
    const cf::Dictionary& state = *driver.get("Driver")->dictionary();
    EXPECT_EQ(state.get("BusyMilliseconds")->number()->int64Value(), 50);
    EXPECT_GT(state.get("BusyUntil")->number()->int64Value(),
              host::wallClockMilliseconds() - 60000);
}

TEST_F(ClockDriver, RegValueIsFourLittleEndianBytesOnTheDriverEntry) {
    ASSERT_EQ(send(nvidia, 11, 0x4000), kIOReturnSuccess);
    std::optional<cf::Value> value =
        IORegistryEntryCreateCFProperty(nvidia, "RegValue", kCFAllocatorDefault, 0);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, cf::Value(cf::Data{0x00, 0x00, 0x01, 0x80}));
    // Not on the card entry.
    io_registry_entry_t card = 0;
    ASSERT_EQ(IORegistryEntryGetParentEntry(nvidia, kIOServicePlane, &card), kIOReturnSuccess);
    EXPECT_FALSE(
        IORegistryEntryCreateCFProperty(card, "RegValue", kCFAllocatorDefault, 0).has_value());
}

// What a sender killed inside its log append can leave at the end of
// driver.jsonl, and what the next command makes of it.
TEST_F(ClockDriver, NextCommandMendsALogLineCutByAKilledSender) {
    const std::filesystem::path logPath = mac.root() / "Library" / "Logs" / "driver.jsonl";
    host::DriverLogRecord cut;
    cut.seq = 2;
    cut.driver = kATIDriver;
    cut.command = 2;
    cut.name = "WriteATIPLL";
    cut.argument = 0x00A9970C;
    const std::string cutLine = host::formatDriverLogLine(cut);
    const struct {
        const char* label;
        std::string tail;       // after the first command's line
        std::uint64_t nextSeq;  // of the command sent afterwards
        std::size_t lines;      // in the log afterwards
    } cases[] = {
        {"nothing left", "", 2, 2},
        {"a few bytes", cutLine.substr(0, 5), 2, 2},
        {"all but the newline", cutLine, 3, 3},
        {"all but the closing brace", cutLine.substr(0, cutLine.size() - 1), 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove(logPath);
        ASSERT_EQ(send(ati, 0, 0), kIOReturnSuccess);
        {
            std::ofstream out(logPath, std::ios::app | std::ios::binary);
            out << c.tail;
        }
        ASSERT_EQ(send(nvidia, 11, 0x4000), kIOReturnSuccess);
        std::ifstream in(logPath, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes.back(), '\n');
        std::string error;
        const std::vector<host::DriverLogRecord> log = host::readDriverLog(logPath, &error);
        EXPECT_EQ(error, "");
        ASSERT_EQ(log.size(), c.lines);
        EXPECT_EQ(log.back().seq, c.nextSeq);
        EXPECT_EQ(log.back().command, 11);
        for (std::size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i].seq, i + 1);
    }
}

}  // namespace
