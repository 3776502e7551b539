// Clocks above a card's limits hang the simulated machine: the write that
// does it is journalled, the machine records the hang, the sender is ended
// with SIGKILL, and every later command times out until simmac reboot. The
// hanging writes are sent by simmac in a child process, never by the test.

#include <csignal>

#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "support/Child.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

const std::string kATIDriver = driverPath("ATY,Card");
const std::string kNVDriver = driverPath("NVDA,Card");
constexpr std::uint32_t kATIPowerOn = 12 | 151 << 8 | 169 << 16;  // 380.25 / 339.75 MHz
constexpr int kKilled = 128 + SIGKILL;

// An ATI card that holds 400 / 360 MHz, and a single-stage NVIDIA card
// (13.5 MHz crystal, 249.75 / 200.25 MHz) that holds 285 / 230 MHz.
cf::Value machineWithLimits() {
    return machine(
        {cardEntry("ATY,Card", 0x1002,
                   withLimits(driverEntry("ATI", {{"PLL", kATIPowerOn}}), 400, 360)),
         cardEntry("NVDA,Card", 0x10DE,
                   withLimits(driverEntry("NVIDIA", {{"0x101000", 0},
                                                     {"0x680500", 1 | 37 << 8 | 1 << 16},
                                                     {"0x680504", 3 | 89 << 8 | 1 << 16}}),
                              285, 230))});
}

std::shared_ptr<const host::Machine> machineNow() {
    std::string error;
    std::shared_ptr<const host::Machine> machine = host::currentMachine(&error);
    EXPECT_TRUE(machine) << error;
    return machine;
}

struct HangCase {
    const char* name;
    std::vector<std::string> command;  // simmac command arguments
    std::string driver;
    std::optional<double> vpu, memory;  // the clocks the hang records
};

void PrintTo(const HangCase& c, std::ostream* os) { *os << c.name; }

class HangTest : public ::testing::TestWithParam<HangCase> {
protected:
    void SetUp() override { mac.writeMachine(machineWithLimits()); }
    TempSimMac mac;
};

TEST_P(HangTest, AWriteAboveALimitIsJournalledAndHangsTheMachineUnderItsSender) {
    const HangCase& c = GetParam();
    std::vector<std::string> arguments{"command"};
    arguments.insert(arguments.end(), c.command.begin(), c.command.end());
    const RunResult run = simmac(arguments);
    EXPECT_EQ(run.status, kKilled) << "the sender never gets its answer: " << run.output;
    EXPECT_LACKS(run.output, "result");

    const std::vector<host::DriverLogRecord> log = mac.driverLog();
    ASSERT_EQ(log.size(), 1u) << "the write reached the hardware";
    EXPECT_EQ(log[0].result, 0u);
    const host::MachineHang expected{c.driver, c.vpu, c.memory, log[0].seq};
    EXPECT_EQ(machineNow()->hung, expected);
    // machine.plist itself says so.
    std::string error;
    const std::optional<host::Machine> file =
        host::loadMachineFile(mac.root() / "machine.plist", &error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->hung, expected);
}

HangCase hang(const char* name, std::vector<std::string> command, const std::string& driver,
              double vpu, double memory) {
    return {name, std::move(command), driver, vpu, memory};
}

INSTANTIATE_TEST_SUITE_P(
    Limits, HangTest,
    ::testing::Values(
        // 27 MHz / 12 x 180 = 405 MHz core.
        hang("ATICore", {"ATY", "2", std::to_string(12 | 151 << 8 | 180 << 16)}, kATIDriver, 405.0,
             339.75),
        // x 165 = 371.25 MHz memory.
        hang("ATIMemory", {"ATY", "2", std::to_string(12 | 165 << 8 | 169 << 16)}, kATIDriver,
             380.25, 371.25),
        // 13.5 MHz x 45 >> 1 = 303.75 MHz core.
        hang("NVIDIACore", {"NVDA", "12", "0x680500", std::to_string(1 | 45 << 8 | 1 << 16)},
             kNVDriver, 303.75, 200.25)),
    [](const ::testing::TestParamInfo<HangCase>& info) { return std::string(info.param.name); });

TEST(Hang, AWriteUpToTheLimitsDoesNotHang) {
    TempSimMac mac;
    mac.writeMachine(machineWithLimits());
    // 393.75 MHz core, 355.5 MHz memory; 13.5 MHz x 42 >> 1 = 283.5 MHz.
    EXPECT_EQ(simmac({"command", "ATY", "2", std::to_string(12 | 158 << 8 | 175 << 16)}).status, 0);
    EXPECT_EQ(
        simmac({"command", "NVDA", "12", "0x680500", std::to_string(1 | 42 << 8 | 1 << 16)}).status,
        0);
    EXPECT_FALSE(machineNow()->hung);
}

TEST(Hang, EveryCommandTimesOutUntilRebootAndReplayComesToTheSameHang) {
    TempSimMac mac;
    mac.writeMachine(machineWithLimits());
    ASSERT_EQ(simmac({"checkpoint"}).status, 0);
    const std::string beforeHang = readFile(mac.root() / "machine.plist");
    ASSERT_EQ(simmac({"command", "ATY", "2", std::to_string(12 | 151 << 8 | 180 << 16)}).status,
              kKilled);
    const std::optional<host::MachineHang> hang = machineNow()->hung;
    ASSERT_TRUE(hang);

    // Any driver, by any sender: the wait times out, and nothing reaches
    // the hardware.
    const RunResult other = simmac({"command", "NVDA", "11", "0x680500"});
    EXPECT_EQ(other.status, 2);
    EXPECT_CONTAINS(other.output, "kIOReturnTimeout");
    const std::vector<io_object_t> drivers = matching(kDriverName);
    ASSERT_EQ(drivers.size(), 2u);
    const mach_timespec_t briefly{0, 50'000'000};
    EXPECT_EQ(IOServiceWaitQuiet(drivers[1], &briefly), kIOReturnTimeout);
    EXPECT_EQ(send(drivers[1], 11, 0x680500), kIOReturnTimeout);
    EXPECT_FALSE(regValue(drivers[1]));
    EXPECT_EQ(mac.driverLog().size(), 1u);
    EXPECT_EQ(simmac({"sleep"}).status, 1) << "a hung machine does not sleep";

    const RunResult show = simmac({"show"});
    EXPECT_CONTAINS(show.output, "State: hung by command " + std::to_string(hang->seq) + " to " +
                                     kATIDriver +
                                     ": it left the card at core 405.000 MHz (above its "
                                     "limit 400.000 MHz), memory 339.750 MHz (limit "
                                     "360.000 MHz)");

    // The checkpoint from before the hang and the journal make the same hang.
    writeFile(mac.root() / "machine.plist", beforeHang);
    EXPECT_EQ(machineNow()->hung, hang);

    ASSERT_EQ(simmac({"reboot"}).status, 0);
    EXPECT_FALSE(machineNow()->hung);
    EXPECT_EQ(mac.registers(kATIDriver).at("PLL"), kATIPowerOn);
    EXPECT_EQ(send(drivers[1], 11, 0x680500), kIOReturnSuccess);
    EXPECT_EQ(regValue(drivers[1]), 1u | 37 << 8 | 1 << 16);
}

}  // namespace
