// Every program's usage errors end with status 1 and a message before any
// command reaches a card, help with 0: CLI11's own codes (105, 106, 109 ...) do not
// leak out, an empty or hex row is not row 0, a negative count is refused,
// and simmac does not create a machine in a root that is mistyped. Requests
// only the pane can judge (a row, a clock) are refused once it has read the
// cards, before anything is written to them.

#include "host/Machine.h"
#include "host/MachineInterface.h"
#include "support/Child.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

namespace fs = std::filesystem;

struct UsageCase {
    const char* name;
    const char* program;
    std::vector<std::string> args;  // "{root}" stands for the test's SIMMAC_ROOT
    int status;
    const char* message;
    std::vector<std::string> environment = {};  // NAME=value, "{root}" as above
    const char* mustNotExist = nullptr;         // below the root, after the run
    bool opensPane = false;                     // refused by the pane, which reads the cards
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

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

class UsageErrors : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrors, ExitStatusAndMessage) {
    const UsageCase& c = GetParam();
    TempSimMac mac;
    ASSERT_EQ(run({tool("simmac"), "init"}).status, 0);
    ASSERT_TRUE(installBuiltPane());
    fs::create_directories(mac.root() / "empty");
    const auto registersBefore = allRegisters(mac);

    std::vector<std::string> argv{"/usr/bin/env"};
    for (const std::string& assignment : c.environment)
        argv.push_back(withRoot(assignment, mac.root()));
    argv.push_back(tool(c.program));
    for (const std::string& arg : c.args) argv.push_back(withRoot(arg, mac.root()));
    const RunResult r = run(argv);

    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_CONTAINS(r.output, withRoot(c.message, mac.root()));
    if (c.opensPane)
        EXPECT_EQ(allRegisters(mac), registersBefore) << "nothing was written to a card";
    else
        EXPECT_TRUE(mac.driverLog().empty()) << "refused before any command reached a card";
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
        UsageCase{"CtlListRowNotANumber",
                  "tarnwickctl",
                  {"list", "first"},
                  1,
                  "\"first\" is not a whole number"},
        UsageCase{"CtlEmptyClock",
                  "tarnwickctl",
                  {"set", "0", "", "340"},
                  1,
                  "\"\" is not a clock in MHz"},
        UsageCase{"CtlRowOutOfRange",
                  "tarnwickctl",
                  {"set", "7", "300", "300"},
                  1,
                  "no card at row 7",
                  {},
                  nullptr,
                  true},
        UsageCase{"CtlNegativeRow",
                  "tarnwickctl",
                  {"stock", "-1"},
                  1,
                  "no card at row -1",
                  {},
                  nullptr,
                  true},
        UsageCase{"CtlAboveStepperRange",
                  "tarnwickctl",
                  {"set", "0", "5000", "300"},
                  1,
                  "outside the stepper's range",
                  {},
                  nullptr,
                  true},
        UsageCase{"CtlStartupNotOnOrOff", "tarnwickctl", {"startup", "maybe"}, 1, "maybe"},
        UsageCase{"CtlBadWaitBound",
                  "tarnwickctl",
                  {"list"},
                  1,
                  "TARNWICKCTL_SESSION_WAIT must be a number of seconds",
                  {"TARNWICKCTL_SESSION_WAIT=soon"}},
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
