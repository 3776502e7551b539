// Two processes commanding the same driver at once: every command is logged
// exactly once, seq strictly increases, no update of machine.plist is lost
// and the file parses at every moment.

#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "support/Child.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

constexpr int kCommandsPerProcess = 500;

// A child process: 500 writes to its own register, each followed by nothing
// else, exactly as fast as the driver takes them.
[[noreturn]] void commandLoop(std::uint32_t offset, std::uint32_t tag) {
    io_object_t driver = matching(kDriverName).at(0);
    int failures = 0;
    const mach_timespec_t oneSecond{1, 0};
    for (int i = 0; i < kCommandsPerProcess; ++i) {
        if (IOServiceWaitQuiet(driver, &oneSecond) != kIOReturnSuccess) ++failures;
        std::int64_t value = static_cast<std::int32_t>(tag | static_cast<std::uint32_t>(i));
        if (send(driver, 12, offset, value) != kIOReturnSuccess) ++failures;
    }
    _exit(failures == 0 ? 0 : 1);
}

TEST(DriverConcurrency, TwoProcessesLoseNothing) {
    testsupport::TempSimMac mac;
    mac.writeMachine(machine({cardEntry(
        "NVDA,Parent", 0x10DE,
        driverEntry("NVIDIA", {{"0x101000", 0x400000}}, driverFaults({.refuseAfter = 1000000})))}));
    const std::string driver = driverPath("NVDA,Parent");
    const std::uint32_t tagA = 0xA0000000, tagB = 0xB0000000;

    const pid_t a = forkChild([&] { commandLoop(0x4000, tagA); });
    const pid_t b = forkChild([&] { commandLoop(0x4020, tagB); });
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);

    // Meanwhile the file must parse whenever anyone looks.
    int looks = 0, unreadable = 0;
    int statusA = -1, statusB = -1;
    bool doneA = false, doneB = false;
    while (!doneA || !doneB) {
        std::string error;
        if (!cf::readPropertyListFile((mac.root() / "machine.plist").string(), &error))
            ++unreadable;
        ++looks;
        if (!doneA) doneA = waitpid(a, &statusA, WNOHANG) == a;
        if (!doneB) doneB = waitpid(b, &statusB, WNOHANG) == b;
        usleep(2000);
    }
    EXPECT_EQ(decodeWaitStatus(statusA), 0);
    EXPECT_EQ(decodeWaitStatus(statusB), 0);
    EXPECT_EQ(unreadable, 0) << "of " << looks << " reads";

    std::vector<host::DriverLogRecord> log = mac.driverLog();
    ASSERT_EQ(log.size(), 2u * kCommandsPerProcess);
    std::set<std::int64_t> seen;
    int nextA = 0, nextB = 0;
    for (std::size_t i = 0; i < log.size(); ++i) {
        const host::DriverLogRecord& r = log[i];
        EXPECT_EQ(r.seq, i + 1);
        EXPECT_EQ(r.result, 0u);
        ASSERT_TRUE(r.argument2.has_value());
        EXPECT_TRUE(seen.insert(*r.argument2).second) << "logged twice: " << *r.argument2;
        // Each process's commands appear in the order it sent them.
        if (r.argument == 0x4000) {
            EXPECT_EQ(*r.argument2,
                      static_cast<std::int64_t>(tagA | static_cast<std::uint32_t>(nextA++)));
        } else {
            EXPECT_EQ(r.argument, 0x4020);
            EXPECT_EQ(*r.argument2,
                      static_cast<std::int64_t>(tagB | static_cast<std::uint32_t>(nextB++)));
        }
    }
    EXPECT_EQ(nextA, kCommandsPerProcess);
    EXPECT_EQ(nextB, kCommandsPerProcess);

    // The last write of each process is what the card holds; the driver
    // counted every command (it counts while a limit is set).
    std::map<std::string, std::uint32_t> registers = mac.registers(driver);
    EXPECT_EQ(registers.at("0x4000"), tagA | (kCommandsPerProcess - 1));
    EXPECT_EQ(registers.at("0x4020"), tagB | (kCommandsPerProcess - 1));
    std::string error;
    std::shared_ptr<const host::Machine> machine = host::currentMachine(&error);
    ASSERT_TRUE(machine) << error;
    EXPECT_EQ(machine->find(driver)->driver.acceptedCommands, 2 * kCommandsPerProcess);
}

}  // namespace
