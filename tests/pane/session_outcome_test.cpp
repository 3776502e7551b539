// What prefhost and tarnwickctl say, in their exit status and on stderr, of a
// pane session that met a machine it could not read, a save that failed or a
// card that could not be read; and of a scripted session (tarnwickctl -),
// whose every action is answered on its line before the next one is sent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include "PaneToolsSupport.h"
#include "support/SimMacFixture.h"

namespace {

namespace fs = std::filesystem;
using panetools::run;
using panetools::RunResult;
using panetools::tool;

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

void garbageMachine(const fs::path& root) {
    panetools::writeFile(root / "machine.plist", "garbage\n");
}

// The settings cannot be written: their folder is a file.
void preferencesAFile(const fs::path& root) {
    fs::remove_all(root / "Library" / "Preferences");
    panetools::writeFile(root / "Library" / "Preferences", "not a folder\n");
}

void atiDriverStuck(const fs::path&) {
    ASSERT_EQ(run({tool("simmac"), "fault", "AGP", "--busy", "5000"}).status, 0);
}

// Saved clocks above the power-on ones, which the card then refuses to take.
void atiRestoreRefused(const fs::path&) {
    ASSERT_EQ(run({tool("tarnwickctl"), "set", "0", "400", "350"}).status, 0);
    ASSERT_EQ(run({tool("simmac"), "reboot"}).status, 0);
    ASSERT_EQ(run({tool("simmac"), "fault", "AGP", "--refuse", "2"}).status, 0);
}

class SessionOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(SessionOutcome, StatusAndMessage) {
    const OutcomeCase& c = GetParam();
    testsupport::TempSimMac mac;
    ASSERT_EQ(run({tool("simmac"), "init"}).status, 0);
    const RunResult installed = panetools::installBuiltPane();
    ASSERT_EQ(installed.status, 0) << installed.output;
    // A first session saves the settings that the faulty one must not lose.
    ASSERT_EQ(run({tool("tarnwickctl"), "startup", "on"}).status, 0);
    const std::string saved = panetools::readFile(mac.root() / kDomain);
    ASSERT_FALSE(saved.empty());
    c.prepare(mac.root());

    std::vector<std::string> argv{tool(c.command.front())};
    argv.insert(argv.end(), c.command.begin() + 1, c.command.end());
    const RunResult r = run(argv);

    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    if (c.domainUnchanged) {
        EXPECT_EQ(panetools::readFile(mac.root() / kDomain), saved);
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
                                  false},
                      OutcomeCase{"CtlCardUnrestored",
                                  atiRestoreRefused,
                                  {"tarnwickctl", "list"},
                                  7,
                                  "tarnwickctl: the saved clocks of 1 card could not be put back",
                                  false}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) { return info.param.name; });

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
    testsupport::TempSimMac mac;
    ASSERT_EQ(run({tool("simmac"), "init"}).status, 0);
    ASSERT_EQ(panetools::installBuiltPane().status, 0);
    std::signal(SIGPIPE, SIG_IGN);  // a session that ended early fails the test instead
    const fs::path input = mac.root() / "actions";
    ASSERT_EQ(mkfifo(input.c_str(), 0600), 0);
    panetools::Child ctl(
        {"/bin/sh", "-c", "exec \"$0\" - <\"$1\"", tool("tarnwickctl"), input.string()});
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
    EXPECT_NE(ctl.output().find(c.message), std::string::npos) << ctl.output();
    for (const auto& [mark, step] : answers) {
        const std::size_t at = ctl.output().find(mark);
        const std::size_t begin = ctl.output().rfind('\n', at) + 1;
        const std::string answer = ctl.output().substr(begin, ctl.output().find('\n', at) - begin);
        EXPECT_EQ(answer.rfind(step->outcome, 0), 0u) << answer;
        for (const std::string& part : step->shows)
            EXPECT_NE(answer.find(part), std::string::npos) << part << " in " << answer;
    }
    EXPECT_TRUE(fs::exists(mac.root() / kDomain)) << "saved at the end of input";
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptedSession,
    ::testing::Values(
        // A failed click after Back to Stock goes back to the stock clocks,
        // and the next click changes only the clock it is for.
        ScriptCase{
            "StockThenAFailedClickThenAClick",
            {{"set AGP 420 350", "ok: ", {"(requested 420.00 MHz)"}},
             {"stock AGP", "ok: ", {"VPU 380.2", "Back to stock disabled"}},
             {"simmac fault AGP --refuse-after 0"},
             {"up AGP vpu",
              "failed: ",
              {"The clock change did not go through.", "VPU unknown (requested 380.25 MHz)"}},
             {"simmac fault AGP --clear"},
             {"up AGP memory", "ok: ", {"VPU 380.2", "(requested 342.00 MHz)"}}},
            2,
            ""},
        ScriptCase{"BadLinesAreRefusedAndTheSessionGoesOn",
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
                    {"list", "ok: ", {"3 cards: 0 AGP Radeon 9800 Pro", "shown: card 2"}}},
                   1,
                   ""},
        ScriptCase{"AMachinePutToSleepBetweenActions",
                   {{"up AGP vpu", "ok: ", {"(requested 382.50 MHz)"}},
                    {"simmac sleep"},
                    {"up AGP vpu", "failed: ", {"; the simulated Mac is asleep"}},
                    {"simmac wake"},
                    {"up 0 memory", "ok: ", {"card 0 (AGP"}}},
                   4,
                   "tarnwickctl: the simulated Mac is asleep, so no card answers"}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

}  // namespace
