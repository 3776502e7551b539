// scripts/install-pane.sh: installs a whole pane bundle into the simulated
// Mac, replaces an earlier install completely, and refuses half bundles.

#include "support/Child.h"
#include "host/SimMac.h"
#include "support/SimMacFixture.h"

namespace fs = std::filesystem;

using namespace testsupport;

namespace {

// The parts of a pane bundle the installer checks, with `version` inside.
fs::path makePane(const fs::path& dir, const std::string& version) {
    fs::path pane = dir / "TarnwickPref.prefPane";
    const fs::path c = pane / "Contents";
    writeFile(c / "Info.plist", "<plist>" + version + "</plist>");
    writeFile(c / "MacOS" / "TarnwickPref", version, true);
    writeFile(c / "Resources" / "TarnwickStartup.app" / "Contents" / "Info.plist", version);
    writeFile(c / "Resources" / "TarnwickStartup.app" / "Contents" / "MacOS" / "TarnwickStartup",
              version, true);
    return pane;
}

fs::path installed() { return host::preferencePanesDir() / "TarnwickPref.prefPane"; }

RunResult install(const fs::path& pane) {
    return run({"/bin/bash", script("install-pane.sh"), pane.string()});
}

int leftovers() {
    int n = 0;
    for (const auto& e : fs::directory_iterator(host::preferencePanesDir()))
        if (e.path().filename() != "TarnwickPref.prefPane") ++n;
    return n;
}

}  // namespace

TEST(InstallPane, InstallsThenReplacesWholeBundle) {
    TempSimMac mac;
    const fs::path first = makePane(mac.root() / "build1", "one");
    writeFile(first / "Contents" / "Resources" / "Stale.txt", "only in the first build");

    auto result = install(first);
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(readFile(installed() / "Contents" / "MacOS" / "TarnwickPref"), "one");
    EXPECT_TRUE(fs::exists(installed() / "Contents" / "Resources" / "Stale.txt"));
    EXPECT_EQ(fs::status(installed() / "Contents" / "MacOS" / "TarnwickPref").permissions() &
                  fs::perms::owner_exec,
              fs::perms::owner_exec);

    const fs::path second = makePane(mac.root() / "build2", "two");
    result = install(second);
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(readFile(installed() / "Contents" / "MacOS" / "TarnwickPref"), "two");
    EXPECT_EQ(readFile(installed() / "Contents" / "Resources" / "TarnwickStartup.app" / "Contents" /
                       "MacOS" / "TarnwickStartup"),
              "two");
    EXPECT_FALSE(fs::exists(installed() / "Contents" / "Resources" / "Stale.txt"));
    EXPECT_EQ(leftovers(), 0);
}

TEST(InstallPane, RefusesIncompleteBundleAndKeepsInstalledOne) {
    TempSimMac mac;
    ASSERT_EQ(install(makePane(mac.root() / "good", "good")).status, 0);

    const fs::path half = makePane(mac.root() / "half", "half");
    fs::remove_all(half / "Contents" / "Resources" / "TarnwickStartup.app");
    const auto result = install(half);
    EXPECT_NE(result.status, 0);
    EXPECT_CONTAINS(result.output, "missing Contents/Resources/TarnwickStartup.app");
    EXPECT_EQ(readFile(installed() / "Contents" / "MacOS" / "TarnwickPref"), "good");
    EXPECT_EQ(leftovers(), 0);

    const auto none = install(mac.root() / "nothing");
    EXPECT_NE(none.status, 0);
    EXPECT_EQ(readFile(installed() / "Contents" / "MacOS" / "TarnwickPref"), "good");
}
