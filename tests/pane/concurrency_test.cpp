// The startup tool (the real TarnwickStartup of the built bundle, as a child
// process) and the pane (loaded as prefhost loads it, offscreen) working on
// the same simulated Mac at the same time, round after round: both restore
// the saved clocks of an ATI card (gradually, one divider unit per command)
// and an NVIDIA card, the pane also steps the ATI card and quits, and both
// write the saved settings. Meanwhile machine.plist must parse whenever it is
// read; afterwards the driver log numbers every command once (seq counts up
// by one across all rounds), holds each program's reads once (counted from
// each program alone), and each card's registers equal the last accepted
// write the log shows for them.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "host/Machine.h"
#include "support/OpenPane.h"

using namespace testsupport;

namespace {

constexpr int kRounds = 20;
const std::string kATIDriver = driverPath("ATY,Card");
const std::string kNVIDIADriver = driverPath("NVDA,Card");

// The ATI driver stays busy a few milliseconds after every write, as a card
// settling on new dividers does, so that a program's gradual steps take as
// long as on hardware: on a driver that answers in microseconds, one program
// is done before the other has opened, and the two never meet.
constexpr int kATIBusyMilliseconds = 4;

cf::Value machineFile() {
    return machine({atiEntry({.faults = driverFaults({.busyMilliseconds = kATIBusyMilliseconds})}),
                    nv4xEntry("NVDA,Card", "SLOT-2")});
}

// Saved clocks: the ATI card 30 to 50 divider units up (as many gradual
// commands), the NVIDIA card somewhere else; its stock clocks are unknown, so
// the startup tool records them and rewrites the domain.
void writeSettings(const std::map<std::string, std::string>& models, int round) {
    const float step = 2.25f;  // MHz per divider unit of the ATI card
    writePaneDomain(
        true, {savedCardEntry("SLOT-1", models.at("SLOT-1"), step * static_cast<float>(130 + round),
                              step * static_cast<float>(150 - round), 225.0f, 225.0f),
               savedCardEntry("SLOT-2", models.at("SLOT-2"), 420.0f + static_cast<float>(round),
                              360.0f - static_cast<float>(round), 0.0f, 0.0f)});
}

// Gradual ATI commands from the power-on dividers (100, 100) to the saved
// ones: both dividers move one unit per command.
int atiStepsFor(int round) { return std::max(30 + round, 50 - round); }

// What one session of the pane does: open (restoring the saved clocks),
// step the first card (the ATI one) up and down once each, quit.
void paneSession() {
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    ASSERT_EQ(pane.table().selectedRow(), 0);
    pane.vpuStepper().click(1);
    pane.memoryStepper().click(-1);
    pane.quit();
}

int runStartupAlone() { return run({startupTool()}).status; }

// The models the card classes give the cards, by slot, as the pane lists them.
std::map<std::string, std::string> modelsBySlot() {
    std::map<std::string, std::string> models;
    OpenPane pane;
    EXPECT_TRUE(pane.loaded());
    for (int row = 0; pane.loaded() && row < pane.table().numberOfRows(); ++row)
        models[pane.table().stringValue(row, 0)] = pane.table().stringValue(row, 1);
    return models;
}

// The log lines of one round, by kind.
struct RoundLog {
    std::vector<host::DriverLogRecord> lines;
    template <class Which>
    int count(Which which) const {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), which));
    }
    int atiWrites() const {
        return count([](const auto& r) { return r.driver == kATIDriver && r.command == 2; });
    }
    // Reads: each program sends the same ones whatever the cards hold. (How
    // many words it writes depends on what the other program did first.)
    int reads() const {
        return count(
            [](const auto& r) { return r.command == 0 || r.command == 1 || r.command == 11; });
    }
};

RoundLog logSince(const TempSimMac& mac, std::size_t from) {
    std::vector<host::DriverLogRecord> log = mac.driverLog();
    RoundLog round;
    if (from < log.size())
        round.lines.assign(log.begin() + static_cast<std::ptrdiff_t>(from), log.end());
    return round;
}

// The round's commands and what the programs said, for a failure message.
std::string describe(const RoundLog& round, const Child& startup, const TempSimMac& mac) {
    std::string text = "\nthe round's log:\n";
    for (const host::DriverLogRecord& r : round.lines) text += host::formatDriverLogLine(r) + "\n";
    text += "the startup tool said:\n" + startup.output() + "\nthe system's log lines:\n";
    std::istringstream log(mac.systemLog());
    for (std::string line; std::getline(log, line);)
        if (line.find("Tarnwick: ") != std::string::npos) text += line + "\n";
    return text;
}

// Both programs stepped the ATI card at the same time: its core divider,
// which both only move up, went down from one write to the next.
bool interleaved(const RoundLog& round) {
    int last = -1;
    for (const host::DriverLogRecord& r : round.lines) {
        if (r.driver != kATIDriver || r.command != 2 || r.result != 0 || !r.argument) continue;
        const int vpuFBDiv = static_cast<int>((*r.argument >> 16) & 0xFF);
        if (vpuFBDiv < last) return true;
        last = vpuFBDiv;
    }
    return false;
}

// Each driver's registers as the round's log leaves them: the power-on
// values, overwritten by every accepted write in log order.
std::map<std::string, std::map<std::string, std::uint32_t>> registersFromLog(
    const std::map<std::string, std::map<std::string, std::uint32_t>>& start,
    const RoundLog& round) {
    auto registers = start;
    for (const host::DriverLogRecord& r : round.lines) {
        if (r.result != 0 || !r.argument) continue;
        if (r.command == 2)
            registers[r.driver]["PLL"] = static_cast<std::uint32_t>(*r.argument) & 0xFFFFFF;
        if (r.command == 12 && r.argument2)
            registers[r.driver][host::registerKey(static_cast<std::uint32_t>(*r.argument))] =
                static_cast<std::uint32_t>(*r.argument2);
    }
    return registers;
}

TEST(Concurrency, StartupToolAndPaneAtOnceLoseNothing) {
    TempSimMac mac;
    mac.writeMachine(machineFile());
    const std::map<std::string, std::map<std::string, std::uint32_t>> powerOn{
        {kATIDriver, mac.registers(kATIDriver)}, {kNVIDIADriver, mac.registers(kNVIDIADriver)}};

    const std::map<std::string, std::string> models = modelsBySlot();
    ASSERT_EQ(models.size(), 2u);

    // Each program alone, first the tool then the pane, and the pane alone on
    // a fresh machine: how many commands each sends.
    mac.writeMachine(machineFile());
    writeSettings(models, 0);
    std::size_t from = mac.commandCount();
    ASSERT_EQ(runStartupAlone(), 0);
    const RoundLog startupAlone = logSince(mac, from);
    from = mac.commandCount();
    paneSession();
    const RoundLog paneAfterStartup = logSince(mac, from);
    mac.writeMachine(machineFile());
    writeSettings(models, 0);
    from = mac.commandCount();
    paneSession();
    const RoundLog paneAlone = logSince(mac, from);
    ASSERT_EQ(startupAlone.atiWrites(), atiStepsFor(0));
    ASSERT_EQ(paneAfterStartup.atiWrites(), 2) << "the two stepper clicks";
    ASSERT_EQ(paneAlone.reads(), paneAfterStartup.reads());

    int overlapping = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        mac.writeMachine(machineFile());
        writeSettings(models, round);
        from = mac.commandCount();

        // Whoever looks at machine.plist meanwhile finds a whole file.
        std::atomic<bool> stop{false};
        std::atomic<int> looks{0}, unreadable{0};
        std::thread watcher([&] {
            const std::string path = (mac.root() / "machine.plist").string();
            while (!stop) {
                std::string error;
                if (!cf::readPropertyListFile(path, &error)) ++unreadable;
                ++looks;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        Child startup({startupTool()});
        const bool started = startup.started();
        paneSession();
        const int status = startup.wait();
        stop = true;
        watcher.join();
        ASSERT_TRUE(started);
        EXPECT_EQ(status, 0) << startup.output();
        EXPECT_EQ(unreadable.load(), 0) << "of " << looks.load() << " reads";

        // machine.plist parses as a machine.
        std::string error;
        std::optional<host::Machine> machine =
            host::loadMachineFile(mac.root() / "machine.plist", &error);
        ASSERT_TRUE(machine.has_value()) << error;

        // Every line parses and the numbers count up one by one across all
        // rounds: no command is numbered twice or skipped.
        std::vector<host::DriverLogRecord> log = mac.driverLog();
        for (std::size_t i = 0; i < log.size(); ++i) ASSERT_EQ(log[i].seq, i + 1);

        // The two programs' reads, each once; no fewer ATI steps than the
        // two programs make one after the other.
        const RoundLog both = logSince(mac, from);
        EXPECT_EQ(both.reads(), startupAlone.reads() + paneAlone.reads())
            << describe(both, startup, mac);
        const int oneAfterTheOther = atiStepsFor(round) + paneAfterStartup.atiWrites();
        EXPECT_GE(both.atiWrites(), oneAfterTheOther) << describe(both, startup, mac);
        if (interleaved(both)) ++overlapping;

        // The cards hold the last accepted write the log shows.
        const auto expected = registersFromLog(powerOn, both);
        EXPECT_EQ(mac.registers(kATIDriver), expected.at(kATIDriver));
        EXPECT_EQ(mac.registers(kNVIDIADriver), expected.at(kNVIDIADriver));

        // The saved settings parse, with an entry per card.
        EXPECT_EQ(savedCards().size(), 2u);
    }
    // In some rounds both programs stepped the ATI card at once, else the
    // rounds tested little.
    EXPECT_GT(overlapping, 0);
    std::printf(
        "%d rounds, %d with both programs stepping the ATI card at once; alone: the tool sends %zu "
        "commands, the pane %zu; %zu commands in all\n",
        kRounds, overlapping, startupAlone.lines.size(), paneAlone.lines.size(),
        mac.commandCount());
}

// A login's startup tool rewrites the settings (it records the NVIDIA card's
// stock clocks) only when they are still what it read: a pane that saved
// while the tool was putting the clocks back (here: "Set at startup" turned
// off) keeps what it saved. The ATI driver's busy time makes the tool's
// restore outlast the pane's session.
TEST(Concurrency, ALoginNeverUndoesWhatAPaneSavedMeanwhile) {
    TempSimMac mac;
    mac.writeMachine(machine({atiEntry({.faults = driverFaults({.busyMilliseconds = 20})}),
                              nv4xEntry("NVDA,Card", "SLOT-2")}));
    writeSettings(modelsBySlot(), 0);
    Child startup({startupTool()});
    ASSERT_TRUE(startup.started());
    // The tool has read the settings once it programs the ATI card.
    while (mac.pllWrites(kATIDriver).empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    {
        OpenPane pane(/*optionKey=*/true);
        ASSERT_TRUE(pane.loaded());
        pane.button("startupCheckbox").performClick();
        pane.quit();
    }
    EXPECT_EQ(startup.wait(), 0) << startup.output();
    EXPECT_FALSE(cf::boolValue(savedSettings().get("Set at Startup")))
        << describe({}, startup, mac);
    EXPECT_CONTAINS(mac.systemLog(),
                    "Tarnwick: the saved settings changed while the saved clocks were applied; "
                    "the newer settings are left as they are");
}

}  // namespace
