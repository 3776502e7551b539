// loginwindow: runs the "loginwindow" domain's login items in order, waits for
// each, reports outcomes, and tells an unreadable domain from an absent one.

#include "support/OpenPane.h"

namespace fs = std::filesystem;

using namespace testsupport;

namespace {

// An application bundle whose executable appends `tag` and the simulated
// Mac's root to `marker`, then exits with `status`.
fs::path makeApp(const fs::path& dir, const std::string& tag, const fs::path& marker, int status,
                 bool withExecutableKey = true) {
    fs::path app = dir / (tag + ".app");
    cf::Dictionary info;
    info.set("CFBundleIdentifier", "test." + tag);
    if (withExecutableKey) info.set("CFBundleExecutable", tag);
    std::string error;
    fs::create_directories(app / "Contents" / "MacOS");
    EXPECT_TRUE(cf::writePropertyListFileAtomically((app / "Contents" / "Info.plist").string(),
                                                    cf::Value(info), &error))
        << error;
    writeFile(app / "Contents" / "MacOS" / tag,
              "#!/bin/sh\necho \"" + tag + " $SIMMAC_ROOT\" >> '" + marker.string() + "'\nexit " +
                  std::to_string(status) + "\n",
              true);
    return app;
}

fs::path domainFile() { return testsupport::domainFile("loginwindow"); }

}  // namespace

TEST(LoginWindow, RunsItemsInOrderReportsStatusesAndSkipsWhatCannotRun) {
    TempSimMac mac;
    const fs::path apps = mac.root() / "Applications";
    const fs::path marker = mac.root() / "ran.txt";
    const fs::path first = makeApp(apps, "First", marker, 0);
    const fs::path second = makeApp(apps, "Second", marker, 3);
    const fs::path noExecutable = makeApp(apps, "Broken", marker, 0, /*withExecutableKey=*/false);
    const std::string missing = (apps / "Gone.app").string();

    writeLoginItems(cf::Array{loginItem(second.string(), true), loginItem(missing),
                              cf::Dictionary{},  // no Path at all
                              loginItem(noExecutable.string()), loginItem(first.string())},
                    with({}, "OtherKey", "kept"));
    const std::string before = readFile(domainFile());

    const auto result = run({tool("loginwindow")});
    ASSERT_EQ(result.status, 0) << result.output;

    // Both runnable items ran, in list order, on the same simulated Mac.
    const std::string root = mac.root().string();
    EXPECT_EQ(readFile(marker), "Second " + root + "\nFirst " + root + "\n");
    // Each outcome is reported, in order: each after the one before.
    std::size_t after = 0;
    for (const std::string& text :
         {second.string() + " exited with status 3", "skipped " + missing,
          std::string("item 3: skipped, no \"Path\""), "skipped " + noExecutable.string(),
          first.string() + " exited with status 0"}) {
        const std::size_t at = result.output.find(text, after);
        EXPECT_NE(at, std::string::npos) << "\"" << text << "\" after the one before in:\n"
                                         << result.output;
        after = at + 1;
    }
    // The login window only reads its domain.
    EXPECT_EQ(readFile(domainFile()), before);
}

TEST(LoginWindow, AnItemNotStartedOrKilledFailsTheLoginAfterTheOthersRan) {
    TempSimMac mac;
    const fs::path apps = mac.root() / "Applications";
    const fs::path marker = mac.root() / "ran.txt";
    const fs::path plain = makeApp(apps, "Plain", marker, 0);
    fs::permissions(plain / "Contents" / "MacOS" / "Plain",
                    fs::perms::owner_read | fs::perms::owner_write);
    const fs::path killer = makeApp(apps, "Killer", marker, 0);
    writeFile(killer / "Contents" / "MacOS" / "Killer",
              "#!/bin/sh\necho Killer >> '" + marker.string() + "'\nkill -KILL $$\n", true);
    const fs::path last = makeApp(apps, "Last", marker, 0);
    writeLoginItems(
        cf::Array{loginItem(plain.string()), loginItem(killer.string()), loginItem(last.string())});

    const auto result = run({tool("loginwindow")});
    EXPECT_EQ(result.status, 2) << result.output;
    EXPECT_EQ(readFile(marker), "Killer\nLast " + mac.root().string() + "\n");
    for (const std::string& outcome :
         {plain.string() + " could not be started: Permission denied",
          killer.string() + " killed by signal 9", last.string() + " exited with status 0",
          std::string("2 of 3 login items could not be started or were killed")}) {
        EXPECT_CONTAINS(result.output, outcome);
    }
}

TEST(LoginWindow, ListRunsNothing) {
    TempSimMac mac;
    const fs::path marker = mac.root() / "ran.txt";
    const fs::path app = makeApp(mac.root() / "Applications", "Only", marker, 0);
    writeLoginItems(cf::Array{loginItem(app.string(), true)});

    const auto result = run({tool("loginwindow"), "--list"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_CONTAINS(result.output, app.string() + " (hidden)");
    EXPECT_FALSE(fs::exists(marker));
}

// What the login window does with domains that hold no runnable list.
struct DomainCase {
    const char* name;
    const char* fileText;  // nullptr: no domain file at all
    int status;
    const char* expected;
};

// Names the case in test listings (the default prints the raw bytes).
void PrintTo(const DomainCase& c, std::ostream* os) { *os << c.name; }

class LoginWindowDomain : public ::testing::TestWithParam<DomainCase> {};

TEST_P(LoginWindowDomain, ExitStatusTellsAbsentFromUnreadable) {
    TempSimMac mac;
    const DomainCase& c = GetParam();
    if (c.fileText) writeFile(domainFile(), c.fileText);
    const auto result = run({tool("loginwindow")});
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_CONTAINS(result.output, c.expected);
}

// A domain file of one dictionary holding `keys`.
#define DOMAIN_FILE(keys) \
    "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" keys "</dict></plist>"

INSTANTIATE_TEST_SUITE_P(
    Cases, LoginWindowDomain,
    ::testing::Values(
        DomainCase{"NoDomain", nullptr, 0, "no login items"},
        DomainCase{"NoItemsKey", DOMAIN_FILE("<key>X</key><true/>"), 0, "no login items"},
        DomainCase{"EmptyList", DOMAIN_FILE("<key>AutoLaunchedApplicationDictionary</key><array/>"),
                   0, "no login items"},
        DomainCase{"NotAPropertyList", "this is not a property list", 1, "cannot read"},
        DomainCase{"ItemsNotAnArray",
                   DOMAIN_FILE("<key>AutoLaunchedApplicationDictionary</key>"
                               "<string>/Applications/X.app</string>"),
                   1, "is not an array"}),
    [](const auto& info) { return std::string(info.param.name); });
