// The AppKit stand-ins on their own: what the pane and the terminal front end
// rely on when they read controls back.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QTableWidget>
#include <cmath>
#include <limits>

#include "PaneTestSupport.h"

using namespace panetest;

namespace {

TEST(NSStepperTest, ClicksMoveByTheIncrementWithinTheLimitsAndSendTheActionOnlyOnChange) {
    struct Case {
        double min, max, value, increment;
        bool wraps;
        int steps;
        double expected;
        int actions;
    };
    const Case cases[] = {
        {1, 10, 5, 2, false, +1, 7, 1},     {1, 10, 9, 2, false, +1, 10, 1},
        {1, 10, 10, 2, false, +1, 10, 0},   {1, 10, 2, 2, false, -1, 1, 1},
        {1, 10, 10, 2, true, +1, 1, 1},     {1, 10, 1, 2, true, -1, 10, 1},
        {1, 10, 5, 0.5, false, -3, 3.5, 1},
    };
    for (const Case& c : cases) {
        NSStepper stepper;
        stepper.setMinValue(c.min);
        stepper.setMaxValue(c.max);
        stepper.setValueWraps(c.wraps);
        stepper.setIncrement(c.increment);
        stepper.setDoubleValue(c.value);
        int actions = 0;
        stepper.setAction([&](const void* sender) {
            EXPECT_EQ(sender, &stepper);
            ++actions;
        });
        stepper.click(c.steps);
        EXPECT_DOUBLE_EQ(stepper.doubleValue(), c.expected) << c.value << " " << c.steps;
        EXPECT_EQ(actions, c.actions) << c.value << " " << c.steps;
    }
    NSStepper disabled;
    disabled.setDoubleValue(5);
    disabled.setEnabled(false);
    disabled.click(+1);
    EXPECT_DOUBLE_EQ(disabled.doubleValue(), 5);
}

TEST(NSTextFieldTest, NumbersGoThroughTheFieldsFormatAndNonFiniteValuesShowTheSymbol) {
    ensureApplication();
    QLabel label;
    label.setProperty("numberFormat", "%.1f");
    NSTextField field;
    ASSERT_TRUE(field.connectView(&label));
    field.setFloatValue(227.25f);
    EXPECT_EQ(field.stringValue(), "227.2");  // half to even, as printf rounds
    EXPECT_EQ(label.text().toStdString(), "227.2");
    EXPECT_EQ(field.floatValue(), 227.25f) << "the value, not the rounded text";
    field.setFloatValue(std::numeric_limits<float>::infinity());
    EXPECT_EQ(field.stringValue(), "-");
    field.setFloatValue(std::nanf(""));
    EXPECT_EQ(field.stringValue(), "-");
    field.setIntValue(256);
    EXPECT_EQ(field.stringValue(), "256");

    // A format that could read missing arguments is not used.
    QLabel unsafe;
    unsafe.setProperty("numberFormat", "%s %f");
    NSTextField guarded;
    ASSERT_TRUE(guarded.connectView(&unsafe));
    guarded.setDoubleValue(1.5);
    EXPECT_EQ(guarded.stringValue(), "1.5");
}

TEST(NSButtonTest, CheckboxClicksToggleTheBoundValueAndDisabledOnesDoNothing) {
    ensureApplication();
    QCheckBox box;
    box.setCheckable(true);
    NSButton button;
    ASSERT_TRUE(button.connectView(&box));
    std::int64_t bound = 1;
    button.bindValue([&] { return bound; }, [&](std::int64_t v) { bound = v; });
    EXPECT_EQ(button.state(), NSControlStateValueOn);
    EXPECT_TRUE(box.isChecked());
    box.click();  // the user
    EXPECT_EQ(bound, 0);
    button.performClick();  // a script
    EXPECT_EQ(bound, 1);
    EXPECT_TRUE(box.isChecked());
    button.setEnabled(false);
    button.performClick();
    EXPECT_EQ(bound, 1);
}

TEST(NSTableViewTest, KeepsExactlyOneRowSelectedAndTellsTheDelegateOfChanges) {
    ensureApplication();
    QTableWidget widget(0, 2);
    NSTableView table;
    ASSERT_TRUE(table.connectView(&widget));
    int rows = 3;
    table.setDataSource(
        [&] { return rows; },
        [](int row, int column) { return std::to_string(row) + ":" + std::to_string(column); });
    int notifications = 0;
    table.setDelegate([&](const NSNotification&) { ++notifications; });
    table.reloadData();
    EXPECT_EQ(table.selectedRow(), 0);
    EXPECT_EQ(notifications, 0);
    EXPECT_EQ(widget.item(2, 1)->text().toStdString(), "2:1");

    widget.selectRow(2);  // the user
    EXPECT_EQ(table.selectedRow(), 2);
    EXPECT_EQ(notifications, 1);
    widget.clearSelection();  // cannot leave no row selected
    EXPECT_EQ(table.selectedRow(), 2);
    EXPECT_EQ(widget.selectionModel()->selectedRows().size(), 1);

    rows = 1;
    table.reloadData();
    EXPECT_EQ(table.selectedRow(), 0);
    rows = 0;
    table.reloadData();
    EXPECT_EQ(table.selectedRow(), -1);
}

TEST(NSNotificationCenterTest, DeliversByNameAndObjectAndForgetsRemovedObservers) {
    NSNotificationCenter& center = NSNotificationCenter::defaultCenter();
    int any = 0, named = 0, fromObject = 0;
    int a = 0, b = 0;
    center.addObserver(
        &a, [&](const NSNotification&) { ++any; }, "");
    center.addObserver(
        &a, [&](const NSNotification&) { ++named; }, "Quit");
    center.addObserver(
        &b, [&](const NSNotification&) { ++fromObject; }, "Quit", &b);
    center.postNotificationName("Quit");
    center.postNotificationName("Quit", &b);
    center.postNotificationName("Other");
    EXPECT_EQ(any, 3);
    EXPECT_EQ(named, 2);
    EXPECT_EQ(fromObject, 1);
    center.removeObserver(&a);
    center.removeObserver(&b);
    center.postNotificationName("Quit", &b);
    EXPECT_EQ(any + named + fromObject, 6);
}

TEST(AppleHelpTest, UnknownBooksPagesAndReferencesAreRefused) {
    EXPECT_EQ(AHRegisterHelpBook(nullptr), paramErr);
    FSRef nowhere{"/nonexistent/X.prefPane"};
    EXPECT_EQ(AHRegisterHelpBook(&nowhere), fnfErr);
    EXPECT_EQ(AHGotoPage(std::string("No Such Book"), std::nullopt, std::nullopt), kAHInternalErr);

    FSRef pane{paneBundlePath().string()};
    ASSERT_EQ(AHRegisterHelpBook(&pane), noErr);
    host::clearOpenedHelpPages();
    EXPECT_EQ(
        AHGotoPage(std::string("Tarnwick II Help"), std::string("../../Info.plist"), std::nullopt),
        fnfErr);
    EXPECT_EQ(AHGotoPage(std::string("Tarnwick II Help"), std::string("option-key.html"),
                         std::string("top")),
              noErr);
    ASSERT_EQ(host::openedHelpPages().size(), 1u);
    EXPECT_NE(host::openedHelpPages()[0].find("option-key.html#top"), std::string::npos);
}

}  // namespace
