// Quitting: the saved card settings, the pane with no cards, and the login
// item in the "loginwindow" domain.

#include <fstream>

#include "support/OpenPane.h"

using namespace testsupport;

namespace {

std::string startupToolPath(const std::filesystem::path& bundle = paneBundlePath()) {
    auto paneBundle = NSBundle::bundleWithPath(bundle.string());
    auto path = paneBundle ? paneBundle->pathForResource("TarnwickStartup", "app") : std::nullopt;
    EXPECT_TRUE(path) << "TarnwickStartup.app is missing from the built pane";
    return path.value_or("");
}

TEST(PaneSaveTest, TwoCardsAreSavedLastCardFirstWithTheirOwnKeys) {
    TempSimMac mac;
    mac.writeMachine(machine({atiEntry({}), nv4xEntry("NVDA,Card", "SLOT-2")}));
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    ASSERT_EQ(pane.table().numberOfRows(), 2);
    pane.button("startupCheckbox").performClick();
    pane.vpuStepper().click(+1);
    pane.quit();

    const cf::Dictionary settings = savedSettings();
    EXPECT_TRUE(cf::boolValue(settings.get("Set at Startup")));
    const cf::Array cards = savedCards(settings);
    ASSERT_EQ(cards.size(), 2u);
    const cf::Dictionary& first = *cards[0].dictionary();
    const cf::Dictionary& second = *cards[1].dictionary();
    EXPECT_EQ(stringOf(first, "Slot"), "SLOT-2");
    EXPECT_EQ(first.size(), 12u) << "NVIDIA entries carry the stock PLL words";
    EXPECT_EQ(stringOf(second, "Slot"), "SLOT-1");
    EXPECT_EQ(second.size(), 6u);
    EXPECT_EQ(floatOf(second, "VPU"), 227.25f);
    EXPECT_EQ(floatOf(second, "Stock VPU"), 225.0f);
}

TEST(PaneSaveTest, WithoutCardsTheControlsAreDisabledTheSheetExplainsAndQuittingStillSaves) {
    TempSimMac mac;
    // A driver instance whose card is of another vendor is skipped.
    cf::Dictionary other;
    other.set("vendor-id", dataU32(0x8086));
    mac.writeMachine(
        machine({entry("GFX0", other, {driverEntry("ATI", {{"PLL", pllWord(12, 100, 100)}})})}));
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    EXPECT_EQ(pane.table().numberOfRows(), 0);
    EXPECT_EQ(pane.table().selectedRow(), -1);
    for (const char* name : {"vpuStepper", "memoryStepper", "vpuTextField", "vpuPercentTextField",
                             "memoryTextField", "memPercentTextField", "startupCheckbox"})
        EXPECT_FALSE(pane.pane().outletNamed(name)->isEnabled()) << name;
    EXPECT_EQ(pane.outlet<NSScrollView>("cardsScrollView").focusRingType(), NSFocusRingTypeNone);
    EXPECT_EQ(pane.field("versionTextField").stringValue(), "1.0.6b");

    const auto alerts = host::shownAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].messageText, paneString("NO_CARD_MESSAGE"));
    ASSERT_TRUE(alerts[0].informativeText);
    EXPECT_EQ(*alerts[0].informativeText, paneString("NO_CARD_INFO_TEXT"));
    EXPECT_NE(*alerts[0].informativeText, "Key not found");

    // A disabled checkbox does not change; the actions find no card.
    pane.button("startupCheckbox").performClick();
    pane.button("defaultButton").performClick();
    pane.quit();
    const cf::Dictionary settings = savedSettings();
    EXPECT_EQ(settings.size(), 2u);
    ASSERT_TRUE(settings.get("Set at Startup") && settings.get("Set at Startup")->boolean());
    EXPECT_FALSE(*settings.get("Set at Startup")->boolean());
    EXPECT_TRUE(savedCards(settings).empty());
    const auto login = readDomain("loginwindow");
    ASSERT_TRUE(login) << "the login item is updated too";
    EXPECT_EQ(login->size(), 1u);
    EXPECT_TRUE(mac.driverLog().empty());
}

// Every case of the login item, with another key of the domain that must
// survive. Entries are written as (path, hide); "TOOL" stands for the
// startup tool's path inside the pane.
struct LoginCase {
    const char* name;
    bool hasDomain;
    std::vector<std::pair<std::string, bool>> before;
    bool checkbox;
    std::vector<std::pair<std::string, bool>> after;
};

// Test output names the case, not its bytes.
void PrintTo(const LoginCase& c, std::ostream* os) { *os << c.name; }

class LoginItemTest : public ::testing::TestWithParam<LoginCase> {};

TEST_P(LoginItemTest, QuittingUpdatesTheLoginItemAndKeepsEverythingElse) {
    const LoginCase& c = GetParam();
    TempSimMac mac;
    mac.writeMachine(machine({atiEntry({})}));
    const std::string tool = startupToolPath();
    auto expand = [&](const std::vector<std::pair<std::string, bool>>& items) {
        cf::Array array;
        for (const auto& [path, hide] : items)
            array.push_back(loginItem(path == "TOOL" ? tool : path, hide));
        return array;
    };
    if (c.hasDomain) writeLoginItems(expand(c.before), with({}, "OtherKey", "kept"));
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    if (c.checkbox) pane.button("startupCheckbox").performClick();
    ASSERT_EQ(pane.pane().valueForKey("startupCheckboxState").value_or(-1), c.checkbox ? 1 : 0);
    pane.quit();

    const auto after = readDomain("loginwindow");
    ASSERT_TRUE(after);
    cf::Dictionary expected;
    if (c.hasDomain) expected.set("OtherKey", "kept");
    expected.set("AutoLaunchedApplicationDictionary", expand(c.after));
    EXPECT_EQ(*after, expected) << cf::toXMLPropertyList(*after);
}

const std::string kA = "/Applications/A.app", kC = "/Applications/C.app";
// The startup tool of a pane installed elsewhere.
const std::string kOtherInstall =
    "/Library/PreferencePanes/TarnwickPref.prefPane/Contents/Resources/TarnwickStartup.app";

using Items = std::vector<std::pair<std::string, bool>>;
LoginCase login(const char* name, bool hasDomain, Items before, bool checkbox, Items after) {
    return {name, hasDomain, std::move(before), checkbox, std::move(after)};
}

INSTANTIATE_TEST_SUITE_P(
    AllCases, LoginItemTest,
    ::testing::Values(login("OnWithoutDomain", false, {}, true, {{"TOOL", false}}),
                      login("OffWithoutDomain", false, {}, false, {}),
                      login("OnPresentHiddenInTheMiddleMovesToTheEnd", true,
                            {{kA, false}, {"TOOL", true}, {kC, true}}, true,
                            {{kA, false}, {kC, true}, {"TOOL", true}}),
                      login("OffPresentIsRemoved", true, {{kA, false}, {"TOOL", false}, {kC, true}},
                            false, {{kA, false}, {kC, true}}),
                      login("OffAbsentWritesTheSameBack", true, {{kA, true}}, false, {{kA, true}}),
                      login("OffTwoEntriesRemovesOnlyTheFirst", true,
                            {{"TOOL", true}, {"TOOL", false}}, false, {{"TOOL", false}}),
                      login("OnTwoEntriesMovesTheFirst", true,
                            {{"TOOL", true}, {kA, false}, {"TOOL", false}}, true,
                            {{kA, false}, {"TOOL", false}, {"TOOL", true}}),
                      login("OtherPaneInstallIsLeftAlone", true, {{kOtherInstall, true}}, true,
                            {{kOtherInstall, true}, {"TOOL", false}})),
    [](const ::testing::TestParamInfo<LoginCase>& info) { return std::string(info.param.name); });

TEST(PaneSaveTest, WithoutTheStartupToolTheLoginItemsStayAsTheyAre) {
    TempSimMac mac;
    mac.writeMachine(machine({atiEntry({})}));
    // A copy of the pane without TarnwickStartup.app.
    const std::filesystem::path copy = mac.root() / "Copy" / "TarnwickPref.prefPane";
    std::filesystem::create_directories(copy.parent_path());
    std::filesystem::copy(paneBundlePath(), copy, std::filesystem::copy_options::recursive);
    std::filesystem::remove_all(copy / "Contents" / "Resources" / "TarnwickStartup.app");

    const cf::Dictionary before = writeLoginItems(cf::Array{loginItem("/Applications/A.app")});
    {
        OpenPane pane(false, copy);
        ASSERT_TRUE(pane.loaded());
        pane.button("startupCheckbox").performClick();
        pane.quit();
    }
    EXPECT_EQ(readDomain("loginwindow"), std::optional<cf::Dictionary>(before));
    EXPECT_CONTAINS(mac.systemLog(), "TarnwickStartup.app is missing");
    // The settings themselves are still saved.
    EXPECT_TRUE(cf::boolValue(savedSettings().get("Set at Startup")));
}

}  // namespace
