// The simmac console, run as a program on a temporary simulated Mac.

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <limits>
#include <sstream>

#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "support/Child.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

struct ProgramRun {
    int status = -1;
    std::string out, err;
};

// simmac with the arguments in `arguments` (split at spaces), stdout and
// stderr apart; under a time limit: a run that waits on a file for good fails.
ProgramRun simmac(const std::string& arguments) {
    std::vector<std::string> argv{"/usr/bin/timeout", "60", tool("simmac")};
    std::istringstream words(arguments);
    for (std::string word; words >> word;) argv.push_back(word);
    const RunResult run = testsupport::run(argv, true);
    return {run.status, run.output, run.errors};
}

class Simmac : public ::testing::Test {
protected:
    // SIMMAC_ROOT names the test's folder, where only init creates a machine.
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(tool("simmac"))) << tool("simmac");
        ASSERT_EQ(simmac("init").status, 0);
    }
    TempSimMac mac;
};

TEST_F(Simmac, ShowPrintsTheDefaultMachineWithPropertiesRegistersAndClocks) {
    ProgramRun run = simmac("show");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(std::filesystem::exists(mac.root() / "machine.plist"));
    for (const char* part : {
             "ATY,R350@10",
             "NVDA,Parent@1",
             "NVDA,Parent@2",
             "\"AAPL,slot-name\" = <534c4f542d3100> \"SLOT-1\"",
             "\"ATY,Rom#\" = <3131332d4131343430332d31303400> \"113-A14403-104\"",
             "\"vendor-id\" = <02100000>\n",  // a number is not shown as text
             "PLL       0x00A9970C",
             "27.000 MHz / 12 x 169 = 380.250 MHz",
             "27.000 MHz / 12 x 151 = 339.750 MHz",
             "27000 kHz x 17 x 7 / (2 x 2) >> 1 = 401.625 MHz",
             "27000 kHz x 9 x 9 / (2 x 1) >> 1 = 546.750 MHz",
             "13500 kHz x 37 / 1 >> 1 = 249.750 MHz",
             "13500 kHz x 89 / 3 >> 1 = 200.250 MHz",
             "faults: none",
         }) {
        EXPECT_CONTAINS(run.out, part);
    }
}

TEST_F(Simmac, ShowGuardsAgainstZeroDividers) {
    mac.writeMachine(machine({
        cardEntry("NVDA,Parent", 0x10DE,
                  driverEntry("NVIDIA", {{"0x101000", 0x400000}, {"0x4004", 0x07001102}})),
        driverEntry("ATI", {{"PLL", 0x00A99700}}),
    }));
    // The NV4x layout is recognised from its registers when the card has no device id.
    ProgramRun run = simmac("show");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_CONTAINS(run.out, "core:   27000 kHz x 17 x 7 / (2 x 0) >> 0 = stopped");
    EXPECT_CONTAINS(run.out, "/ 0 x 169 = stopped");
}

TEST_F(Simmac, CommandSendsOneCommandAndPrintsResultAndRegValue) {
    ProgramRun read = simmac("command SLOT-1 11 0x4004");
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_CONTAINS(read.out, "result 0x00000000 (kIOReturnSuccess)");
    EXPECT_CONTAINS(read.out, "RegValue: 0x07021102");

    ProgramRun write = simmac("command SLOT-2 12 0x680500 0x12601");
    EXPECT_EQ(write.status, 0) << write.err;
    EXPECT_EQ(mac.registers(driverPath("pci@f2000000/NVDA,Parent@2")).at("0x680500"), 0x12601u);

    ProgramRun zero = simmac("command ATY 2 0");
    EXPECT_EQ(zero.status, 2);
    EXPECT_CONTAINS(zero.out, "kIOReturnBadArgument");
    ProgramRun vendor = simmac("command SLOT-2 0 0");
    EXPECT_EQ(vendor.status, 2);
    EXPECT_CONTAINS(vendor.out, "kIOReturnUnsupported");

    std::vector<host::DriverLogRecord> log = mac.driverLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].regValue, 0x07021102u);
    EXPECT_EQ(log[2].result, static_cast<std::uint32_t>(kIOReturnBadArgument));

    ProgramRun ambiguous = simmac("command NVDA,Parent 11 0x4000");
    EXPECT_EQ(ambiguous.status, 1);
    EXPECT_CONTAINS(ambiguous.err, "more than one");
    ProgramRun badNumber = simmac("command ATY 0 zero");
    EXPECT_EQ(badNumber.status, 1);
    EXPECT_EQ(mac.driverLog().size(), 4u);
}

TEST_F(Simmac, FaultsMakeCommandsTimeOutOrBeRefused) {
    ASSERT_EQ(simmac("fault ATY --busy 1000").status, 0);
    ProgramRun stuck = simmac("command ATY 0 0");
    EXPECT_EQ(stuck.status, 2);
    EXPECT_CONTAINS(stuck.out, "kIOReturnTimeout");
    EXPECT_TRUE(mac.driverLog().empty()) << "a command that timed out never reaches the driver";

    ASSERT_EQ(simmac("fault ATY --clear --refuse 0,1").status, 0);
    ProgramRun show = simmac("show");
    EXPECT_CONTAINS(show.out, "always refuses 0, 1");
    ProgramRun refused = simmac("command ATY 0 0");
    EXPECT_EQ(refused.status, 2);
    EXPECT_CONTAINS(refused.out, "kIOReturnNotPermitted");

    ASSERT_EQ(simmac("fault ATY --clear --refuse-after 1").status, 0);
    EXPECT_EQ(simmac("command ATY 0 0").status, 0);
    EXPECT_EQ(simmac("command ATY 0 0").status, 2);

    ASSERT_EQ(simmac("fault ATY --clear").status, 0);
    EXPECT_EQ(simmac("command ATY 0 0").status, 0);
    EXPECT_CONTAINS(simmac("fault ATY").out, "no faults");
    EXPECT_EQ(simmac("fault nothing-like-this --busy 5").status, 1);
}

// Faults only within their ranges: a refused value changes nothing.
TEST_F(Simmac, FaultValuesOutsideTheirRangesAreRefused) {
    ASSERT_EQ(simmac("checkpoint").status, 0);
    const struct {
        const char* arguments;
        int status;
        const char* message;
    } cases[] = {
        {"--busy 86400000", 0, ""},
        {"--busy 86400001", 1, "--busy takes 0 to 86400000 ms"},
        {"--busy 9223372036854775000", 1, "--busy takes 0 to 86400000 ms"},
        {"--refuse-after 2147483647", 0, ""},
        {"--refuse-after 2147483648", 1, "--refuse-after takes 0 to 2147483647"},
        {"--refuse 0,255", 0, ""},
        {"--refuse 2,256", 1, "--refuse takes command codes 0 to 255, not 256"},
        {"--refuse 9999999999", 1, "not 9999999999"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const std::string before = readFile(mac.root() / "machine.plist");
        ProgramRun run = simmac(std::string("fault ATY --clear ") + c.arguments);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.status == 0) continue;
        EXPECT_CONTAINS(run.err, c.message);
        EXPECT_EQ(readFile(mac.root() / "machine.plist"), before);
    }
}

// A busy time as long as a machine file can hold: the deadline stays the
// last moment there is rather than wrapping to a negative time that the
// machine's reader would refuse.
TEST_F(Simmac, ABusyTimeAtTheLimitEndsAtTheLastMomentThereIs) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    mac.writeMachine(machine({cardEntry(
        "ATY,R350", 0x1002,
        driverEntry("ATI", {{"PLL", 0x00A9970C}}, driverFaults({.busyMilliseconds = kMax})))}));
    // Sent without waiting: simmac waits for a quiet driver, and one busy
    // this long never is.
    ASSERT_EQ(send(matching(kDriverName).at(0), 2, 0x00AB960B), kIOReturnSuccess);
    ASSERT_FALSE(mac.driverLog().empty());
    EXPECT_EQ(mac.driverLog().back().busyUntil, kMax);
    ProgramRun waits = simmac("command ATY 0 0");
    EXPECT_EQ(waits.status, 2);
    EXPECT_CONTAINS(waits.out, "kIOReturnTimeout");
    ProgramRun checkpoint = simmac("checkpoint");
    EXPECT_EQ(checkpoint.status, 0) << checkpoint.err;
    ProgramRun show = simmac("show");
    EXPECT_EQ(show.status, 0) << show.err;
}

TEST_F(Simmac, RebootPutsEveryCardBackToPowerOn) {
    ASSERT_EQ(simmac("command ATY 2 0x00AB960B").status, 0);
    ASSERT_EQ(simmac("command SLOT-1 12 0x4004 0x07021103").status, 0);
    ASSERT_EQ(simmac("command SLOT-1 11 0x4004").status, 0);
    const std::string ati = driverPath("pci@f0000000/ATY,R350@10"),
                      nv = driverPath("pci@f2000000/NVDA,Parent@1");
    EXPECT_EQ(mac.registers(ati).at("PLL"), 0x00AB960Bu);
    EXPECT_CONTAINS(simmac("show").out, "(power-on 0x00A9970C)");

    ProgramRun reboot = simmac("reboot");
    EXPECT_EQ(reboot.status, 0) << reboot.err;
    EXPECT_EQ(mac.registers(ati).at("PLL"), 0x00A9970Cu);
    EXPECT_EQ(mac.registers(nv).at("0x4004"), 0x07021102u);
    EXPECT_CONTAINS(simmac("command SLOT-1 11 0x4000").out, "RegValue: 0x80010000");
}

// Each run is a program of its own: it finds the machine by replaying the
// journal after the checkpoint, and `checkpoint` puts the machine as it is
// into machine.plist for anyone reading the file.
TEST_F(Simmac, EveryRunReadsTheJournalAndCheckpointWritesItDown) {
    ASSERT_EQ(simmac("command ATY 2 0x00AB960B").status, 0);
    ASSERT_EQ(simmac("command SLOT-2 12 0x680500 0x12601").status, 0);
    const std::string before = readFile(mac.root() / "machine.plist");
    ProgramRun show = simmac("show");
    EXPECT_CONTAINS(show.out, "PLL       0x00AB960B  (power-on 0x00A9970C)");
    EXPECT_CONTAINS(show.out, "0x680500  0x00012601  (power-on 0x00012501)");
    EXPECT_EQ(readFile(mac.root() / "machine.plist"), before);

    ProgramRun checkpoint = simmac("checkpoint");
    EXPECT_EQ(checkpoint.status, 0) << checkpoint.err;
    std::string error;
    std::optional<host::Machine> file = host::loadMachineFile(mac.root() / "machine.plist", &error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->find(driverPath("pci@f0000000/ATY,R350@10"))->hardware->read("PLL"),
              0x00AB960Bu);
    EXPECT_EQ(simmac("show").out, show.out);
}

TEST_F(Simmac, TraceShowsEachCommandReadably) {
    EXPECT_CONTAINS(simmac("trace").out, "no command");
    simmac("command SLOT-1 11 0x4004");
    simmac("command ATY 2 0x00A99700");
    ProgramRun trace = simmac("trace");
    EXPECT_EQ(trace.status, 0);
    EXPECT_EQ(trace.err, "");  // a journal never rotated has no driver.jsonl.old to miss
    EXPECT_CONTAINS(trace.out, "ReadNVIDIARegister(11)");
    EXPECT_CONTAINS(trace.out, "accepted, RegValue 0x07021102");
    EXPECT_CONTAINS(trace.out, "WriteATIPLL(2)");
    EXPECT_CONTAINS(trace.out, "refused 0xE00002C2 (kIOReturnBadArgument)");
    EXPECT_LACKS(simmac("trace --last 1").out, "ReadNVIDIARegister");
}

TEST_F(Simmac, TraceOfAJournalThatIsNotAFileFailsWithoutWaiting) {
    std::filesystem::create_directories(mac.root() / "Library/Logs");
    ASSERT_EQ(::mkfifo((mac.root() / "Library/Logs/driver.jsonl").c_str(), 0644), 0);
    ProgramRun trace = simmac("trace");  // a reader that waited would wait for good
    EXPECT_EQ(trace.status, 1);
    EXPECT_CONTAINS(trace.err, "driver.jsonl: not a regular file (a FIFO)");
    EXPECT_LACKS(trace.out, "no command");
}

TEST_F(Simmac, InitFromPresetsAndCheckedFiles) {
    ASSERT_EQ(simmac("init --preset nvidia-only").status, 0);
    ProgramRun show = simmac("show");
    EXPECT_LACKS(show.out, "ATY,");
    EXPECT_CONTAINS(show.out, "SLOT-2");
    const std::string before = readFile(mac.root() / "machine.plist");

    ProgramRun unknown = simmac("init --preset no-such");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_CONTAINS(unknown.err, "default");
    EXPECT_EQ(readFile(mac.root() / "machine.plist"), before);

    std::filesystem::path bad = mac.root() / "bad.plist";
    std::string error;
    ASSERT_TRUE(cf::writePropertyListFileAtomically(
        bad.string(), machine({entry("a", {}), entry("a", {})}), &error));
    ProgramRun refused = simmac("init --from " + bad.string());
    EXPECT_EQ(refused.status, 1);
    EXPECT_CONTAINS(refused.err, "entry \"a\", key \"Name\"");
    EXPECT_EQ(readFile(mac.root() / "machine.plist"), before);

    std::filesystem::path good = mac.root() / "good.plist";
    ASSERT_TRUE(cf::writePropertyListFileAtomically(
        good.string(),
        machine({cardEntry("ATY,Solo", 0x1002, driverEntry("ATI", {{"PLL", 0x10101}}))}), &error));
    ASSERT_EQ(simmac("init --from " + good.string()).status, 0);
    EXPECT_EQ(matching(kDriverName).size(), 1u);
}

TEST_F(Simmac, EverySubcommandRefusesABadMachineFileAndLeavesIt) {
    mac.writeMachine(
        machine({entry("pci", {},
                       {cardEntry("ATY,R350", 0x1002, driverEntry("ATI", {{"PLL", 0x00A9970C}})),
                        entry("ATY,R350", {})})}));
    const std::string before = readFile(mac.root() / "machine.plist");
    for (const char* arguments :
         {"show", "reboot", "checkpoint", "fault ATY --busy 10", "command ATY 0 0"}) {
        SCOPED_TRACE(arguments);
        ProgramRun run = simmac(arguments);
        EXPECT_NE(run.status, 0);
        EXPECT_CONTAINS(run.err, "entry \"pci/ATY,R350\", key \"Name\"");
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one message: " << run.err;
        EXPECT_EQ(readFile(mac.root() / "machine.plist"), before);
    }
    EXPECT_TRUE(mac.driverLog().empty());
}

}  // namespace

namespace {

// The machine's files after `edit` has its way with them, read back.
struct MachineFiles {
    std::optional<std::string> checkpoint, journal;

    static std::optional<std::string> of(const std::filesystem::path& path) {
        if (!std::filesystem::exists(path)) return std::nullopt;
        return testsupport::readFile(path);
    }
    static MachineFiles at(const std::filesystem::path& root) {
        return {of(root / "machine.plist"), of(root / "Library/Logs/driver.jsonl")};
    }
    bool operator==(const MachineFiles&) const = default;
};

// machine.plist with its mark set to `seq` and `offset`.
void remark(const std::filesystem::path& root, std::uint64_t seq, std::uint64_t offset) {
    std::string error;
    const std::optional<host::Machine> machine =
        host::loadMachineFile(root / "machine.plist", &error);
    ASSERT_TRUE(machine) << error;
    testsupport::writeFile(root / "machine.plist",
                           cf::toXMLPropertyList(host::machineToPropertyList(
                               *machine, host::CheckpointMark{seq, offset})));
}

}  // namespace

// A journal that no longer holds what machine.plist was checkpointed from,
// or a journal without its machine.plist, is the machine's state rolled
// back: every run is refused with a message saying so and how to start
// over, nothing is re-created, and `simmac init` starts the machine over.
TEST_F(Simmac, ARolledBackMachineIsRefusedUntilInitStartsItOver) {
    const std::filesystem::path journal = mac.root() / "Library/Logs/driver.jsonl";
    const struct {
        const char* label;
        std::function<void()> rollBack;
        const char* says;
    } cases[] = {
        {"journal removed", [&] { std::filesystem::remove(journal); }, "driver.jsonl is missing"},
        {"journal emptied", [&] { testsupport::writeFile(journal, ""); }, "holds 0 bytes"},
        {"journal cut short of the checkpoint",
         [&] { std::filesystem::resize_file(journal, std::filesystem::file_size(journal) / 3); },
         "holds "},
        {"checkpoint's seq past the journal",
         [&] { remark(mac.root(), 40, std::filesystem::file_size(journal)); },
         "has no record 40 ending there"},
        {"checkpoint taken before a journal that begins earlier",
         [&] { remark(mac.root(), 40, 0); }, "past the journal"},
        {"machine.plist removed beside its journal",
         [&] { std::filesystem::remove(mac.root() / "machine.plist"); },
         "machine.plist is missing, but its journal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(simmac("init").status, 0);
        ASSERT_EQ(simmac("command ATY 2 0x00AB960B").status, 0);
        ASSERT_EQ(simmac("checkpoint").status, 0);
        ASSERT_EQ(simmac("command ATY 2 0x00AC960B").status, 0);
        c.rollBack();
        const MachineFiles rolledBack = MachineFiles::at(mac.root());

        for (const char* run : {"show", "command ATY 0 0", "reboot", "checkpoint"}) {
            ProgramRun refused = simmac(run);
            EXPECT_EQ(refused.status, 1) << run;
            EXPECT_CONTAINS(refused.err, c.says);
            EXPECT_CONTAINS(refused.err, "simmac init starts the machine over");
        }
        EXPECT_EQ(MachineFiles::at(mac.root()), rolledBack) << "nothing re-created or written";

        ASSERT_EQ(simmac("init").status, 0);
        EXPECT_CONTAINS(simmac("show").out, "27.000 MHz / 12 x 169 = 380.250 MHz");
        EXPECT_EQ(simmac("command ATY 0 0").status, 0);
    }
}

// The journal passes its size: the next command keeps it as
// driver.jsonl.old, begins driver.jsonl with its record and checkpoints the
// machine there; the trace reads on across the two.
TEST_F(Simmac, TheJournalRotatesAtItsSizeAndTheTraceReadsAcross) {
    ASSERT_EQ(simmac("command ATY 2 0x00AB960B").status, 0);
    ASSERT_EQ(simmac("checkpoint").status, 0);
    const std::filesystem::path journal = mac.root() / "Library/Logs/driver.jsonl";
    std::vector<host::DriverLogRecord> log = mac.driverLog();
    ASSERT_EQ(log.size(), 1u);
    host::DriverLogRecord read = log.front();
    read.command = 0;
    read.name = "ReadATIPLL";
    read.registerKey.reset();
    read.registerValue.reset();
    std::string bytes = testsupport::readFile(journal);
    while (bytes.size() < host::kDriverLogRotateBytes) {
        ++read.seq;
        bytes += host::formatDriverLogLine(read) + "\n";
    }
    testsupport::writeFile(journal, bytes);
    const std::uint64_t lastOld = read.seq;
    remark(mac.root(), lastOld, bytes.size());  // as the checkpoints on the way would

    ASSERT_EQ(simmac("command SLOT-1 11 0x4004").status, 0);
    EXPECT_EQ(testsupport::readFile(journal.string() + ".old"), bytes);
    log = mac.driverLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log.front().seq, lastOld + 1);
    std::string error;
    std::optional<cf::Value> plist =
        cf::readPropertyListFile((mac.root() / "machine.plist").string(), &error);
    std::optional<host::CheckpointMark> mark;
    ASSERT_TRUE(plist && host::machineFromPropertyList(*plist, &error, &mark)) << error;
    EXPECT_EQ(mark, (host::CheckpointMark{lastOld + 1, testsupport::readFile(journal).size()}));

    const ProgramRun last = simmac("trace --last 2");
    EXPECT_CONTAINS(last.out, std::to_string(lastOld) + "  ReadATIPLL(0)");
    EXPECT_CONTAINS(last.out, std::to_string(lastOld + 1) + "  ReadNVIDIARegister(11)");
    const std::string whole = simmac("trace").out;
    EXPECT_EQ(std::count(whole.begin(), whole.end(), '\n'), static_cast<long>(lastOld + 1));
    EXPECT_CONTAINS(simmac("show").out, "27.000 MHz / 11 x 171");
}
