// The pane's restore at open goes through the guard of the saved clocks:
// while a reapply never finished, the pane opens as with the Option key
// held, says what happened, and clears the record when it saves.

#include "support/OpenPane.h"

using namespace testsupport;

namespace {

const std::string kDriver = driverPath("ATY,Card");
// Where the startup tool and the pane record a reapply under way.
constexpr const char* kStartupToolReapplyDomain = "name.halvorn.oddny.TarnwickStartup";
constexpr const char* kPaneReapplyDomain = "name.halvorn.oddny.TarnwickPref.Reapply";
constexpr const char* kReapplyInProgressKey = "Reapply In Progress";

class PaneGuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        mac.writeMachine(machine({atiEntry(ATIDevice{})}));
        const std::string model = modelShownForFirstCard();
        ASSERT_FALSE(model.empty());
        // The card runs at 225 MHz; 247.5 / 234 MHz are saved, stock 180 MHz.
        writePaneDomain(true, {savedCardEntry("SLOT-1", model, 247.5f, 234.0f, 180.0f, 225.0f)});
    }
    bool recorded(const char* domain) const {
        const std::optional<cf::Dictionary> d = readDomain(domain);
        return d && d->contains(kReapplyInProgressKey);
    }
    TempSimMac mac;
};

TEST_F(PaneGuardTest, AfterAnUnfinishedReapplyThePaneRestoresNothingExplainsAndClearsItAtQuit) {
    // A login whose process has gone without clearing its record.
    cf::Dictionary record;
    record.set("When", std::string("at login"));
    record.set("Process", cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0));
    record.set("Process Start", cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0));
    cf::Dictionary domain;
    domain.set(kReapplyInProgressKey, record);
    NSUserDefaults::standardUserDefaults().setPersistentDomain(domain, kStartupToolReapplyDomain);

    const std::size_t before = mac.commandCount();
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    EXPECT_TRUE(mac.pllWrites(kDriver, before).empty());
    EXPECT_EQ(pane.field("vpuTextField").stringValue(), "225.00");
    EXPECT_EQ(pane.field("vpuPercentTextField").stringValue(), "25.0")
        << "stock taken from the entry, as with the Option key";
    const std::vector<NSAlertRecord> alerts = host::shownAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].messageText, "The saved clocks were not applied.");
    ASSERT_TRUE(alerts[0].informativeText);
    // After the hang's reboot the cards run at stock, where Back to Stock is
    // dimmed: the text does not send the user there.
    EXPECT_EQ(alerts[0].informativeText->find("Back to Stock"), std::string::npos);
    EXPECT_TRUE(recorded(kStartupToolReapplyDomain)) << "kept until the pane saves";

    pane.quit();
    EXPECT_FALSE(recorded(kStartupToolReapplyDomain));
    const cf::Array cards = savedCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(floatOf(*cards[0].dictionary(), "VPU"), 225.0f) << "the clocks the card runs at now";
}

TEST_F(PaneGuardTest, ARestoreThatFinishesLeavesNoRecordAndNoAlert) {
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    EXPECT_EQ(mac.registers(kDriver).at("PLL"), pllWord(12, 104, 110));
    EXPECT_TRUE(host::shownAlerts().empty());
    EXPECT_FALSE(recorded(kPaneReapplyDomain));
    EXPECT_FALSE(recorded(kStartupToolReapplyDomain));
}

}  // namespace
