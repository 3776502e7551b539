// What every program says, in its exit status and on stderr. Usage errors
// end with status 1 and a message before any command reaches a card, help
// with 0: CLI11's own codes (105, 106, 109 ...) do not leak out, an empty or
// hex row is not row 0, a negative count is refused, and simmac does not
// create a machine in a root that is mistyped. Requests only the pane can
// judge (a row, a clock) are refused once it has read the cards, before
// anything is written to them. A pane session (prefhost, tarnwickctl) that
// met a machine it could not read, a save that failed or a card that could
// not be read says so, and loses no saved setting it need not.

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
        ExitCase{"SimmacHelp", "simmac", {"--help"}, 0, "console of the simulated Mac"},
        ExitCase{"SimmacNoCommand", "simmac", {}, 1, "A subcommand is required"},
        ExitCase{"SimmacUnknownCommand", "simmac", {"frobnicate"}, 1, "A subcommand is required"},
        ExitCase{"SimmacMissingArgument", "simmac", {"command", "AGP", "2"}, 1, "ARG"},
        ExitCase{"SimmacBusyNotANumber", "simmac", {"fault", "AGP", "--busy", "soon"}, 1, "soon"},
        ExitCase{"SimmacTraceLastNegative",
                 "simmac",
                 {"trace", "--last", "-1"},
                 1,
                 "\"-1\" is not a number"},
        ExitCase{
            "SimmacTraceLastEmpty", "simmac", {"trace", "--last", ""}, 1, "\"\" is not a number"},
        ExitCase{"SimmacLogLastNegative",
                 "simmac",
                 {"log", "--last", "-1"},
                 1,
                 "\"-1\" is not a number"},
        ExitCase{"SimmacEmptyRoot", "simmac", {"--root", "", "show"}, 1, "empty folder name"},
        ExitCase{"SimmacRootMissing",
                 "simmac",
                 {"--root", "{root}/typo", "reboot"},
                 1,
                 "no simulated Mac at {root}/typo (no such folder); to create one there: "
                 "simmac --root {root}/typo init",
                 {},
                 "typo"},
        ExitCase{"SimmacEnvironmentRootMissing",
                 "simmac",
                 {"fault", "AGP", "--busy", "5"},
                 1,
                 "no simulated Mac at {root}/typo (no such folder)",
                 {"SIMMAC_ROOT={root}/typo"},
                 "typo"},
        ExitCase{"SimmacRootWithoutMachine",
                 "simmac",
                 {"--root", "{root}/empty", "show"},
                 1,
                 "no simulated Mac at {root}/empty (the folder has no machine.plist)",
                 {},
                 "empty/machine.plist"},
        ExitCase{"SimmacLogNeedsTheMachineToo",
                 "simmac",
                 {"log"},
                 1,
                 "(the folder has no machine.plist)",
                 {"SIMMAC_ROOT={root}/empty"}},
        ExitCase{"SimmacInitCreatesANamedRoot",
                 "simmac",
                 {"--root", "{root}/new", "init"},
                 0,
                 "{root}/new/machine.plist: created"},
        ExitCase{"CtlHelp", "tarnwickctl", {"--help"}, 0, "from a terminal"},
        ExitCase{"CtlNoCommand", "tarnwickctl", {}, 1, "A subcommand is required"},
        ExitCase{"CtlUnknownOption", "tarnwickctl", {"list", "--frob"}, 1, "--frob"},
        ExitCase{"CtlEmptyRow",
                 "tarnwickctl",
                 {"set", "", "400", "340"},
                 1,
                 "\"\" is not a whole number"},
        ExitCase{"CtlHexRow", "tarnwickctl", {"stock", "0x0"}, 1, "\"0x0\" is not a whole number"},
        ExitCase{"CtlListRowNotANumber",
                 "tarnwickctl",
                 {"list", "first"},
                 1,
                 "\"first\" is not a whole number"},
        ExitCase{"CtlEmptyClock",
                 "tarnwickctl",
                 {"set", "0", "", "340"},
                 1,
                 "\"\" is not a clock in MHz"},
        ExitCase{"CtlRowOutOfRange",
                 "tarnwickctl",
                 {"set", "7", "300", "300"},
                 1,
                 "no card at row 7",
                 {},
                 nullptr,
                 true},
        ExitCase{"CtlNegativeRow",
                 "tarnwickctl",
                 {"stock", "-1"},
                 1,
                 "no card at row -1",
                 {},
                 nullptr,
                 true},
        ExitCase{"CtlAboveStepperRange",
                 "tarnwickctl",
                 {"set", "0", "5000", "300"},
                 1,
                 "outside the stepper's range",
                 {},
                 nullptr,
                 true},
        ExitCase{"CtlStartupNotOnOrOff", "tarnwickctl", {"startup", "maybe"}, 1, "maybe"},
        ExitCase{"CtlBadWaitBound",
                 "tarnwickctl",
                 {"list"},
                 1,
                 "TARNWICKCTL_SESSION_WAIT must be a number of seconds",
                 {"TARNWICKCTL_SESSION_WAIT=soon"}},
        ExitCase{"PrefhostHelp", "prefhost", {"--help"}, 0, "like System Preferences"},
        ExitCase{"PrefhostUnknownOption", "prefhost", {"--frob"}, 1, "--frob"},
        ExitCase{"PrefhostHelpPictureAlone",
                 "prefhost",
                 {"--screenshot-help", "{root}/h.png"},
                 1,
                 "--screenshot"},
        ExitCase{"LoginwindowHelp", "loginwindow", {"--help"}, 0, "login items"},
        ExitCase{"LoginwindowExtraArgument", "loginwindow", {"now"}, 1, "now"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SessionOutcome, ExitStatus,
    ::testing::Values(ExitCase{"CtlMachineUnreadable",
                               "tarnwickctl",
                               {"list"},
                               4,
                               "tarnwickctl: the simulated Mac's machine could not be read",
                               {},
                               nullptr,
                               false,
                               garbageMachine,
                               true},
                      ExitCase{"PrefhostMachineUnreadable",
                               "prefhost",
                               {"--screenshot", "/dev/null"},
                               4,
                               "prefhost: the simulated Mac's machine could not be read",
                               {},
                               nullptr,
                               false,
                               garbageMachine,
                               true},
                      ExitCase{"CtlNotSaved",
                               "tarnwickctl",
                               {"list"},
                               5,
                               "tarnwickctl: the settings or the login item could not be saved",
                               {},
                               nullptr,
                               false,
                               preferencesAFile},
                      ExitCase{"PrefhostNotSaved",
                               "prefhost",
                               {"--screenshot", "/dev/null"},
                               5,
                               "prefhost: the settings or the login item could not be saved",
                               {},
                               nullptr,
                               false,
                               preferencesAFile},
                      ExitCase{"CtlCardUnread",
                               "tarnwickctl",
                               {"list"},
                               6,
                               "tarnwickctl: 1 card could not be read and was left out",
                               {},
                               nullptr,
                               false,
                               atiDriverStuck},
                      ExitCase{"CtlCardUnrestored",
                               "tarnwickctl",
                               {"list"},
                               7,
                               "tarnwickctl: the saved clocks of 1 card could not be put back",
                               {},
                               nullptr,
                               false,
                               atiRestoreRefused}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
