// driver.jsonl as the hardware's journal and machine.plist as its
// checkpoint: what a command writes, what the machine is between
// checkpoints, and how lines that are not whole records are taken.

#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "host/SimMac.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

const std::string kATIDriver = driverPath("ATY,R350");
constexpr std::uint32_t kStartPLL = 0x00A9970C;

class Journal : public ::testing::Test {
protected:
    void SetUp() override {
        mac.writeMachine(machine({cardEntry(
            "ATY,R350", 0x1002, driverEntry("ATI", {{"PLL", kStartPLL}, {"0xF8", 7}}))}));
        ati = matching(kDriverName).at(0);
    }

    std::filesystem::path checkpointPath() const { return mac.root() / "machine.plist"; }
    std::filesystem::path journalPath() const { return mac.root() / "Library/Logs/driver.jsonl"; }

    // The PLL word as every program reads it now, and as the checkpoint alone holds it.
    std::uint32_t pll() const { return mac.registers(kATIDriver).at("PLL"); }
    std::uint32_t checkpointPLL() const {
        std::string error;
        std::optional<host::Machine> machine = host::loadMachineFile(checkpointPath(), &error);
        EXPECT_TRUE(machine) << error;
        return machine ? machine->find(kATIDriver)->hardware->read("PLL") : 0;
    }
    std::optional<host::CheckpointMark> mark() const {
        std::string error;
        std::optional<cf::Value> plist =
            cf::readPropertyListFile(checkpointPath().string(), &error);
        std::optional<host::CheckpointMark> mark;
        EXPECT_TRUE(plist && host::machineFromPropertyList(*plist, &error, &mark)) << error;
        return mark;
    }
    IOReturn send(std::int64_t code, std::int64_t argument) {
        return testsupport::send(ati, code, argument);
    }
    void appendToJournal(const std::string& bytes) const {
        writeFile(journalPath(), readFile(journalPath()) + bytes);
    }

    TempSimMac mac;
    io_object_t ati = 0;
};

TEST_F(Journal, ACommandAppendsItsRecordAndLeavesTheCheckpointAlone) {
    ASSERT_EQ(send(0, 0), kIOReturnSuccess);  // stamps the hand-written file as a checkpoint
    EXPECT_EQ(mark(), (host::CheckpointMark{0, 0}));
    const std::string checkpoint = readFile(checkpointPath());

    ASSERT_EQ(send(2, 0x5AAB960B), kIOReturnSuccess);  // bits above the dividers are dropped
    ASSERT_EQ(send(1, 0xF8), kIOReturnSuccess);
    EXPECT_EQ(readFile(checkpointPath()), checkpoint);
    EXPECT_EQ(pll(), 0x00AB960Bu);
    EXPECT_EQ(checkpointPLL(), kStartPLL);

    // A write's record names the register and what it holds; a read's is
    // the command alone.
    const std::string journal = readFile(journalPath());
    EXPECT_CONTAINS(
        journal, R"("result": 0, "regValue": null, "register": "PLL", "registerValue": 11245067})");
    EXPECT_CONTAINS(journal, R"("regValue": 7})");

    // A checkpoint takes in everything logged, and names the last record.
    std::string error;
    ASSERT_TRUE(host::checkpointMachine(&error)) << error;
    EXPECT_EQ(checkpointPLL(), 0x00AB960Bu);
    EXPECT_EQ(mark(), (host::CheckpointMark{3, journal.size()}));
    EXPECT_EQ(pll(), 0x00AB960Bu);
}

TEST_F(Journal, TheCheckpointIsRewrittenOnceTheJournalPassesItsBound) {
    ASSERT_EQ(send(2, 0x00AB960B), kIOReturnSuccess);
    for (std::uint64_t seq = 2; seq < host::kCheckpointEvery; ++seq)
        ASSERT_EQ(send(0, 0), kIOReturnSuccess);
    EXPECT_EQ(mark()->seq, 0u);
    ASSERT_EQ(send(0, 0), kIOReturnSuccess);
    const std::uint64_t length = readFile(journalPath()).size();
    EXPECT_EQ(mark(), (host::CheckpointMark{host::kCheckpointEvery, length}));
    EXPECT_EQ(checkpointPLL(), 0x00AB960Bu);
}

TEST_F(Journal, OnlyAnAcceptedReadLeavesAnAnswer) {
    ASSERT_EQ(send(0, 0), kIOReturnSuccess);
    EXPECT_EQ(regValue(ati), kStartPLL);
    ASSERT_EQ(send(2, 0x00AB960B), kIOReturnSuccess);
    EXPECT_EQ(regValue(ati), std::nullopt);  // a write answers nothing
    ASSERT_EQ(send(0, 0), kIOReturnSuccess);
    ASSERT_EQ(regValue(ati), 0x00AB960Bu);

    // A driver that stays busy: the wait times out and the sender finds no
    // answer, not the one before.
    std::string error;
    ASSERT_TRUE(host::updateMachine(
        [](host::Machine& machine) {
            machine.find(kATIDriver)->driver.busyMilliseconds = 1000;
            return true;
        },
        &error))
        << error;
    const mach_timespec_t oneMillisecond{0, 1000000};
    EXPECT_EQ(IOServiceWaitQuiet(ati, &oneMillisecond), kIOReturnTimeout);
    EXPECT_EQ(regValue(ati), std::nullopt);
}

TEST_F(Journal, AMachineFileWrittenByHandIsTheMachineAsItStands) {
    ASSERT_EQ(send(2, 0x00AB960B), kIOReturnSuccess);
    ASSERT_EQ(pll(), 0x00AB960Bu);
    // Written without a mark: the journal's records so far are taken to be
    // in it, so the write above is not replayed onto it.
    mac.writeMachine(
        machine({cardEntry("ATY,R350", 0x1002, driverEntry("ATI", {{"PLL", 0x00A0A00A}}))}));
    EXPECT_EQ(pll(), 0x00A0A00Au);
    ASSERT_EQ(send(0, 0), kIOReturnSuccess);
    EXPECT_EQ(regValue(ati), 0x00A0A00Au);
    EXPECT_EQ(mark()->seq, 1u);
    EXPECT_EQ(mac.driverLog().back().seq, 2u);
}

TEST_F(Journal, ATornLastLineIsNoPartOfTheMachineUntilMended) {
    ASSERT_EQ(send(2, 0x00AB960B), kIOReturnSuccess);
    host::DriverLogRecord torn = mac.driverLog().back();
    torn.seq = 2;
    torn.argument = 0x00AC960B;
    torn.registerValue = 0x00AC960B;
    const std::string line = host::formatDriverLogLine(torn);

    // Cut inside the line: never part of it, and cut off by the next command.
    appendToJournal(line.substr(0, line.size() / 2));
    EXPECT_EQ(pll(), 0x00AB960Bu);
    ASSERT_EQ(send(1, 0xF8), kIOReturnSuccess);
    EXPECT_EQ(pll(), 0x00AB960Bu);
    EXPECT_EQ(mac.driverLog().back().seq, 2u);

    // Whole but for its newline: not part of it until the next command
    // finishes the line.
    torn.seq = 3;
    appendToJournal(host::formatDriverLogLine(torn));
    EXPECT_EQ(pll(), 0x00AB960Bu);
    ASSERT_EQ(send(1, 0xF8), kIOReturnSuccess);
    EXPECT_EQ(pll(), 0x00AC960Bu);
    EXPECT_EQ(mac.driverLog().back().seq, 4u);
}

TEST_F(Journal, ALineThatIsNoRecordIsSkippedAndReported) {
    ASSERT_EQ(send(2, 0x00AB960B), kIOReturnSuccess);
    appendToJournal("{\"seq\": 2, \"driver\": \"x\"}\n");
    ASSERT_EQ(send(2, 0x00AC960B), kIOReturnSuccess);
    EXPECT_EQ(pll(), 0x00AC960Bu);
    EXPECT_CONTAINS(mac.systemLog(), "driver.jsonl:2: not a driver log record");
    std::string error;
    EXPECT_EQ(host::readDriverLog(journalPath().string(), &error).size(), 2u);
    EXPECT_CONTAINS(error, ":2: not a driver log record");
}

// A journal removed while the checkpoint points into it takes the commands
// after the checkpoint with it: the machine is refused, nothing is
// re-created, until it is started over from the checkpoint (as simmac init
// does); the seq goes on.
TEST_F(Journal, WithoutItsJournalTheMachineIsRefusedUntilStartedOverAndSeqGoesOn) {
    ASSERT_EQ(send(2, 0x00AB960B), kIOReturnSuccess);
    std::string error;
    ASSERT_TRUE(host::checkpointMachine(&error)) << error;
    ASSERT_EQ(send(2, 0x00AC960B), kIOReturnSuccess);
    std::filesystem::remove(journalPath());
    EXPECT_FALSE(host::currentMachine(&error));
    EXPECT_NE(error.find("driver.jsonl is missing"), std::string::npos) << error;
    EXPECT_EQ(send(0, 0), kIOReturnError);
    EXPECT_FALSE(std::filesystem::exists(journalPath()));

    std::optional<host::Machine> checkpoint = host::loadMachineFile(checkpointPath(), &error);
    ASSERT_TRUE(checkpoint && host::replaceMachine(*checkpoint, &error)) << error;
    EXPECT_EQ(pll(), 0x00AB960Bu);
    ASSERT_EQ(send(0, 0), kIOReturnSuccess);
    EXPECT_EQ(mac.driverLog().back().seq, 2u);  // after the checkpoint's seq 1
}

// Records keep their first fields for every reader and may carry more; the
// fields replay needs must be well formed, or the line is not a record.
TEST(JournalRecord, UnknownFieldsAreIgnoredAndEffectsMustBeWhole) {
    const std::string head =
        R"({"seq": 5, "driver": "a/b", "command": 12, "name": "WriteNVIDIARegister", )"
        R"("argument": 16384, "argument2": 7, "result": 0, "regValue": null)";
    const struct {
        const char* label;
        std::string line;
        bool record;
    } cases[] = {
        {"today's fields", head + "}", true},
        {"an effect", head + R"(, "register": "0x4000", "registerValue": 7, "busyUntil": 9})",
         true},
        {"unknown fields of any type", head + R"(, "note": {"a": [1, 2]}, "x": 1.5, "y": true})",
         true},
        {"a register without its value", head + R"(, "register": "0x4000"})", false},
        {"a value too wide", head + R"(, "register": "0x4000", "registerValue": 4294967296})",
         false},
        {"a count as text", head + R"(, "acceptedCommands": "3"})", false},
        {"no result", R"({"seq": 5, "driver": "a/b", "command": 12, "name": "X"})", false},
        {"two objects", head + "} " + head + "}", false},
        {"not JSON", "seq 5", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::optional<host::DriverLogRecord> record = host::parseDriverLogLine(c.line);
        EXPECT_EQ(record.has_value(), c.record);
        // The journal reads them alike, whole lines at a time.
        std::string problems;
        std::vector<host::DriverLogRecord> records = host::parseDriverLogLines(
            head + "}\n" + c.line + "\n" + head + "}\n", "j", 1, &problems);
        EXPECT_EQ(records.size(), c.record ? 3u : 2u);
        EXPECT_EQ(problems.empty(), c.record) << problems;
        if (record && c.line.find("registerValue") != std::string::npos) {
            EXPECT_EQ(record->registerKey, "0x4000");
            EXPECT_EQ(record->registerValue, 7u);
            EXPECT_EQ(host::formatDriverLogLine(*record).rfind(head, 0), 0u);
        }
    }
}

// The journal's seq is a signed 64-bit number to its readers. A journal
// whose last record has the last one is kept as driver.jsonl.old and a new
// one begins, with a checkpoint of everything the old one held.
TEST_F(Journal, ARecordWithTheLastSeqIsFollowedByANewJournal) {
    ASSERT_EQ(send(0, 0), kIOReturnSuccess);
    host::DriverLogRecord planted;
    planted.seq = host::kLastDriverLogSeq - 1;
    planted.driver = kATIDriver;
    planted.name = "ReadATIPLL";
    appendToJournal(host::formatDriverLogLine(planted) + "\n");

    ASSERT_EQ(send(2, 0x00AB960B), kIOReturnSuccess);
    EXPECT_EQ(mac.driverLog().back().seq, host::kLastDriverLogSeq);
    ASSERT_EQ(send(1, 0xF8), kIOReturnSuccess);
    ASSERT_EQ(send(0, 0), kIOReturnSuccess);

    std::vector<std::uint64_t> seqs;
    for (const host::DriverLogRecord& record : mac.driverLog()) seqs.push_back(record.seq);
    EXPECT_EQ(seqs, (std::vector<std::uint64_t>{1, 2}));
    std::string error;
    const std::vector<host::DriverLogRecord> old =
        host::readDriverLog(journalPath().string() + ".old", &error);
    ASSERT_EQ(old.size(), 3u) << error;
    EXPECT_EQ(old.back().seq, host::kLastDriverLogSeq);
    EXPECT_EQ(mark(), (host::CheckpointMark{0, 0}));
    // The write before the new journal is in its checkpoint, for every reader.
    EXPECT_EQ(checkpointPLL(), 0x00AB960Bu);
    EXPECT_EQ(pll(), 0x00AB960Bu);
    EXPECT_NE(mac.systemLog().find("reached the last seq, 9223372036854775807"), std::string::npos)
        << mac.systemLog();
}

}  // namespace
