// simmac log: the system log, all of it or its last lines, and with --follow
// what is added, also to a log that is created or replaced meanwhile; a
// missing log is empty; a link or a FIFO in its place is refused at once.
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill is POSIX, not in <csignal>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "host/Log.h"
#include "host/SimMac.h"
#include "support/Child.h"
#include "support/SimMacFixture.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

class SimmacLog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(simmac({"init"}).status, 0); }
    TempSimMac mac;
};

struct LogCase {
    const char* name;
    std::optional<std::string> log;  // nothing: no log file
    std::vector<std::string> args;
    std::string expected;
};

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

std::string numberedLines(int first, int last) {
    std::string text;
    for (int i = first; i <= last; ++i) text += "line " + std::to_string(i) + "\n";
    return text;
}

class SimmacLogCases : public SimmacLog, public ::testing::WithParamInterface<LogCase> {};

TEST_P(SimmacLogCases, PrintsTheLinesAsked) {
    const LogCase& c = GetParam();
    if (c.log) writeFile(host::systemLogPath(), *c.log);
    std::vector<std::string> arguments{"log"};
    arguments.insert(arguments.end(), c.args.begin(), c.args.end());
    const RunResult r = simmac(arguments);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimmacLogCases,
    ::testing::Values(LogCase{"NoLog", std::nullopt, {}, ""},
                      LogCase{"NoLogLast", std::nullopt, {"--last", "3"}, ""},
                      LogCase{"Whole", "a\nb\nc\n", {}, "a\nb\nc\n"},
                      LogCase{"LastTwo", "a\nb\nc\n", {"--last", "2"}, "b\nc\n"},
                      LogCase{"LastZero", "a\nb\nc\n", {"--last", "0"}, ""},
                      LogCase{"LastMoreThanThere", "a\nb\nc\n", {"--last", "10"}, "a\nb\nc\n"},
                      LogCase{"AnUnfinishedLineCounts", "a\nb\nc", {"--last", "2"}, "b\nc"},
                      LogCase{"EmptyLinesCount", "a\n\n\nb\n", {"--last", "3"}, "\n\nb\n"},
                      // Beyond one 64 KiB block read from the end.
                      LogCase{"LongLog",
                              numberedLines(1, 20000),
                              {"--last", "9000"},
                              numberedLines(11001, 20000)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimmacLog, ALinkOrAFifoInItsPlaceIsRefused) {
    const fs::path log = host::systemLogPath();
    fs::create_directories(log.parent_path());
    const fs::path outside = mac.root() / "outside.txt";
    writeFile(outside, "not the log\n");
    fs::create_symlink(outside, log);
    RunResult r = simmac({"log"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_CONTAINS(r.output, log.string() + ": it is a symbolic link");

    fs::remove(log);
    ASSERT_EQ(mkfifo(log.c_str(), 0644), 0);
    r = simmac({"log", "--follow"});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_CONTAINS(r.output, log.string() + ": it is not a regular file");
}

TEST_F(SimmacLog, FollowPrintsWhatIsAddedUntilInterrupted) {
    Child follower({tool("simmac"), "log", "--follow", "--last", "1"});
    ASSERT_TRUE(follower.started());
    // A follower that stops printing would keep the test waiting for good.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 300 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) kill(follower.pid(), SIGKILL);
    });

    // The log does not exist yet: it is picked up once it does (the follower
    // looks every 200 ms; by then it has looked at least once).
    ASSERT_FALSE(fs::exists(host::systemLogPath()));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    host::setLogProgramName("simmac_log_test");
    NSLog("first record");
    EXPECT_TRUE(follower.readUntil("simmac_log_test[")) << follower.output();
    EXPECT_TRUE(follower.readUntil("first record\n")) << follower.output();
    NSLog("second record");
    EXPECT_TRUE(follower.readUntil("second record\n")) << follower.output();
    // Replaced by a new file (as when a log is rotated): read from its start.
    const fs::path fresh = mac.root() / "fresh.log";
    writeFile(fresh, "after rotation\n");
    fs::rename(fresh, host::systemLogPath());
    EXPECT_TRUE(follower.readUntil("after rotation\n")) << follower.output();

    kill(follower.pid(), SIGINT);
    EXPECT_EQ(follower.wait(), 128 + SIGINT);
    done = true;
    watchdog.join();
    const std::string& out = follower.output();
    EXPECT_EQ(out.find("first record"), out.rfind("first record")) << "each line once: " << out;
}

}  // namespace
