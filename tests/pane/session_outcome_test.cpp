// What prefhost and tarnwickctl say, in their exit status and on stderr, of a
// pane session that met a machine it could not read, a save that failed or a
// card that could not be read.

#include "support/Child.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

namespace fs = std::filesystem;

struct OutcomeCase {
    const char* name;
    // Run after `simmac init` and the pane's installation, before the session.
    void (*prepare)(const fs::path& root);
    std::vector<std::string> command;  // the program and its arguments
    int status;
    const char* message;
    bool domainUnchanged;  // the saved settings keep their bytes
};

void PrintTo(const OutcomeCase& c, std::ostream* os) { *os << c.name; }

const fs::path kDomain =
    fs::path("Library") / "Preferences" / "name.halvorn.oddny.TarnwickPref.plist";

void garbageMachine(const fs::path& root) { writeFile(root / "machine.plist", "garbage\n"); }

// The settings cannot be written: their folder is a file.
void preferencesAFile(const fs::path& root) {
    fs::remove_all(root / "Library" / "Preferences");
    writeFile(root / "Library" / "Preferences", "not a folder\n");
}

void atiDriverStuck(const fs::path&) {
    ASSERT_EQ(run({tool("simmac"), "fault", "AGP", "--busy", "5000"}).status, 0);
}

class SessionOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(SessionOutcome, StatusAndMessage) {
    const OutcomeCase& c = GetParam();
    TempSimMac mac;
    ASSERT_EQ(run({tool("simmac"), "init"}).status, 0);
    ASSERT_TRUE(installBuiltPane());
    // A first session saves the settings that the faulty one must not lose.
    ASSERT_EQ(run({tool("tarnwickctl"), "startup", "on"}).status, 0);
    const std::string saved = readFile(mac.root() / kDomain);
    ASSERT_FALSE(saved.empty());
    c.prepare(mac.root());

    std::vector<std::string> argv{tool(c.command.front())};
    argv.insert(argv.end(), c.command.begin() + 1, c.command.end());
    const RunResult r = run(argv);

    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_CONTAINS(r.output, c.message);
    if (c.domainUnchanged) {
        EXPECT_EQ(readFile(mac.root() / kDomain), saved);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, SessionOutcome,
    ::testing::Values(OutcomeCase{"CtlMachineUnreadable",
                                  garbageMachine,
                                  {"tarnwickctl", "list"},
                                  4,
                                  "tarnwickctl: the simulated Mac's machine could not be read",
                                  true},
                      OutcomeCase{"PrefhostMachineUnreadable",
                                  garbageMachine,
                                  {"prefhost", "--screenshot", "/dev/null"},
                                  4,
                                  "prefhost: the simulated Mac's machine could not be read",
                                  true},
                      OutcomeCase{"CtlNotSaved",
                                  preferencesAFile,
                                  {"tarnwickctl", "list"},
                                  5,
                                  "tarnwickctl: the settings or the login item could not be saved",
                                  false},
                      OutcomeCase{"PrefhostNotSaved",
                                  preferencesAFile,
                                  {"prefhost", "--screenshot", "/dev/null"},
                                  5,
                                  "prefhost: the settings or the login item could not be saved",
                                  false},
                      OutcomeCase{"CtlCardUnread",
                                  atiDriverStuck,
                                  {"tarnwickctl", "list"},
                                  6,
                                  "tarnwickctl: 1 card could not be read and was left out",
                                  false}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) { return info.param.name; });

}  // namespace
