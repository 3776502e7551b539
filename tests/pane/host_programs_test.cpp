// prefhost and tarnwickctl as a person starts them: what prefhost says with
// no display, Qt's notes about its environment kept from the user, and the
// pictures prefhost takes for the README.

#include "support/Child.h"
#include "host/Foundation.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

namespace fs = std::filesystem;

bool isPNG(const fs::path& path) {
    return readFile(path).substr(0, 8) == std::string("\x89PNG\r\n\x1a\n", 8);
}

TEST(HostPrograms, PrefhostWithoutADisplayNamesWhatToUseInstead) {
    TempSimMac mac;
    ASSERT_TRUE(installBuiltPane());
    const RunResult r = run({"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u",
                             "QT_QPA_PLATFORM", tool("prefhost")});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_CONTAINS(r.output, "prefhost: no display");
    EXPECT_CONTAINS(r.output, "tarnwickctl");
    EXPECT_CONTAINS(r.output, "xvfb-run prefhost");
    EXPECT_LACKS(r.output, "platform plugin");
    EXPECT_FALSE(readDomain("name.halvorn.oddny.TarnwickPref").has_value())
        << "no pane was opened, so nothing was saved";
}

TEST(HostPrograms, QtsEnvironmentNotesDoNotReachTheUser) {
    TempSimMac mac;
    ASSERT_TRUE(installBuiltPane());
    const fs::path pane = mac.root() / "pane.png";
    const fs::path help = mac.root() / "help.png";
    const std::vector<RunResult> runs = {
        run({"/usr/bin/env", "-u", "XDG_RUNTIME_DIR", tool("tarnwickctl"), "list"}),
        run({"/usr/bin/env", "-u", "XDG_RUNTIME_DIR", tool("prefhost"), "--screenshot",
             pane.string(), "--screenshot-help", help.string()}),
    };
    for (const RunResult& r : runs) {
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_LACKS(r.output, "XDG_RUNTIME_DIR");
        EXPECT_LACKS(r.output, "This plugin does not support");
    }
    // The pictures of the pane and of its help book in the help viewer.
    EXPECT_TRUE(isPNG(pane));
    EXPECT_TRUE(isPNG(help));
    EXPECT_CONTAINS(runs[1].output, "prefhost: saved " + help.string());
}

// The system's log lines (the NVIDIA card's debug lines among them) stay in
// system.log unless a program is asked to be verbose.
TEST(HostPrograms, LogLinesReachStderrOnlyWhenAsked) {
    TempSimMac mac;
    ASSERT_TRUE(installBuiltPane());
    const auto check = [](const std::vector<std::string>& argv, bool echoed) {
        const RunResult r = run(argv);
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.find("GM ") != std::string::npos, echoed) << argv.back() << r.output;
    };
    check({tool("tarnwickctl"), "list"}, false);
    check({tool("tarnwickctl"), "list", "--verbose"}, true);
    check({tool("tarnwickctl"), "--verbose", "list"}, true);
    check({"/usr/bin/env", "TARNWICK_VERBOSE=1", tool("tarnwickctl"), "list"}, true);
    EXPECT_CONTAINS(mac.systemLog(), "GM ");
}

}  // namespace
