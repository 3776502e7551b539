// One pane session at a time on a simulated Mac: while prefhost has the pane
// open, a second prefhost refuses and tarnwickctl waits for it up to its
// bound; the login (loginwindow and the startup tool) is not held up; a
// killed holder frees the session; the lock file is never something planted
// in its place.
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill is POSIX, not in <csignal>
#include <sys/stat.h>

#include <chrono>

#include "host/SimMac.h"
#include "support/OpenPane.h"

using namespace testsupport;

namespace {

namespace fs = std::filesystem;

std::vector<std::string> tarnwickctl(const std::string& waitSeconds,
                                     std::vector<std::string> args) {
    args.insert(args.begin(),
                {"/usr/bin/env", "TARNWICKCTL_SESSION_WAIT=" + waitSeconds, tool("tarnwickctl")});
    return args;
}

TEST(PaneSession, OneAtATime) {
    TempSimMac mac;
    ASSERT_TRUE(installBuiltPane());
    Child holder({tool("prefhost")});
    ASSERT_TRUE(holder.readUntil("prefhost: showing")) << holder.output();
    const std::string pid = "pid " + std::to_string(holder.pid());

    const RunResult second = run({tool("prefhost")});
    EXPECT_EQ(second.status, 3) << second.output;
    EXPECT_CONTAINS(second.output, "prefhost: the pane is already open (" + pid + ")");
    EXPECT_LACKS(second.output, "prefhost: showing");

    const std::size_t commandsBefore = mac.commandCount();
    const auto begun = std::chrono::steady_clock::now();
    const RunResult refused = run(tarnwickctl("1", {"set", "0", "400", "340"}));
    const auto waited = std::chrono::steady_clock::now() - begun;
    EXPECT_EQ(refused.status, 3) << refused.output;
    EXPECT_CONTAINS(refused.output, "open in another session (" + pid + "); waiting up to 1 s");
    EXPECT_CONTAINS(refused.output, "still open in another session (" + pid + ") after 1 s");
    EXPECT_GE(waited, std::chrono::milliseconds(950));
    EXPECT_LACKS(refused.output, "Cards");
    EXPECT_EQ(mac.commandCount(), commandsBefore) << "the refused session never opened the pane";

    // The login is no pane session.
    writeLoginItems(cf::Array{loginItem((host::preferencePanesDir() / "TarnwickPref.prefPane" /
                                         "Contents" / "Resources" / "TarnwickStartup.app")
                                            .string())});
    const RunResult loggedIn = run({tool("loginwindow")});
    EXPECT_EQ(loggedIn.status, 0) << loggedIn.output;
    EXPECT_CONTAINS(loggedIn.output, "TarnwickStartup.app exited with status 0");

    // A waiting tarnwickctl gets the pane once the holder has quit.
    Child waiting(tarnwickctl("60", {"list"}));
    ASSERT_TRUE(waiting.readUntil("waiting up to 60 s")) << waiting.output();
    kill(holder.pid(), SIGTERM);
    EXPECT_EQ(holder.wait(), 0) << holder.output();
    EXPECT_EQ(waiting.wait(), 0) << waiting.output();
    EXPECT_CONTAINS(waiting.output(), "Cards:");

    // A killed holder frees the session.
    Child killed({tool("prefhost")});
    ASSERT_TRUE(killed.readUntil("prefhost: showing")) << killed.output();
    kill(killed.pid(), SIGKILL);
    killed.wait();
    const RunResult after = run(tarnwickctl("0", {"list"}));
    EXPECT_EQ(after.status, 0) << after.output;
}

// What may be planted in the lock file's place: "Symlink", "Fifo" or "Folder".
class PaneSessionLockFile : public ::testing::TestWithParam<std::string> {};

TEST_P(PaneSessionLockFile, AnythingButARegularFileIsRefusedWithoutBlocking) {
    TempSimMac mac;
    ASSERT_TRUE(installBuiltPane());
    const fs::path lock = mac.root() / "pane-session.lock";
    const fs::path target = mac.root() / "elsewhere";
    if (GetParam() == "Symlink") fs::create_symlink(target, lock);
    if (GetParam() == "Fifo") {
        ASSERT_EQ(mkfifo(lock.c_str(), 0644), 0);
    }
    if (GetParam() == "Folder") fs::create_directory(lock);
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{tool("prefhost")}, tarnwickctl("0", {"list"})}) {
        const RunResult r = run(argv);
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_CONTAINS(r.output, lock.string());
        EXPECT_LACKS(r.output, "showing");
        EXPECT_LACKS(r.output, "Cards");
    }
    EXPECT_FALSE(fs::exists(target));
    EXPECT_FALSE(readDomain("name.halvorn.oddny.TarnwickPref").has_value())
        << "no session began, so nothing was saved";
}

INSTANTIATE_TEST_SUITE_P(Cases, PaneSessionLockFile, ::testing::Values("Symlink", "Fifo", "Folder"),
                         [](const auto& info) { return info.param; });

}  // namespace
