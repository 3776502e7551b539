// What every program says, in its exit status and on stderr. Usage errors
// end with status 1 and a message before any command reaches a card, help
// with 0: CLI11's own codes (105, 106, 109 ...) do not leak out, an empty or
// hex row is not row 0, a negative count is refused, and simmac does not
// create a machine in a root that is mistyped. Requests only the pane can
// judge (a row, a clock) are refused once it has read the cards, before
// anything is written to them. A pane session (prefhost, tarnwickctl) that
// met a machine it could not read, a save that failed or a card that could
// not be read says so, and loses no saved setting it need not. Every real
// number is refused unless finite, above 0 and plainly decimal; a row while
// a card was left out, and a machine asleep or hung, are refused once the
// pane is open. A scripted session (tarnwickctl -) answers every action on
// its line before the next one is sent.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <sstream>

#include "host/Machine.h"
#include "host/MachineInterface.h"
#include "support/Child.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

namespace fs = std::filesystem;

struct ExitCase {
    const char* name;
    const char* program;
    std::vector<std::string> args;  // "{root}" stands for the test's SIMMAC_ROOT
    int status;
    const char* message;
    std::vector<std::string> environment = {};  // NAME=value, "{root}" as above
    const char* mustNotExist = nullptr;         // below the root, after the run
    bool opensPane = false;                     // refused by the pane, which reads the cards
    // A session's outcome: run after a first session saved the settings.
    void (*prepare)(const fs::path& root) = nullptr;
    bool settingsUnchanged = false;  // the saved settings keep their bytes
};

void PrintTo(const ExitCase& c, std::ostream* os) { *os << c.name; }

std::string withRoot(std::string text, const fs::path& root) {
    const std::string mark = "{root}";
    for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark))
        text.replace(at, mark.size(), root.string());
    return text;
}

// Every card's registers, as every program reads them.
std::map<std::string, Registers> allRegisters(const TempSimMac& mac) {
    std::map<std::string, Registers> all;
    std::string error;
    if (const auto machine = host::currentMachine(&error))
        for (const std::string& path : machine->driverPaths()) all[path] = mac.registers(path);
    return all;
}

void garbageMachine(const fs::path& root) { writeFile(root / "machine.plist", "garbage\n"); }

// The settings cannot be written: their folder is a file.
void preferencesAFile(const fs::path& root) {
    fs::remove_all(root / "Library" / "Preferences");
    writeFile(root / "Library" / "Preferences", "not a folder\n");
}

void atiDriverStuck(const fs::path&) {
    ASSERT_EQ(simmac({"fault", "AGP", "--busy", "5000"}).status, 0);
}

// Saved clocks above the power-on ones, which the card then refuses to take.
void atiRestoreRefused(const fs::path&) {
    ASSERT_EQ(run({tool("tarnwickctl"), "set", "0", "400", "350"}).status, 0);
    ASSERT_EQ(simmac({"reboot"}).status, 0);
    ASSERT_EQ(simmac({"fault", "AGP", "--refuse", "2"}).status, 0);
}

void atiReadsRefused(const fs::path&) {
    ASSERT_EQ(simmac({"fault", "AGP", "--refuse", "0"}).status, 0);
}
void machineAsleep(const fs::path&) { ASSERT_EQ(simmac({"sleep"}).status, 0); }
// The ATI card's stock measurement, as the pane opens, goes above the limit.
void machineHung(const fs::path&) {
    ASSERT_EQ(simmac({"limit", "AGP", "--memory", "300"}).status, 0);
    run({tool("tarnwickctl"), "list"});
}

// A row of the tables: `program` with `args` ends with `status` and says
// `message`; `environment` and `mustNotExist` as in ExitCase.
ExitCase exits(const char* name, const char* program, std::vector<std::string> args, int status,
               const char* message, std::vector<std::string> environment = {},
               const char* mustNotExist = nullptr) {
    return {name, program, std::move(args), status, message, std::move(environment), mustNotExist};
}

// A request refused by the pane once it has read the cards.
ExitCase paneRefuses(const char* name, std::vector<std::string> args, const char* message) {
    ExitCase c = exits(name, "tarnwickctl", std::move(args), 1, message);
    c.opensPane = true;
    return c;
}

// tarnwickctl's bound on waiting for another session, refused as given.
ExitCase sessionWait(const char* name, const char* value, const char* message) {
    return exits(name, "tarnwickctl", {"list"}, 1, message,
                 {std::string("TARNWICKCTL_SESSION_WAIT=") + value});
}

// A clock refused on the command line: tarnwickctl set's VPU, simmac
// limit's --vpu.
ExitCase clock(const char* name, const char* program, const char* value, const char* message) {
    const bool ctl = std::string(program) == "tarnwickctl";
    return exits(name, program,
                 ctl ? std::vector<std::string>{"set", "AGP", value, "340"}
                     : std::vector<std::string>{"limit", "AGP", "--vpu", value},
                 1, message);
}

// A pane session's outcome, run after `prepare`.
ExitCase afterSession(const char* name, const char* program, std::vector<std::string> args,
                      int status, const char* message, void (*prepare)(const fs::path& root),
                      bool settingsUnchanged = false) {
    ExitCase c = exits(name, program, std::move(args), status, message);
    c.prepare = prepare;
    c.settingsUnchanged = settingsUnchanged;
    return c;
}

class ExitStatus : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ExitStatus, AndMessage) {
    const ExitCase& c = GetParam();
    TempSimMac mac;
    ASSERT_EQ(simmac({"init"}).status, 0);
    ASSERT_TRUE(installBuiltPane());
    fs::create_directories(mac.root() / "empty");
    std::string saved;
    if (c.prepare) {
        ASSERT_EQ(run({tool("tarnwickctl"), "startup", "on"}).status, 0);
        saved = readFile(domainFile(kPaneDomain));
        ASSERT_FALSE(saved.empty());
        c.prepare(mac.root());
    }
    const auto registersBefore = allRegisters(mac);

    std::vector<std::string> argv{"/usr/bin/env"};
    for (const std::string& assignment : c.environment)
        argv.push_back(withRoot(assignment, mac.root()));
    argv.push_back(tool(c.program));
    for (const std::string& arg : c.args) argv.push_back(withRoot(arg, mac.root()));
    const RunResult r = run(argv);

    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_CONTAINS(r.output, withRoot(c.message, mac.root()));
    if (c.settingsUnchanged) {
        EXPECT_EQ(readFile(domainFile(kPaneDomain)), saved);
    }
    if (c.prepare) return;
    if (c.opensPane)
        EXPECT_EQ(allRegisters(mac), registersBefore) << "nothing was written to a card";
    else
        EXPECT_TRUE(mac.driverLog().empty()) << "refused before any command reached a card";
    if (c.mustNotExist) {
        EXPECT_FALSE(fs::exists(mac.root() / c.mustNotExist));
    }
}

INSTANTIATE_TEST_SUITE_P(
    UsageErrors, ExitStatus,
    ::testing::Values(
        exits("SimmacHelp", "simmac", {"--help"}, 0, "console of the simulated Mac"),
        exits("SimmacNoCommand", "simmac", {}, 1, "A subcommand is required"),
        exits("SimmacUnknownCommand", "simmac", {"frobnicate"}, 1, "A subcommand is required"),
        exits("SimmacMissingArgument", "simmac", {"command", "AGP", "2"}, 1, "ARG"),
        exits("SimmacBusyNotANumber", "simmac", {"fault", "AGP", "--busy", "soon"}, 1, "soon"),
        exits("SimmacTraceLastNegative", "simmac", {"trace", "--last", "-1"}, 1,
              "\"-1\" is not a number"),
        exits("SimmacTraceLastEmpty", "simmac", {"trace", "--last", ""}, 1, "\"\" is not a number"),
        exits("SimmacLogLastNegative", "simmac", {"log", "--last", "-1"}, 1,
              "\"-1\" is not a number"),
        exits("SimmacEmptyRoot", "simmac", {"--root", "", "show"}, 1, "empty folder name"),
        exits("SimmacRootMissing", "simmac", {"--root", "{root}/typo", "reboot"}, 1,
              "no simulated Mac at {root}/typo (no such folder); to create one there: "
              "simmac --root {root}/typo init",
              {}, "typo"),
        exits("SimmacEnvironmentRootMissing", "simmac", {"fault", "AGP", "--busy", "5"}, 1,
              "no simulated Mac at {root}/typo (no such folder)", {"SIMMAC_ROOT={root}/typo"},
              "typo"),
        exits("SimmacRootWithoutMachine", "simmac", {"--root", "{root}/empty", "show"}, 1,
              "no simulated Mac at {root}/empty (the folder has no machine.plist)", {},
              "empty/machine.plist"),
        exits("SimmacLogNeedsTheMachineToo", "simmac", {"log"}, 1,
              "(the folder has no machine.plist)", {"SIMMAC_ROOT={root}/empty"}),
        exits("SimmacInitCreatesANamedRoot", "simmac", {"--root", "{root}/new", "init"}, 0,
              "{root}/new/machine.plist: created"),
        exits("CtlHelp", "tarnwickctl", {"--help"}, 0, "from a terminal"),
        exits("CtlNoCommand", "tarnwickctl", {}, 1, "A subcommand is required"),
        exits("CtlUnknownOption", "tarnwickctl", {"list", "--frob"}, 1, "--frob"),
        exits("CtlEmptyRow", "tarnwickctl", {"set", "", "400", "340"}, 1,
              "\"\" is not a whole number"),
        exits("CtlHexRow", "tarnwickctl", {"stock", "0x0"}, 1, "\"0x0\" is not a whole number"),
        // "first" could be a slot: the pane's table tells.
        paneRefuses("CtlListRowNotANumber", {"list", "first"},
                    "no card in slot \"first\" (the pane lists AGP, SLOT-1, SLOT-2)"),
        exits("CtlRowSignedHex", "tarnwickctl", {"stock", "-0x1"}, 1, "is not a whole number"),
        exits("CtlEmptyClock", "tarnwickctl", {"set", "0", "", "340"}, 1,
              "\"\" is not a clock in MHz"),
        paneRefuses("CtlRowOutOfRange", {"set", "7", "300", "300"}, "no card at row 7"),
        paneRefuses("CtlNegativeRow", {"stock", "-1"}, "no card at row -1"),
        paneRefuses("CtlAboveStepperRange", {"set", "0", "5000", "300"},
                    "outside the stepper's range"),
        exits("CtlStartupNotOnOrOff", "tarnwickctl", {"startup", "maybe"}, 1, "maybe"),
        sessionWait("CtlBadWaitBound", "soon",
                    "TARNWICKCTL_SESSION_WAIT must be a number of seconds"),
        sessionWait("CtlWaitNotFinite", "nan",
                    "\"nan\" is not a number of seconds: a finite number is needed"),
        sessionWait("CtlWaitHex", "0x10",
                    "not a number of seconds: give a decimal number, not hex"),
        clock("CtlClockInfinite", "tarnwickctl", "inf", "a finite number is needed"),
        clock("CtlClockComma", "tarnwickctl", "410,5", "use a point, not a comma"),
        clock("CtlClockExponent", "tarnwickctl", "4e2", "write it out in decimal digits"),
        clock("SimmacLimitNotANumber", "simmac", "nan", "\"nan\" is not a clock in MHz"),
        clock("SimmacLimitMinusNotANumber", "simmac", "-nan", "a finite number is needed"),
        clock("SimmacLimitInfinite", "simmac", "inf", "a finite number is needed"),
        clock("SimmacLimitPastTheBound", "simmac", "1e308", "the highest taken is 10000 MHz"),
        clock("SimmacLimitDigitsPastTheBound", "simmac", "10000.01", "the highest taken is"),
        clock("SimmacLimitHex", "simmac", "0x1A4", "give a decimal number, not hex"),
        clock("SimmacLimitComma", "simmac", "410,5", "use a point, not a comma"),
        clock("SimmacLimitZero", "simmac", "0.0", "it must be above 0 MHz"),
        exits("PrefhostHelp", "prefhost", {"--help"}, 0, "like System Preferences"),
        exits("PrefhostUnknownOption", "prefhost", {"--frob"}, 1, "--frob"),
        exits("PrefhostHelpPictureAlone", "prefhost", {"--screenshot-help", "{root}/h.png"}, 1,
              "--screenshot"),
        exits("LoginwindowHelp", "loginwindow", {"--help"}, 0, "login items"),
        exits("LoginwindowExtraArgument", "loginwindow", {"now"}, 1, "now")),
    [](const auto& info) { return std::string(info.param.name); });

const std::vector<std::string> kList{"list"}, kScreenshot{"--screenshot", "/dev/null"};

INSTANTIATE_TEST_SUITE_P(
    SessionOutcome, ExitStatus,
    ::testing::Values(
        afterSession("CtlMachineUnreadable", "tarnwickctl", kList, 4,
                     "tarnwickctl: the simulated Mac's machine could not be read", garbageMachine,
                     true),
        afterSession("PrefhostMachineUnreadable", "prefhost", kScreenshot, 4,
                     "prefhost: the simulated Mac's machine could not be read", garbageMachine,
                     true),
        afterSession("CtlNotSaved", "tarnwickctl", kList, 5,
                     "tarnwickctl: the settings or the login item could not be saved",
                     preferencesAFile),
        afterSession("PrefhostNotSaved", "prefhost", kScreenshot, 5,
                     "prefhost: the settings or the login item could not be saved",
                     preferencesAFile),
        afterSession("CtlCardUnread", "tarnwickctl", kList, 6,
                     "tarnwickctl: 1 card could not be read and was left out", atiDriverStuck),
        afterSession("CtlCardUnrestored", "tarnwickctl", kList, 7,
                     "tarnwickctl: the saved clocks of 1 card could not be put back",
                     atiRestoreRefused),
        afterSession("CtlRowWithACardLeftOut", "tarnwickctl", {"set", "1", "420", "560"}, 1,
                     "1 card could not be read and was left out, so the rows have "
                     "moved: name the card by its slot (the pane lists SLOT-1, SLOT-2)",
                     atiReadsRefused),
        afterSession("CtlMachineAsleep", "tarnwickctl", {"set", "AGP", "400", "350"}, 4,
                     "tarnwickctl: the simulated Mac is asleep, so no card answers; "
                     "simmac wake wakes it",
                     machineAsleep),
        afterSession("PrefhostMachineAsleep", "prefhost", kScreenshot, 4,
                     "prefhost: the simulated Mac is asleep", machineAsleep),
        afterSession("CtlMachineHung", "tarnwickctl", {"stock", "0"}, 4,
                     "tarnwickctl: the simulated Mac hangs, so no card answers; simmac "
                     "reboot restarts it",
                     machineHung),
        afterSession("SimmacCommandAsleep", "simmac", {"command", "AGP", "0", "0"}, 2,
                     "simmac: the machine is asleep; simmac wake wakes it", machineAsleep)),
    [](const auto& info) { return std::string(info.param.name); });

// A line of a script: an action, whose outcome line must begin with
// `outcome` and hold `shows`; or "simmac ...", run between two actions.
struct ScriptStep {
    const char* line;
    const char* outcome = "";
    std::vector<std::string> shows = {};
};
struct ScriptCase {
    const char* name;
    std::vector<ScriptStep> steps;
    int status;
    const char* message;
};

void PrintTo(const ScriptCase& c, std::ostream* os) { *os << c.name; }

class ScriptedSession : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptedSession, EachActionIsAnsweredAsItIsDoneAndTheSessionSaves) {
    const ScriptCase& c = GetParam();
    TempSimMac mac;
    ASSERT_EQ(simmac({"init"}).status, 0);
    ASSERT_TRUE(installBuiltPane());
    std::signal(SIGPIPE, SIG_IGN);  // a session that ended early fails the test instead
    const fs::path input = mac.root() / "actions";
    ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
    Child ctl({"/bin/sh", "-c", "exec \"$0\" - <\"$1\"", tool("tarnwickctl"), input.string()});
    const int fd = open(input.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    std::vector<std::pair<std::string, const ScriptStep*>> answers;
    for (const ScriptStep& step : c.steps) {
        std::istringstream words(step.line);
        std::vector<std::string> argv;
        for (std::string word; words >> word;) argv.push_back(word);
        if (argv.front() == "simmac") {
            argv.front() = tool("simmac");
            ASSERT_EQ(run(argv).status, 0) << step.line;
            continue;
        }
        const std::string line = std::string(step.line) + "\n";
        ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        answers.emplace_back(": " + std::to_string(answers.size() + 1) + ": " + step.line + ": ",
                             &step);
        ASSERT_TRUE(ctl.readUntil(answers.back().first)) << ctl.output();
    }
    close(fd);
    EXPECT_EQ(ctl.wait(), c.status) << ctl.output();
    EXPECT_CONTAINS(ctl.output(), c.message);
    for (const auto& [mark, step] : answers) {
        const std::size_t at = ctl.output().find(mark);
        const std::size_t begin = ctl.output().rfind('\n', at) + 1;
        const std::string answer = ctl.output().substr(begin, ctl.output().find('\n', at) - begin);
        EXPECT_EQ(answer.rfind(step->outcome, 0), 0u) << answer;
        for (const std::string& part : step->shows)
            EXPECT_NE(answer.find(part), std::string::npos) << part << " in " << answer;
    }
    EXPECT_TRUE(fs::exists(domainFile(kPaneDomain))) << "saved at the end of input";
}

ScriptCase script(const char* name, int status, const char* message,
                  std::vector<ScriptStep> steps) {
    return {name, std::move(steps), status, message};
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptedSession,
    ::testing::Values(
        // A failed click after Back to Stock goes back to the stock clocks,
        // and the next click changes only the clock it is for.
        script("StockThenAFailedClickThenAClick", 2, "",
               {{"set AGP 420 350", "ok: ", {"(requested 420.00 MHz)"}},
                {"stock AGP", "ok: ", {"VPU 380.2", "Back to stock disabled"}},
                {"simmac fault AGP --refuse-after 0"},
                {"up AGP vpu",
                 "failed: ",
                 {"The clock change did not go through.", "VPU unknown (requested 380.25 MHz)"}},
                {"simmac fault AGP --clear"},
                {"up AGP memory", "ok: ", {"VPU 380.2", "(requested 342.00 MHz)"}}}),
        script("BadLinesAreRefusedAndTheSessionGoesOn", 1, "",
               {{"frob", "refused: ", {"\"frob\" is not an action"}},
                {"set AGP 410,5 300", "refused: ", {"use a point, not a comma"}},
                {"set AGP 400 nan", "refused: ", {"a finite number is needed"}},
                {"up AGP core", "refused: ", {"give up CARD vpu|memory"}},
                {"select SLOT-9", "refused: ", {"no card in slot \"SLOT-9\""}},
                {"set AGP 5000 300",
                 "refused: ",
                 {"VPU 5000.00 MHz is outside the stepper's range 2.25 MHz to 760.50 MHz"}},
                {"stock AGP", "ok: ", {"already runs at its stock clocks"}},
                {"select SLOT-2", "ok: ", {"card 2 (SLOT-2, NVIDIA GeForce FX 5200)"}},
                {"startup on", "ok: ", {"Set at startup on"}},
                {"list", "ok: ", {"3 cards: 0 AGP Radeon 9800 Pro", "shown: card 2"}}}),
        script("AMachinePutToSleepBetweenActions", 4,
               "tarnwickctl: the simulated Mac is asleep, so no card answers",
               {{"up AGP vpu", "ok: ", {"(requested 382.50 MHz)"}},
                {"simmac sleep"},
                {"up AGP vpu", "failed: ", {"; the simulated Mac is asleep"}},
                {"simmac wake"},
                {"up 0 memory", "ok: ", {"card 0 (AGP"}}})),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

}  // namespace
