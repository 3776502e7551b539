// Changing clocks from the pane: stepper clicks, their failure path, going
// back to stock, and the percentages shown.

#include <QAbstractSpinBox>

#include "support/OpenPane.h"

using namespace testsupport;

namespace {

const std::string kEntry = "ATY,Card";
const std::string kDriver = driverPath(kEntry);

class PaneClocksTest : public ::testing::Test {
protected:
    void open(const ATIDevice& setup = {}) {
        mac.writeMachine(machine({atiEntry(setup)}));
        pane = std::make_unique<OpenPane>();
        ASSERT_TRUE(pane->loaded());
    }
    TempSimMac mac;
    std::unique_ptr<OpenPane> pane;
};

TEST_F(PaneClocksTest, StepperClickSendsBothValuesInOneCommandAndShowsTheClocksReached) {
    open();
    const std::size_t before = mac.commandCount();
    EXPECT_FLOAT_EQ(pane->vpuStepper().increment(), 2.25);
    EXPECT_FALSE(pane->button("defaultButton").isEnabled());

    pane->vpuStepper().click(+1);  // 227.25 MHz: core divider 101
    EXPECT_EQ(mac.pllWrites(kDriver, before), (std::vector<std::uint32_t>{pllWord(12, 100, 101)}));
    EXPECT_EQ(pane->field("vpuTextField").floatValue(), 227.25f);
    EXPECT_EQ(pane->field("vpuTextField").stringValue(), "227.25");
    EXPECT_EQ(pane->field("vpuPercentTextField").stringValue(), "1.0");
    EXPECT_EQ(pane->field("memPercentTextField").stringValue(), "0.0");
    EXPECT_TRUE(pane->button("defaultButton").isEnabled()) << "at stock on one clock only";

    pane->memoryStepper().click(-2);  // 220.5 MHz: memory divider 98, core stays
    EXPECT_EQ(mac.pllWrites(kDriver, before).back(), pllWord(12, 98, 101));
    EXPECT_EQ(pane->field("memoryTextField").stringValue(), "220.50");
    EXPECT_EQ(pane->field("memPercentTextField").stringValue(), "-2.0");
    EXPECT_EQ(mac.registers(kDriver).at("PLL"), pllWord(12, 98, 101));
    EXPECT_TRUE(host::shownAlerts().empty());
}

TEST_F(PaneClocksTest, ArrowOfTheStepperWidgetIsTheSameClick) {
    open();
    auto* widget = dynamic_cast<QAbstractSpinBox*>(pane->vpuStepper().view());
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->objectName().toStdString(), "vpuStepper");
    const std::size_t before = mac.commandCount();
    widget->stepBy(1);  // what Qt does for a click on the up arrow
    EXPECT_EQ(mac.pllWrites(kDriver, before), (std::vector<std::uint32_t>{pllWord(12, 100, 101)}));
    EXPECT_EQ(pane->field("vpuTextField").stringValue(), "227.25");
    EXPECT_DOUBLE_EQ(pane->vpuStepper().doubleValue(), 227.25);
}

TEST_F(PaneClocksTest, SteppersStopBetweenOneClockStepAndTwiceStockWithoutWrapping) {
    open();
    NSStepper& vpu = pane->vpuStepper();
    EXPECT_FLOAT_EQ(vpu.minValue(), 2.25);
    EXPECT_FLOAT_EQ(vpu.maxValue(), 450.0);
    EXPECT_FALSE(vpu.valueWraps());
    vpu.setDoubleValue(1000.0);
    EXPECT_DOUBLE_EQ(vpu.doubleValue(), 450.0);
    vpu.setDoubleValue(0.0);
    EXPECT_DOUBLE_EQ(vpu.doubleValue(), 2.25);
}

TEST_F(PaneClocksTest, RefusedChangeRollsTheSteppersBackShowsTheSheetAndKeepsTheFields) {
    open({.faults = driverFaults({.refuseCommands = {2}})});  // WriteATIPLL always refused
    const std::size_t before = mac.commandCount();

    pane->vpuStepper().click(+3);
    pane->memoryStepper().click(+1);

    // Both commands reached the driver and were refused, each followed by a
    // read back of the word the card runs; nothing changed.
    const auto log = mac.driverLog();
    ASSERT_EQ(log.size(), before + 4);
    EXPECT_NE(log[before + 2].result, 0u);
    EXPECT_EQ(log.back().command, 0u);  // ReadATIPLL
    EXPECT_EQ(mac.registers(kDriver).at("PLL"), pllWord(12, 100, 100));
    EXPECT_DOUBLE_EQ(pane->vpuStepper().doubleValue(), 225.0);
    EXPECT_DOUBLE_EQ(pane->memoryStepper().doubleValue(), 225.0);
    EXPECT_EQ(pane->field("vpuTextField").stringValue(), "225.00");
    EXPECT_EQ(pane->field("memoryTextField").stringValue(), "225.00");
    EXPECT_EQ(pane->field("vpuPercentTextField").stringValue(), "0.0");

    const auto alerts = host::shownAlerts();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].messageText, paneString("CONFIG_FAILED"));
    EXPECT_NE(alerts[0].messageText, "Key not found");
    EXPECT_FALSE(alerts[0].informativeText);
    EXPECT_EQ(alerts[0].buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(alerts[0].sheet);
    EXPECT_EQ(std::filesystem::path(alerts[0].iconPath).filename(), "TarnwickIcon.tiff");
}

// The clocks Back to Stock reached are the ones in force: a failed change
// after it never sends the overclock from before the reset.
TEST_F(PaneClocksTest, FailureAfterBackToStockRollsBackToTheStockClocksReached) {
    open();
    pane->vpuStepper().click(+2);  // 229.5 MHz
    pane->button("defaultButton").performClick();
    EXPECT_DOUBLE_EQ(pane->vpuStepper().doubleValue(), 225.0);

    setDriverFaults(mac, kEntry, driverFaults({.refuseCommands = {2}}));
    pane->vpuStepper().click(+1);
    EXPECT_DOUBLE_EQ(pane->vpuStepper().doubleValue(), 225.0);
    EXPECT_EQ(pane->field("vpuTextField").stringValue(), "225.00");
    EXPECT_EQ(host::shownAlerts().size(), 1u);
}

TEST_F(PaneClocksTest, BackToStockGoesGraduallyAndSetsBothPercentagesToExactlyZero) {
    open();
    pane->vpuStepper().click(+3);
    pane->memoryStepper().click(+2);
    ASSERT_EQ(mac.registers(kDriver).at("PLL"), pllWord(12, 102, 103));
    ASSERT_TRUE(pane->button("defaultButton").isEnabled());
    const std::size_t before = mac.commandCount();

    pane->button("defaultButton").performClick();
    const auto writes = mac.pllWrites(kDriver, before);
    ASSERT_EQ(writes.size(), 3u) << "one divider unit per command";
    EXPECT_EQ(writes.back(), pllWord(12, 100, 100));
    EXPECT_EQ(pane->field("vpuPercentTextField").floatValue(), 0.0f);
    EXPECT_EQ(pane->field("memPercentTextField").floatValue(), 0.0f);
    EXPECT_EQ(pane->field("vpuPercentTextField").stringValue(), "0.0");
    EXPECT_EQ(pane->field("vpuTextField").stringValue(), "225.00");
    EXPECT_DOUBLE_EQ(pane->memoryStepper().doubleValue(), 225.0);
    EXPECT_FALSE(pane->button("defaultButton").isEnabled());
}

TEST_F(PaneClocksTest, PercentAboveStockIsShownWithOneDecimal) {
    // 25 MHz reference, divider 10: 500 MHz core, 400 MHz memory; the saved
    // entry knows the stock clocks, 400 MHz both.
    mac.writeMachine(machine({atiEntry({.refclk = 25000, .pll = pllWord(10, 160, 200)})}));
    const std::string model = modelShownForFirstCard();
    writePaneDomain(false, {savedCardEntry("SLOT-1", model, 500.0f, 400.0f, 400.0f, 400.0f)});
    OpenPane opened;
    ASSERT_TRUE(opened.loaded());
    EXPECT_EQ(opened.field("vpuTextField").stringValue(), "500.00");
    EXPECT_EQ(opened.field("vpuPercentTextField").stringValue(), "25.0");
    EXPECT_EQ(opened.field("memPercentTextField").stringValue(), "0.0");
    EXPECT_TRUE(opened.button("defaultButton").isEnabled());
    EXPECT_FLOAT_EQ(opened.vpuStepper().maxValue(), 800.0);
}

TEST_F(PaneClocksTest, NVIDIACardShowsNoMemoryFactsAndStepsInWholeMegahertz) {
    mac.writeMachine(machine({nv4xEntry("NVDA,Card", "SLOT-1")}));
    OpenPane opened;
    ASSERT_TRUE(opened.loaded());
    EXPECT_EQ(opened.field("vpuTextField").stringValue(), "405.00");
    EXPECT_EQ(opened.field("memoryTextField").stringValue(), "351.00");
    EXPECT_EQ(opened.field("memSizeTextField").stringValue(), "0");
    EXPECT_EQ(opened.field("memTypeTextField").stringValue(), "SDR");
    EXPECT_EQ(opened.field("busWidthTextField").stringValue(), "0");
    EXPECT_FLOAT_EQ(opened.vpuStepper().increment(), 1.0);
}

}  // namespace
