// Every program's usage errors end with status 1 and a message before any
// command reaches a card, help with 0: CLI11's own codes (105, 106, 109 ...) do not
// leak out, an empty or hex row is not row 0, a negative count is refused,
// and simmac does not create a machine in a root that is mistyped. Every
// real number is refused unless finite, above 0 and plainly decimal. A card
// the pane cannot name, and a machine asleep or hung, are refused once the
// pane is open, programming nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "PaneToolsSupport.h"
#include "host/MachineInterface.h"
#include "support/SimMacFixture.h"

namespace {

namespace fs = std::filesystem;
using panetools::run;
using panetools::RunResult;
using panetools::tool;

struct UsageCase {
    const char* name;
    const char* program;
    std::vector<std::string> args;  // "{root}" stands for the test's SIMMAC_ROOT
    int status;
    const char* message;
    std::vector<std::string> environment = {};  // NAME=value, "{root}" as above
    const char* mustNotExist = nullptr;         // below the root, after the run
    // Run first, whatever their status (a machine put to sleep, a fault set).
    std::vector<std::vector<std::string>> before = {};
    // Refused once the pane opened, which reads the cards: the check is then
    // that no card's registers changed.
    bool opensPane = false;
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

std::string withRoot(std::string text, const fs::path& root) {
    const std::string mark = "{root}";
    for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark))
        text.replace(at, mark.size(), root.string());
    return text;
}

// A clock refused on the command line: tarnwickctl set's VPU, simmac
// limit's --vpu.
UsageCase clock(const char* name, const char* program, const char* value, const char* message) {
    const bool ctl = std::string(program) == "tarnwickctl";
    return UsageCase{name, program,
                     ctl ? std::vector<std::string>{"set", "AGP", value, "340"}
                         : std::vector<std::string>{"limit", "AGP", "--vpu", value},
                     1, message};
}

class UsageErrors : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrors, ExitStatusAndMessage) {
    const UsageCase& c = GetParam();
    testsupport::TempSimMac mac;
    ASSERT_EQ(run({tool("simmac"), "init"}).status, 0);
    const RunResult installed = panetools::installBuiltPane();
    ASSERT_EQ(installed.status, 0) << installed.output;
    fs::create_directories(mac.root() / "empty");
    for (std::vector<std::string> command : c.before) {
        command.front() = tool(command.front());
        run(command);
    }
    const std::size_t logged = mac.driverLog().size();
    std::map<std::string, std::map<std::string, std::uint32_t>> registers;
    std::string error;
    if (const auto machine = host::currentMachine(&error))
        for (const std::string& driver : machine->driverPaths())
            registers[driver] = mac.registers(driver);

    std::vector<std::string> argv{"/usr/bin/env"};
    for (const std::string& assignment : c.environment)
        argv.push_back(withRoot(assignment, mac.root()));
    argv.push_back(tool(c.program));
    for (const std::string& arg : c.args) argv.push_back(withRoot(arg, mac.root()));
    const RunResult r = run(argv);

    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(withRoot(c.message, mac.root())), std::string::npos) << r.output;
    if (c.opensPane) {
        for (const auto& [driver, before] : registers)
            EXPECT_EQ(mac.registers(driver), before) << driver;
    } else {
        EXPECT_EQ(mac.driverLog().size(), logged) << "refused before any command reached a card";
    }
    if (c.mustNotExist) {
        EXPECT_FALSE(fs::exists(mac.root() / c.mustNotExist));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, UsageErrors,
    ::testing::Values(
        UsageCase{"SimmacHelp", "simmac", {"--help"}, 0, "console of the simulated Mac"},
        UsageCase{"SimmacNoCommand", "simmac", {}, 1, "A subcommand is required"},
        UsageCase{"SimmacUnknownCommand", "simmac", {"frobnicate"}, 1, "A subcommand is required"},
        UsageCase{"SimmacMissingArgument", "simmac", {"command", "AGP", "2"}, 1, "ARG"},
        UsageCase{"SimmacBusyNotANumber", "simmac", {"fault", "AGP", "--busy", "soon"}, 1, "soon"},
        UsageCase{"SimmacTraceLastNegative",
                  "simmac",
                  {"trace", "--last", "-1"},
                  1,
                  "\"-1\" is not a number"},
        UsageCase{
            "SimmacTraceLastEmpty", "simmac", {"trace", "--last", ""}, 1, "\"\" is not a number"},
        UsageCase{"SimmacLogLastNegative",
                  "simmac",
                  {"log", "--last", "-1"},
                  1,
                  "\"-1\" is not a number"},
        UsageCase{"SimmacEmptyRoot", "simmac", {"--root", "", "show"}, 1, "empty folder name"},
        UsageCase{"SimmacRootMissing",
                  "simmac",
                  {"--root", "{root}/typo", "reboot"},
                  1,
                  "no simulated Mac at {root}/typo (no such folder); to create one there: "
                  "simmac --root {root}/typo init",
                  {},
                  "typo"},
        UsageCase{"SimmacEnvironmentRootMissing",
                  "simmac",
                  {"fault", "AGP", "--busy", "5"},
                  1,
                  "no simulated Mac at {root}/typo (no such folder)",
                  {"SIMMAC_ROOT={root}/typo"},
                  "typo"},
        UsageCase{"SimmacRootWithoutMachine",
                  "simmac",
                  {"--root", "{root}/empty", "show"},
                  1,
                  "no simulated Mac at {root}/empty (the folder has no machine.plist)",
                  {},
                  "empty/machine.plist"},
        UsageCase{"SimmacLogNeedsTheMachineToo",
                  "simmac",
                  {"log"},
                  1,
                  "(the folder has no machine.plist)",
                  {"SIMMAC_ROOT={root}/empty"}},
        UsageCase{"SimmacInitCreatesANamedRoot",
                  "simmac",
                  {"--root", "{root}/new", "init"},
                  0,
                  "{root}/new/machine.plist: created"},
        UsageCase{"CtlHelp", "tarnwickctl", {"--help"}, 0, "from a terminal"},
        UsageCase{"CtlNoCommand", "tarnwickctl", {}, 1, "A subcommand is required"},
        UsageCase{"CtlUnknownOption", "tarnwickctl", {"list", "--frob"}, 1, "--frob"},
        UsageCase{"CtlEmptyRow",
                  "tarnwickctl",
                  {"set", "", "400", "340"},
                  1,
                  "\"\" is not a whole number"},
        UsageCase{"CtlHexRow", "tarnwickctl", {"stock", "0x0"}, 1, "\"0x0\" is not a whole number"},
        // "first" could be a slot: the pane's table tells.
        UsageCase{"CtlListRowNotANumber",
                  "tarnwickctl",
                  {"list", "first"},
                  1,
                  "no card in slot \"first\" (the pane lists AGP, SLOT-1, SLOT-2)",
                  {},
                  nullptr,
                  {},
                  true},
        UsageCase{"CtlRowSignedHex", "tarnwickctl", {"stock", "-0x1"}, 1, "is not a whole number"},
        UsageCase{"CtlEmptyClock",
                  "tarnwickctl",
                  {"set", "0", "", "340"},
                  1,
                  "\"\" is not a clock in MHz"},
        UsageCase{"CtlBadWaitBound",
                  "tarnwickctl",
                  {"list"},
                  1,
                  "TARNWICKCTL_SESSION_WAIT must be a number of seconds",
                  {"TARNWICKCTL_SESSION_WAIT=soon"}},
        UsageCase{"CtlWaitNotFinite",
                  "tarnwickctl",
                  {"list"},
                  1,
                  "\"nan\" is not a number of seconds: a finite number is needed",
                  {"TARNWICKCTL_SESSION_WAIT=nan"}},
        UsageCase{"CtlWaitHex",
                  "tarnwickctl",
                  {"list"},
                  1,
                  "not a number of seconds: give a decimal number, not hex",
                  {"TARNWICKCTL_SESSION_WAIT=0x10"}},
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
        UsageCase{"CtlRowWithACardLeftOut",
                  "tarnwickctl",
                  {"set", "1", "420", "560"},
                  1,
                  "1 card could not be read and was left out, so the rows have moved: name the "
                  "card by its slot (the pane lists SLOT-1, SLOT-2)",
                  {},
                  nullptr,
                  {{"simmac", "fault", "AGP", "--refuse", "0"}},
                  true},
        UsageCase{"CtlMachineAsleep",
                  "tarnwickctl",
                  {"set", "AGP", "400", "350"},
                  4,
                  "tarnwickctl: the simulated Mac is asleep, so no card answers; simmac wake "
                  "wakes it",
                  {},
                  nullptr,
                  {{"simmac", "sleep"}},
                  true},
        UsageCase{"PrefhostMachineAsleep",
                  "prefhost",
                  {"--screenshot", "/dev/null"},
                  4,
                  "prefhost: the simulated Mac is asleep",
                  {},
                  nullptr,
                  {{"simmac", "sleep"}},
                  true},
        // The ATI card's stock measurement at open goes above the limit.
        UsageCase{"CtlMachineHung",
                  "tarnwickctl",
                  {"stock", "0"},
                  4,
                  "tarnwickctl: the simulated Mac hangs, so no card answers; simmac reboot "
                  "restarts it",
                  {},
                  nullptr,
                  {{"simmac", "limit", "AGP", "--memory", "300"}, {"tarnwickctl", "list"}},
                  true},
        UsageCase{"SimmacCommandAsleep",
                  "simmac",
                  {"command", "AGP", "0", "0"},
                  2,
                  "simmac: the machine is asleep; simmac wake wakes it",
                  {},
                  nullptr,
                  {{"simmac", "sleep"}}},
        UsageCase{"PrefhostHelp", "prefhost", {"--help"}, 0, "like System Preferences"},
        UsageCase{"PrefhostUnknownOption", "prefhost", {"--frob"}, 1, "--frob"},
        UsageCase{"PrefhostHelpPictureAlone",
                  "prefhost",
                  {"--screenshot-help", "{root}/h.png"},
                  1,
                  "--screenshot"},
        UsageCase{"LoginwindowHelp", "loginwindow", {"--help"}, 0, "login items"},
        UsageCase{"LoginwindowExtraArgument", "loginwindow", {"now"}, 1, "now"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
