// NSLog: the record format, the newline rule, where a record goes (the
// system log, stderr when asked or when the log cannot take it), and
// concurrent writers.
#include <unistd.h>

#include <regex>
#include <sstream>

#include "host/Log.h"
#include "host/SimMac.h"
#include "support/Child.h"
#include "support/SimMacFixture.h"

using testsupport::readFile;

namespace {

const std::regex kRecord(
    R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) ([^\[\n]+)\[(\d+)\] (.*))");

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(NSLog, WritesOneTimestampedRecordToTheSystemLogAndStderr) {
    testsupport::TempSimMac scratch;
    host::setLogProgramName("TarnwickStartup");
    host::setLogEchoToStderr(true);
    ::testing::internal::CaptureStderr();
    NSLog("Tarnwick: error %x writing to the I/O Registry\n", 0xE00002C2u);
    const std::string err = ::testing::internal::GetCapturedStderr();
    host::setLogEchoToStderr(false);
    host::setLogProgramName("");

    const std::string log = readFile(host::systemLogPath());
    EXPECT_EQ(log, err);
    const auto all = lines(log);
    ASSERT_EQ(all.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(all[0], m, kRecord)) << all[0];
    EXPECT_EQ(m[8], "TarnwickStartup");
    EXPECT_EQ(m[9], std::to_string(getpid()));
    EXPECT_EQ(m[10], "Tarnwick: error e00002c2 writing to the I/O Registry");
    EXPECT_EQ(log.back(), '\n');
}

TEST(NSLog, AddsANewlineOnlyWhenTheTextLacksOne) {
    testsupport::TempSimMac scratch;
    ::testing::internal::CaptureStderr();
    NSLog("without newline %d", 1);
    NSLog("with newline %d\n", 2);
    NSLog("two trailing newlines\n\n");
    NSLog("%s", "");
    ::testing::internal::GetCapturedStderr();

    const std::string log = readFile(host::systemLogPath());
    const auto all = lines(log);
    ASSERT_EQ(all.size(), 5u) << log;  // the third record ends with an empty line of its own
    std::smatch m;
    ASSERT_TRUE(std::regex_match(all[0], m, kRecord));
    EXPECT_EQ(m[10], "without newline 1");
    ASSERT_TRUE(std::regex_match(all[1], m, kRecord));
    EXPECT_EQ(m[10], "with newline 2");
    ASSERT_TRUE(std::regex_match(all[2], m, kRecord));
    EXPECT_EQ(m[10], "two trailing newlines");
    EXPECT_EQ(all[3], "");
    ASSERT_TRUE(std::regex_match(all[4], m, kRecord));
    EXPECT_EQ(m[10], "");
    // The default name is the program's own.
    EXPECT_EQ(m[8], std::filesystem::read_symlink("/proc/self/exe").filename().string());
}

TEST(NSLog, KeepsTheTextExactlyAsFormatted) {
    testsupport::TempSimMac scratch;
    const std::string longText(5000, 'x');
    ::testing::internal::CaptureStderr();
    NSLog("%%d stays, tabs\tstay, %s, %.2f", longText.c_str(), 1.005f);
    ::testing::internal::GetCapturedStderr();
    const auto all = lines(readFile(host::systemLogPath()));
    ASSERT_EQ(all.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(all[0], m, kRecord));
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.2f", 1.005f);
    EXPECT_EQ(m[10], "%d stays, tabs\tstay, " + longText + ", " + expected);
}

// A record always reaches the system log or stderr; stderr gets it only
// when the program is asked to be verbose, or when the log cannot take it.
TEST(NSLog, GoesToStderrOnlyWhenAskedOrWhenTheSystemLogCannotTakeIt) {
    enum class Log { File, Folder, LinkOutside };
    // `verboseVariable`: TARNWICK_VERBOSE's value, nullptr: unset; `echo`: as
    // with --verbose; `log`: what system.log is.
    const auto check = [](const char* name, const char* verboseVariable, bool echo, Log log,
                          bool inLog, bool onStderr) {
        SCOPED_TRACE(name);
        testsupport::TempSimMac scratch;
        testsupport::TempSimMac outside;  // another folder, not the simulated Mac's
        ::setenv("SIMMAC_ROOT", scratch.root().c_str(), 1);
        const auto outsideFile = outside.root() / "elsewhere.txt";
        testsupport::writeFile(outsideFile, "untouched\n");
        std::filesystem::create_directories(host::logsDir());
        if (log == Log::Folder) std::filesystem::create_directory(host::systemLogPath());
        if (log == Log::LinkOutside)
            std::filesystem::create_symlink(outsideFile, host::systemLogPath());
        if (verboseVariable) ::setenv("TARNWICK_VERBOSE", verboseVariable, 1);
        host::setLogEchoToStderr(echo);

        ::testing::internal::CaptureStderr();
        NSLog("where does it go");
        const std::string err = ::testing::internal::GetCapturedStderr();
        host::setLogEchoToStderr(false);
        ::unsetenv("TARNWICK_VERBOSE");

        const std::string text = log == Log::File ? readFile(host::systemLogPath()) : std::string();
        EXPECT_EQ(text.find("] where does it go\n") != std::string::npos, inLog) << text;
        EXPECT_EQ(err.find("] where does it go\n") != std::string::npos, onStderr) << err;
        if (inLog && onStderr) {
            EXPECT_EQ(text, err);
        }
        EXPECT_EQ(readFile(outsideFile), "untouched\n");
    };
    check("quiet by default", nullptr, false, Log::File, true, false);
    check("TARNWICK_VERBOSE=1", "1", false, Log::File, true, true);
    check("TARNWICK_VERBOSE=0", "0", false, Log::File, true, false);
    check("TARNWICK_VERBOSE empty", "", false, Log::File, true, false);
    check("--verbose", nullptr, true, Log::File, true, true);
    check("system.log is a folder", nullptr, false, Log::Folder, false, true);
    check("system.log links outside", nullptr, false, Log::LinkOutside, false, true);
}

TEST(NSLog, CreatesTheLogsFolderAndAppends) {
    testsupport::TempSimMac scratch;
    ASSERT_FALSE(std::filesystem::exists(host::logsDir()));
    ::testing::internal::CaptureStderr();
    NSLog("one");
    NSLog("two");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines(readFile(host::systemLogPath())).size(), 2u);
}

// Two processes log at once, with records long enough that a record written
// in pieces would be cut by the other's. Every record must arrive whole.
TEST(NSLog, RecordsOfConcurrentProcessesNeverInterleave) {
    testsupport::TempSimMac scratch;
    constexpr int kRecordsEach = 1500;
    std::vector<pid_t> children;
    for (char tag : {'A', 'B'}) {
        children.push_back(testsupport::forkChild([tag] {
            // Silence stderr in the child; the file is what is checked.
            freopen("/dev/null", "w", stderr);
            for (int i = 0; i < kRecordsEach; ++i) {
                const std::string body(i % 3 == 0 ? 9000 : 300, tag);
                NSLog("%c %d %s end", tag, i, body.c_str());
            }
        }));
        ASSERT_GT(children.back(), 0);
    }
    for (pid_t pid : children) ASSERT_EQ(testsupport::waitFor(pid), 0);

    const auto all = lines(readFile(host::systemLogPath()));
    ASSERT_EQ(all.size(), 2u * kRecordsEach);
    std::map<char, int> next{{'A', 0}, {'B', 0}};
    std::map<char, std::string> pidOf;
    for (const std::string& line : all) {
        // Only the record's head goes through the regex: std::regex recurses
        // per character and would overflow the stack on 9000-character texts.
        const std::size_t headEnd = line.find("] ");
        ASSERT_NE(headEnd, std::string::npos) << line.substr(0, 120);
        const std::string head = line.substr(0, headEnd + 2);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(head, m, kRecord)) << line.substr(0, 120);
        const std::string text = line.substr(headEnd + 2);
        const char tag = text[0];
        ASSERT_TRUE(tag == 'A' || tag == 'B') << text.substr(0, 40);
        const int i = next[tag]++;
        const std::string body(i % 3 == 0 ? 9000 : 300, tag);
        ASSERT_EQ(text, std::string(1, tag) + " " + std::to_string(i) + " " + body + " end");
        if (pidOf[tag].empty()) pidOf[tag] = m[9];
        EXPECT_EQ(pidOf[tag], m[9]);
    }
    EXPECT_EQ(next['A'], kRecordsEach);
    EXPECT_EQ(next['B'], kRecordsEach);
    EXPECT_NE(pidOf['A'], pidOf['B']);
}

}  // namespace
