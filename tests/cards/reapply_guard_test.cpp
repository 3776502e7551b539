// The guard around reapplying the saved clocks: its record and whose it is,
// and the real startup tool at login and after wake. Clocks that hang the
// machine are sent by the startup tool in a child process.
#include <unistd.h>

#include <csignal>

#include "ReapplyGuard.h"
#include "host/Foundation.h"
#include "host/libproc.h"
#include "support/CardSupport.h"
#include "support/Child.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

const ATIDevice kCard;  // 225 / 225 MHz, 2.25 MHz a divider unit
const std::string kDriver = driverPath(kCard);

void writeSettings(bool setAtStartup, float vpu, float memory) {
    NSUserDefaults::standardUserDefaults().setPersistentDomain(
        savedDomain(setAtStartup,
                    {savedCardEntry("SLOT-1", "ATY,TestCard", vpu, memory, 225.0f, 225.0f)}),
        kTarnwickPrefDomain);
}

// When process `pid` started, in microseconds, as a record holds it.
std::int64_t startOf(pid_t pid) {
    proc_bsdinfo info{};
    EXPECT_EQ(proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, PROC_PIDTBSDINFO_SIZE),
              PROC_PIDTBSDINFO_SIZE);
    return static_cast<std::int64_t>(info.pbi_start_tvsec) * 1'000'000 +
           static_cast<std::int64_t>(info.pbi_start_tvusec);
}
std::int64_t ownStart() { return startOf(::getpid()); }

void writeRecord(const char* domainName, const cf::Value& record) {
    cf::Dictionary domain;
    domain.set(kReapplyInProgressKey, record);
    NSUserDefaults::standardUserDefaults().setPersistentDomain(domain, domainName);
}

cf::Dictionary record(const char* when, std::int64_t pid, std::int64_t start) {
    cf::Dictionary r;
    r.set("When", std::string(when));
    r.set("Process", cf::CFNumberCreate(cf::kCFNumberSInt64Type, pid));
    r.set("Process Start", cf::CFNumberCreate(cf::kCFNumberSInt64Type, start));
    return r;
}

struct RecordCase {
    const char* name;
    std::function<cf::Value()> record;
    std::optional<std::string> unfinished;
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class RecordTest : public ::testing::TestWithParam<RecordCase> {
protected:
    TempSimMac mac;
};

// Only a record whose process has ended tells of a reapply that never
// finished; one still running (the pane's restore while the startup tool
// runs) is no reason to skip.
TEST_P(RecordTest, ARecordTellsOfAnUnfinishedReapplyOnlyWhenItsProcessHasEnded) {
    for (const char* domain : {kStartupToolReapplyDomain, kPaneReapplyDomain}) {
        SCOPED_TRACE(domain);
        writeRecord(domain, GetParam().record());
        EXPECT_EQ(unfinishedReapply(), GetParam().unfinished);
        clearUnfinishedReapplies();
        const std::optional<cf::Dictionary> left =
            NSUserDefaults::standardUserDefaults().persistentDomainForName(domain);
        EXPECT_EQ(left && left->contains(kReapplyInProgressKey), !GetParam().unfinished)
            << "only an unfinished reapply's record is cleared";
        NSUserDefaults::standardUserDefaults().setPersistentDomain({}, domain);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordTest,
    ::testing::Values(
        RecordCase{"Running", [] { return cf::Value(record("at login", ::getpid(), ownStart())); },
                   std::nullopt},
        // The same process id, taken by a later process.
        RecordCase{"Ended",
                   [] { return cf::Value(record("after wake", ::getpid(), ownStart() - 1)); },
                   "after wake"},
        RecordCase{"OfAnotherShape", [] { return cf::Value(std::string("yes")); },
                   "at an unknown time"}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return std::string(info.param.name); });

// The record is written before the first command that programs a card, in
// the program's own domain, and cleared at the end; a reapply that only
// reads the cards leaves none.
TEST(ReapplyGuard, AReapplyIsRecordedFromItsFirstProgrammingCommandInItsProgramsOwnDomain) {
    TempSimMac mac;
    mac.writeMachine(atiMachine({kCard}));
    writeSettings(true, 225.0f, 225.0f);
    const CardList cards = discoverATICards();
    ASSERT_EQ(cards.size(), 1u);
    const auto recordNow = [] {
        const std::optional<cf::Dictionary> domain =
            NSUserDefaults::standardUserDefaults().persistentDomainForName(kPaneReapplyDomain);
        const cf::Value* r = domain ? domain->get(kReapplyInProgressKey) : nullptr;
        const cf::Array* records = r ? r->array() : nullptr;
        return records && records->size() == 1 && records->front().dictionary()
                   ? std::optional<cf::Dictionary>(*records->front().dictionary())
                   : std::nullopt;
    };
    std::optional<cf::Dictionary> beforeWrite, afterWrite;
    EXPECT_EQ(reapplyGuarded(Reapplier::Pane, kReapplyAtPaneOpen,
                             [&] {
                                 ASSERT_TRUE(cards[0]->writePropertiesWithCommand(ReadATIPLL, 0));
                                 beforeWrite = recordNow();
                                 ASSERT_TRUE(
                                     cards[0]->writePropertiesWithCommand(WriteATIPLL, kCard.pll));
                                 afterWrite = recordNow();
                             }),
              ReapplyOutcome::Done);
    EXPECT_FALSE(beforeWrite);
    ASSERT_TRUE(afterWrite);
    EXPECT_EQ(*afterWrite->get("When")->string(), kReapplyAtPaneOpen);
    EXPECT_EQ(afterWrite->get("Process")->number()->int64Value(), ::getpid());
    EXPECT_FALSE(std::filesystem::exists(domainFile(kPaneReapplyDomain)))
        << "a domain that held only the record goes with it";
    EXPECT_FALSE(NSUserDefaults::standardUserDefaults()
                     .persistentDomainForName(kTarnwickPrefDomain)
                     ->contains(kReapplyInProgressKey));
    EXPECT_EQ(mac.pllWrites(), std::vector<std::uint32_t>{kCard.pll});

    // Only reads: no record was ever written.
    const std::filesystem::path startupRecords = domainFile(kStartupToolReapplyDomain);
    EXPECT_EQ(reapplyGuarded(Reapplier::StartupTool, kReapplyAtLogin,
                             [&] { cards[0]->writePropertiesWithCommand(ReadATIPLL, 0); }),
              ReapplyOutcome::Done);
    EXPECT_FALSE(std::filesystem::exists(startupRecords));

    // A record that cannot be written: no card is programmed.
    const std::filesystem::path preferences = mac.root() / "Library/Preferences";
    std::filesystem::remove_all(preferences);
    writeFile(preferences, "not a folder");
    bool sent = true;
    EXPECT_EQ(reapplyGuarded(Reapplier::StartupTool, kReapplyAtLogin,
                             [&] { sent = cards[0]->writePropertiesWithCommand(WriteATIPLL, 1); }),
              ReapplyOutcome::SkippedUnrecorded);
    EXPECT_FALSE(sent);
    EXPECT_EQ(mac.pllWrites({}, 0, false).size(), 1u) << "only the first write";
    EXPECT_CONTAINS(mac.systemLog(),
                    "Tarnwick: the saved clocks are not applied at login: the "
                    "record that guards against clocks that hang the machine "
                    "cannot be written");
    std::filesystem::remove(preferences);

    // An unfinished one keeps the next from running.
    writeRecord(kStartupToolReapplyDomain, record(kReapplyAtLogin, ::getpid(), ownStart() - 1));
    bool ran = false;
    EXPECT_EQ(reapplyGuarded(Reapplier::Pane, kReapplyAtPaneOpen, [&] { ran = true; }),
              ReapplyOutcome::SkippedUnfinished);
    EXPECT_FALSE(ran);
    EXPECT_CONTAINS(mac.systemLog(),
                    "Tarnwick: the saved clocks are not applied when the pane "
                    "opened: applying them at login never finished");
}

TEST(StartupGuard, ALoginThatHungLeavesTheRecordAndTheNextLoginChangesNothing) {
    TempSimMac mac;
    // The card, holding 240 MHz core and memory.
    mac.writeMachine(atiMachine({{.limits = std::pair(240.0, 240.0)}}));
    writeSettings(true, 247.5f, 225.0f);  // core divider 100 -> 110, above 240 MHz from 102
    EXPECT_EQ(run({startupTool()}).status, 128 + SIGKILL);
    EXPECT_EQ(unfinishedReapply(), kReapplyAtLogin);
    ASSERT_EQ(simmac({"reboot"}).status, 0);

    const std::filesystem::path settings = domainFile(kTarnwickPrefDomain);
    const std::string before = readFile(settings);
    const std::size_t commands = mac.commandCount();
    EXPECT_EQ(run({startupTool()}).status, 0);
    EXPECT_EQ(mac.commandCount(), commands) << "no card is even created";
    EXPECT_EQ(readFile(settings), before);
    EXPECT_CONTAINS(mac.systemLog(),
                    "Tarnwick: the saved clocks are not applied at login: applying "
                    "them at login never finished");
    EXPECT_EQ(unfinishedReapply(), kReapplyAtLogin) << "only the pane clears it";
}

// The startup tool registers for wake at login; simmac wake launches it.
class WakeTest : public ::testing::TestWithParam<bool> {};

TEST_P(WakeTest, AfterWakeTheSavedClocksComeBackOnlyWithSetAtStartupOn) {
    const bool setAtStartup = GetParam();
    TempSimMac mac;
    mac.writeMachine(atiMachine({kCard}));
    writeSettings(setAtStartup, 247.5f, 234.0f);
    ASSERT_EQ(run({startupTool()}).status, 0);
    const std::uint32_t saved = pllWord(12, 104, 110);
    ASSERT_EQ(mac.registers(kDriver).at("PLL"), saved) << "the login restores either way";

    ASSERT_EQ(simmac({"sleep"}).status, 0);
    const RunResult wake = simmac({"wake"});
    EXPECT_EQ(wake.status, 0);
    EXPECT_CONTAINS(wake.output, "TarnwickStartup exited with status 0");
    EXPECT_EQ(mac.registers(kDriver).at("PLL"), setAtStartup ? saved : kCard.pll);
    EXPECT_FALSE(unfinishedReapply());
}

INSTANTIATE_TEST_SUITE_P(SetAtStartup, WakeTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "On" : "Off");
                         });

// Two reapplies at once (a login and a wake) each keep a record of their own:
// the one that ends clears its own, never the other's. A record domain that
// cannot be read counts as a reapply that never finished, and clearing keeps
// its bytes aside.
TEST(ReapplyGuard, EachReapplyClearsOnlyItsOwnRecordAndAnUnreadableOneIsUnfinished) {
    testsupport::TempSimMac mac;
    mac.writeMachine(atiMachine({kCard}));
    const CardList cards = discoverATICards();
    ASSERT_EQ(cards.size(), 1u);
    const cf::Dictionary other = record(kReapplyAfterWake, ::getppid(), startOf(::getppid()));
    writeRecord(kStartupToolReapplyDomain, cf::Array{other});
    EXPECT_EQ(reapplyGuarded(Reapplier::StartupTool, kReapplyAtLogin,
                             [&] { cards[0]->writePropertiesWithCommand(WriteATIPLL, kCard.pll); }),
              ReapplyOutcome::Done);
    const std::optional<cf::Dictionary> left =
        NSUserDefaults::standardUserDefaults().persistentDomainForName(kStartupToolReapplyDomain);
    ASSERT_TRUE(left && left->get(kReapplyInProgressKey));
    EXPECT_EQ(*left->get(kReapplyInProgressKey), cf::Value(cf::Array{other}));

    const std::filesystem::path file =
        mac.root() / "Library/Preferences" / (std::string(kPaneReapplyDomain) + ".plist");
    for (const char* bytes : {"garbage", "", "link"}) {
        SCOPED_TRACE(bytes);
        if (std::string_view(bytes) == "link")
            std::filesystem::create_symlink(mac.root() / "machine.plist", file);
        else
            testsupport::writeFile(file, bytes);
        EXPECT_EQ(unfinishedReapply(), "at an unknown time");
        clearUnfinishedReapplies();
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(file)));
        EXPECT_FALSE(unfinishedReapply());
    }
}

}  // namespace
