// Sleep and wake of the simulated Mac, and the programs registered for
// power messages: simmac wake powers the cards on, then launches each
// registered program with kIOMessageSystemHasPoweredOn and returns only when
// it has ended; simmac reboot ends the login session and its registrations.

#include <fstream>
#include <sstream>

#include "host/IOPMLib.h"
#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "host/PowerClients.h"
#include "support/Child.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

constexpr std::uint32_t kPowerOn = 12 | 151 << 8 | 169 << 16;

// A machine without limits: the test process sends commands itself.
class SystemPower : public ::testing::Test {
protected:
    void SetUp() override {
        mac.writeMachine(
            machine({cardEntry("ATY,Card", 0x1002, driverEntry("ATI", {{"PLL", kPowerOn}}))}));
        const std::vector<io_object_t> drivers = matching(kDriverName);
        ASSERT_EQ(drivers.size(), 1u);
        driver = drivers[0];
    }
    bool asleepOnFile() const {
        std::string error;
        std::optional<host::Machine> file =
            host::loadMachineFile(mac.root() / "machine.plist", &error);
        EXPECT_TRUE(file) << error;
        return file && file->asleep;
    }
    // Runs the power client as a login item runs: no message pending.
    void registerClient() const {
        EXPECT_EQ(run({HOST_TEST_POWER_CLIENT, output.string()}).status, 0);
    }
    // Registers `program` by hand, into `file` (the registrations' place by default).
    static void registerProgram(const std::filesystem::path& program,
                                const std::filesystem::path& file = host::powerClientsPath()) {
        cf::Dictionary client;
        client.set("Program", program.string());
        cf::Dictionary top;
        top.set("Clients", cf::Array{client});
        std::filesystem::create_directories(file.parent_path());
        std::string error;
        ASSERT_TRUE(cf::writePropertyListFileAtomically(file.string(), top, &error)) << error;
    }
    std::vector<std::string> outputLines() const {
        std::istringstream in(readFile(output));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    TempSimMac mac;
    io_object_t driver = 0;
    std::filesystem::path output = mac.root() / "client.out";
};

// Gone, or a zombie nobody has reaped yet: not running either way.
bool running(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const std::size_t close = line.rfind(')');
    return close != std::string::npos && line.substr(close + 2, 1) != "Z";
}

TEST_F(SystemPower, ASleepingMachineTakesNoCommandAndWakesAtPowerOn) {
    ASSERT_EQ(send(driver, 2, 12 | 160 << 8 | 180 << 16), kIOReturnSuccess);
    ASSERT_EQ(simmac({"sleep"}).status, 0);
    EXPECT_TRUE(asleepOnFile());
    const mach_timespec_t briefly{0, 50'000'000};
    EXPECT_EQ(IOServiceWaitQuiet(driver, &briefly), kIOReturnTimeout);
    EXPECT_EQ(send(driver, 0, 0), kIOReturnTimeout);
    EXPECT_EQ(mac.driverLog().size(), 1u) << "nothing reaches a sleeping machine";
    EXPECT_EQ(simmac({"sleep"}).status, 1) << "asleep already";

    const RunResult wake = simmac({"wake"});
    EXPECT_EQ(wake.status, 0) << wake.output;
    EXPECT_CONTAINS(wake.output, "no program registered");
    EXPECT_FALSE(asleepOnFile());
    EXPECT_EQ(mac.registers(driverPath("ATY,Card")).at("PLL"), kPowerOn);
    EXPECT_EQ(send(driver, 0, 0), kIOReturnSuccess);
    EXPECT_EQ(regValue(driver), kPowerOn);
    EXPECT_EQ(simmac({"wake"}).status, 1) << "not asleep";
}

TEST_F(SystemPower, WakeRunsEachRegisteredProgramToItsEndAndLeavesNothingRunning) {
    registerClient();
    registerClient();
    std::string error;
    const std::optional<std::vector<host::PowerClient>> clients = host::readPowerClients(&error);
    ASSERT_TRUE(clients) << error;
    ASSERT_EQ(clients->size(), 1u) << "registering again changes nothing";
    EXPECT_EQ(clients->front().program,
              std::filesystem::canonical(HOST_TEST_POWER_CLIENT).string());
    EXPECT_EQ(clients->front().arguments, std::vector<std::string>{output.string()});

    for (int wake = 1; wake <= 2; ++wake) {
        SCOPED_TRACE("wake " + std::to_string(wake));
        ASSERT_EQ(simmac({"sleep"}).status, 0);
        const RunResult run = simmac({"wake"});
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_CONTAINS(run.output, "host_test_power_client exited with status 0");
        // Its line is there when simmac wake returns, written after a pause.
        const std::vector<std::string> lines = outputLines();
        ASSERT_EQ(lines.size(), 2u + wake);
        std::istringstream woke(lines.back());
        std::string word, message;
        int pid = 0, helper = 0;
        woke >> word >> message >> pid >> helper;
        EXPECT_EQ(word, "woke");
        EXPECT_EQ(message, "0xE0000300") << "kIOMessageSystemHasPoweredOn";
        EXPECT_FALSE(running(pid));
        EXPECT_FALSE(running(helper)) << "what the program started ends with it";
    }
}

TEST_F(SystemPower, RebootEndsTheLoginSessionsRegistrations) {
    registerClient();
    ASSERT_TRUE(std::filesystem::exists(host::powerClientsPath()));
    ASSERT_EQ(simmac({"reboot"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(host::powerClientsPath()));
    ASSERT_EQ(simmac({"sleep"}).status, 0);
    const RunResult wake = simmac({"wake"});
    EXPECT_CONTAINS(wake.output, "no program registered");
    EXPECT_EQ(outputLines().size(), 1u) << "only its registration";
}

// A client that leaves a process in a session of its own holding simmac's
// output: wake waits for the client alone (simmac's output is read to its
// end here, as $(simmac wake) reads it) and ends what the client started.
TEST_F(SystemPower, WakeEndsWhatAClientStartedInASessionOfItsOwn) {
    const std::filesystem::path client = mac.root() / "daemon-client", pid = mac.root() / "pid",
                                survived = mac.root() / "survived";
    writeFile(client,
              "#!/bin/sh\nsetsid sh -c 'echo $$ > \"$0\"; sleep 20; touch \"$1\"' '" +
                  pid.string() + "' '" + survived.string() + "' &\nwhile [ ! -s '" + pid.string() +
                  "' ]; do sleep 0.01; done\n",
              true);
    registerProgram(client);
    ASSERT_EQ(simmac({"sleep"}).status, 0);
    const RunResult wake = simmac({"wake"});
    EXPECT_EQ(wake.status, 0) << wake.output;
    EXPECT_CONTAINS(wake.output, client.string() + " exited with status 0");
    EXPECT_FALSE(std::filesystem::exists(survived)) << "wake waited for the client's daemon";
    EXPECT_FALSE(running(std::stoi(readFile(pid))));
}

// A link in place of the registrations, to a file or to nothing, is refused
// like every file of the simulated Mac: a message, and nothing launched.
TEST_F(SystemPower, WakeRefusesALinkInPlaceOfTheRegistrations) {
    const std::filesystem::path client = mac.root() / "client", ran = mac.root() / "ran",
                                elsewhere = mac.root() / "elsewhere.plist";
    writeFile(client, "#!/bin/sh\ntouch '" + ran.string() + "'\n", true);
    registerProgram(client, elsewhere);
    std::filesystem::create_directories(host::powerClientsPath().parent_path());
    for (const std::filesystem::path& target : {elsewhere, mac.root() / "missing.plist"}) {
        SCOPED_TRACE(target.string());
        std::filesystem::remove(host::powerClientsPath());
        std::filesystem::create_symlink(target, host::powerClientsPath());
        ASSERT_EQ(simmac({"sleep"}).status, 0);
        const RunResult wake = simmac({"wake"});
        EXPECT_EQ(wake.status, 1) << wake.output;
        EXPECT_CONTAINS(wake.output, "PowerClients.plist: not a regular file (a symbolic link)");
        EXPECT_FALSE(std::filesystem::exists(ran));
    }
}

}  // namespace
