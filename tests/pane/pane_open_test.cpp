// Opening the pane: discovery, restoring the saved clocks (or not, with the
// Option key), the card table and the help book.

#include <cmath>

#include "support/OpenPane.h"
#include "support/IOKitCalls.h"

using namespace testsupport;

namespace {

const std::string kDriverA = driverPath("ATY,CardA");
const std::string kDriverB = driverPath("ATY,CardB");

class PaneOpenTest : public ::testing::Test {
protected:
    void SetUp() override {
        mac.writeMachine(machine({atiEntry({.entryName = "ATY,CardA", .slotName = "SLOT-1"}),
                                  atiEntry({.entryName = "ATY,CardB", .slotName = "SLOT-2"})}));
        model = modelShownForFirstCard();
        ASSERT_FALSE(model.empty());
    }
    TempSimMac mac;
    std::string model;
};

// The window is up with the cards listed before their saved clocks are put
// back: until then the controls are dimmed and the progress indicator runs.
TEST_F(PaneOpenTest, TheSavedClocksComeBackOnceThePaneIsShown) {
    writePaneDomain(false, {savedCardEntry("SLOT-1", model, 247.5f, 234.0f, 225.0f, 225.0f)});
    OpenPane pane(/*optionKey=*/false, paneBundlePath(), /*select=*/false);
    ASSERT_TRUE(pane.loaded());
    const auto& progress = pane.outlet<NSProgressIndicator>("restoreProgressIndicator");
    EXPECT_TRUE(mac.pllWrites(kDriverA).empty());
    EXPECT_EQ(pane.table().numberOfRows(), 2);
    EXPECT_FALSE(pane.vpuStepper().isEnabled() || pane.button("startupCheckbox").isEnabled());
    EXPECT_TRUE(progress.isAnimating());
    pane.pane().didSelect();
    EXPECT_EQ(mac.pllWrites(kDriverA).size(), 10u);
    EXPECT_TRUE(pane.vpuStepper().isEnabled() && pane.button("startupCheckbox").isEnabled());
    EXPECT_FALSE(progress.isAnimating());
    EXPECT_EQ(pane.field("vpuTextField").stringValue(), "247.50");
}

TEST_F(PaneOpenTest, EachCardGetsItsOwnSavedClocksGraduallyAndTheShownFieldsFollow) {
    // 234 MHz memory (fb 104), 247.5 MHz core (fb 110) for slot 1; 216 MHz
    // core (fb 96) for slot 2, memory as is.
    writePaneDomain(false, {savedCardEntry("SLOT-1", model, 247.5f, 234.0f, 225.0f, 225.0f),
                            savedCardEntry("SLOT-2", model, 216.0f, 225.0f, 225.0f, 225.0f)});
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());

    const std::vector<std::uint32_t> a = mac.pllWrites(kDriverA);
    ASSERT_EQ(a.size(), 10u) << "one divider unit per command";
    EXPECT_EQ(a.front(), pllWord(12, 101, 101));
    EXPECT_EQ(a.back(), pllWord(12, 104, 110));
    EXPECT_EQ(mac.registers(kDriverA).at("PLL"), pllWord(12, 104, 110));
    const std::vector<std::uint32_t> b = mac.pllWrites(kDriverB);
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(b.back(), pllWord(12, 100, 96));

    EXPECT_EQ(pane.table().selectedRow(), 0);
    EXPECT_EQ(pane.field("vpuTextField").stringValue(), "247.50");
    EXPECT_EQ(pane.field("memoryTextField").stringValue(), "234.00");
    EXPECT_EQ(pane.field("vpuPercentTextField").stringValue(), "10.0");
    EXPECT_EQ(pane.field("memPercentTextField").stringValue(), "4.0");
    EXPECT_DOUBLE_EQ(pane.vpuStepper().doubleValue(), 247.5);
    EXPECT_TRUE(pane.button("defaultButton").isEnabled());
    EXPECT_EQ(pane.field("versionTextField").stringValue(), "1.0.6b");

    // The other row shows the other card.
    ASSERT_TRUE(pane.table().selectRow(1));
    EXPECT_EQ(pane.field("vpuTextField").stringValue(), "216.00");
    EXPECT_EQ(pane.field("vpuPercentTextField").stringValue(), "-4.0");
    EXPECT_DOUBLE_EQ(pane.vpuStepper().doubleValue(), 216.0);
}

TEST_F(PaneOpenTest, OptionKeySkipsOnlyTheClocksStockAndStartupFlagStillComeFromTheDomain) {
    // The cards run at 225 MHz (raised at the last login, say); the entry
    // knows the real stock core clock, 180 MHz.
    writePaneDomain(true, {savedCardEntry("SLOT-1", model, 247.5f, 234.0f, 180.0f, 0.0f)});
    const std::size_t before = mac.commandCount();
    OpenPane pane(/*optionKey=*/true);
    ASSERT_TRUE(pane.loaded());

    EXPECT_TRUE(mac.pllWrites(kDriverA, before).empty());
    EXPECT_EQ(mac.registers(kDriverA).at("PLL"), pllWord(12, 100, 100));
    EXPECT_EQ(pane.field("vpuTextField").stringValue(), "225.00");
    EXPECT_EQ(pane.field("vpuPercentTextField").stringValue(), "25.0")
        << "stock taken from the entry";
    EXPECT_EQ(pane.field("memPercentTextField").stringValue(), "0.0")
        << "missing stock from the card";
    EXPECT_EQ(pane.button("startupCheckbox").state(), NSControlStateValueOn);

    // Quitting keeps the entry's stock, not the raised clocks.
    pane.quit();
    const cf::Dictionary settings = savedSettings();
    const cf::Array cards = savedCards(settings);
    ASSERT_EQ(cards.size(), 2u);
    const cf::Dictionary& slot1 = *cards[1].dictionary();
    EXPECT_EQ(stringOf(slot1, "Slot"), "SLOT-1");
    EXPECT_EQ(floatOf(slot1, "Stock VPU"), 180.0f);
    EXPECT_EQ(floatOf(slot1, "VPU"), 225.0f);
    EXPECT_TRUE(cf::boolValue(settings.get("Set at Startup")));
}

TEST_F(PaneOpenTest, OptionKeyTakesNoStockFromEntriesWhoseClocksNoCardCanRunAndLogsThem) {
    // Stock 180 MHz would show as 25 % above stock if it were taken.
    writePaneDomain(false, {savedCardEntry("SLOT-1", model, std::nanf(""), 234.0f, 180.0f, 180.0f),
                            savedCardEntry("SLOT-2", model, 247.5f, -225.0f, 180.0f, 180.0f)});
    OpenPane pane(/*optionKey=*/true);
    ASSERT_TRUE(pane.loaded());
    for (int row : {0, 1}) {
        ASSERT_TRUE(pane.table().selectRow(row));
        EXPECT_EQ(pane.field("vpuPercentTextField").stringValue(), "0.0") << "row " << row;
        EXPECT_EQ(pane.field("memPercentTextField").stringValue(), "0.0") << "row " << row;
    }
    const std::string log = mac.systemLog();
    std::size_t lines = 0;
    for (std::size_t at = log.find("Tarnwick: saved card entry ignored"); at != std::string::npos;
         at = log.find("Tarnwick: saved card entry ignored", at + 1))
        ++lines;
    EXPECT_EQ(lines, 2u);
}

TEST_F(PaneOpenTest, EntriesThatMatchNoCardOrAnotherModelChangeNothing) {
    writePaneDomain(false,
                    {savedCardEntry("SLOT-1", model + " Pro", 247.5f, 234.0f, 180.0f, 180.0f),
                     savedCardEntry("SLOT-9", model, 247.5f, 234.0f, 180.0f, 180.0f)});
    const std::size_t before = mac.commandCount();
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    EXPECT_TRUE(mac.pllWrites(kDriverA, before).empty());
    EXPECT_TRUE(mac.pllWrites(kDriverB, before).empty());
    EXPECT_EQ(pane.field("vpuPercentTextField").stringValue(), "0.0")
        << "stock not taken from a mismatch";
    EXPECT_FALSE(pane.button("defaultButton").isEnabled());
    EXPECT_EQ(pane.button("startupCheckbox").state(), NSControlStateValueOff);
}

TEST_F(PaneOpenTest, TableListsSlotAndModelAndKeepsOneRowSelected) {
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    NSTableView& table = pane.table();
    ASSERT_EQ(table.numberOfRows(), 2);
    EXPECT_EQ(table.stringValue(0, 0), "SLOT-1");
    EXPECT_EQ(table.stringValue(1, 0), "SLOT-2");
    EXPECT_EQ(table.stringValue(1, 1), model);
    EXPECT_EQ(table.selectedRow(), 0);
    EXPECT_FALSE(table.selectRow(2));
    EXPECT_EQ(table.selectedRow(), 0);
    EXPECT_TRUE(host::shownAlerts().empty());
}

TEST(PaneHandles, TheOpenPaneHoldsOnlyEachCardsDriverAndDeviceEntry) {
    TempSimMac mac;
    mac.writeMachine(machine({atiEntry(ATIDevice{}), otherVendorCard("Other,Card", "SLOT-2")}));
    const io_object_t first = nextRegistryHandle("ATY,Card");
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    const io_object_t end = nextRegistryHandle("ATY,Card") - 1;
    // Only the kept card's driver and device entry.
    EXPECT_EQ(livePaths(first, end),
              (std::vector<std::string>{"IOService:/ATY,Card", driverPath("IOService:/ATY,Card")}));
}

TEST_F(PaneOpenTest, HelpBookIsRegisteredAndTheHelpButtonOpensItsStartPage) {
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    std::optional<host::HelpBook> book;
    for (const host::HelpBook& b : host::registeredHelpBooks())
        if (b.name == "Tarnwick II Help") book = b;
    ASSERT_TRUE(book);
    EXPECT_EQ(std::filesystem::path(book->startPage).filename(), "index.html");

    pane.button("helpButton").performClick();
    const auto pages = host::openedHelpPages();
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0], book->startPage);

    // Every page the start page links to is in the book.
    const std::string text = readFile(book->startPage);
    int links = 0;
    const std::string marker = "href=\"";
    for (std::size_t at = text.find(marker); at != std::string::npos;
         at = text.find(marker, at + 1)) {
        const std::size_t start = at + marker.size();
        const std::string target = text.substr(start, text.find('"', start) - start);
        ++links;
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(book->folder) / target))
            << target;
    }
    EXPECT_GE(links, 5);
}

}  // namespace
