// The AppKit stand-ins on their own: what the pane and the terminal front end
// rely on when they read controls back.

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QCursor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTextBrowser>
#include <QToolTip>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>
#include <cmath>
#include <limits>

#include "support/OpenPane.h"
#include "host/QtMessageFilter.h"

using namespace testsupport;

namespace {

const std::string kDriver = driverPath("ATY,Card");

// The pane on one ATI card at 225 MHz (clock step 2.25 MHz, steppers from
// 2.25 to 450 MHz), its window active, and the VPU stepper's widget.
class StepperWidget : public ::testing::Test {
protected:
    void SetUp() override {
        mac.writeMachine(machine({atiEntry({})}));
        pane = std::make_unique<OpenPane>();
        ASSERT_TRUE(pane->loaded());
        widget = dynamic_cast<QAbstractSpinBox*>(pane->vpuStepper().view());
        ASSERT_NE(widget, nullptr);
        widget->window()->activateWindow();
        QCoreApplication::processEvents();
        before = mac.commandCount();
    }
    void focus() {
        widget->setFocus(Qt::TabFocusReason);
        QCoreApplication::processEvents();
        ASSERT_TRUE(widget->hasFocus());
    }
    void key(int code, Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = {},
             QWidget* to = nullptr) {
        QKeyEvent press(QEvent::KeyPress, code, modifiers, text);
        QCoreApplication::sendEvent(to != nullptr ? to : widget, &press);
        QKeyEvent release(QEvent::KeyRelease, code, modifiers, text);
        QCoreApplication::sendEvent(to != nullptr ? to : widget, &release);
    }
    // A key event stamped with its time (ms) and, for a held key, marked as
    // a repeat or not; `fromSystem`: delivered as the window system does.
    void stampedKey(QEvent::Type type, int code, quint64 stamp, bool autoRepeat = false,
                    bool fromSystem = false) {
        QKeyEvent event(type, code, Qt::NoModifier, QString(), autoRepeat);
        event.setTimestamp(stamp);
        if (!fromSystem) {
            QCoreApplication::sendEvent(widget, &event);
            return;
        }
        QSpontaneKeyEvent::setSpontaneous(&event);
        QCoreApplication::instance()->notify(widget, &event);
    }
    void type(const QString& text) {
        widget->selectAll();
        for (QChar ch : text) key(0, Qt::NoModifier, QString(ch));
    }
    void wheel(int notches) {
        const QPointF at(widget->width() / 2.0, widget->height() / 2.0);
        QWheelEvent event(at, widget->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(widget, &event);
    }
    std::vector<std::uint32_t> writes() const { return mac.pllWrites(kDriver, before); }
    std::string fieldText() const { return widget->text().toStdString(); }
    std::string message() const { return widget->property("message").toString().toStdString(); }

    TempSimMac mac;
    std::unique_ptr<OpenPane> pane;
    QAbstractSpinBox* widget = nullptr;
    std::size_t before = 0;
};

TEST_F(StepperWidget, TheWheelNeverStepsNorFocusesAStepper) {
    EXPECT_EQ(widget->focusPolicy(), Qt::TabFocus);
    wheel(5);
    EXPECT_FALSE(widget->hasFocus());
    focus();
    wheel(1);
    wheel(-3);
    EXPECT_TRUE(writes().empty());
    EXPECT_DOUBLE_EQ(pane->vpuStepper().doubleValue(), 225.0);
}

TEST_F(StepperWidget, ArrowKeysMoveOneStepPerPressAndPageKeysNothing) {
    focus();
    key(Qt::Key_PageUp);
    key(Qt::Key_PageDown);
    key(Qt::Key_PageUp, Qt::ControlModifier);
    EXPECT_TRUE(writes().empty());
    key(Qt::Key_Up);
    key(Qt::Key_Up, Qt::ControlModifier);  // no ten-step jump with a modifier
    key(Qt::Key_Down);
    EXPECT_EQ(writes(), (std::vector<std::uint32_t>{pllWord(12, 100, 101), pllWord(12, 100, 102),
                                                    pllWord(12, 100, 101)}));
    EXPECT_DOUBLE_EQ(pane->vpuStepper().doubleValue(), 227.25);
    EXPECT_EQ(fieldText(), "227.25");
}

TEST_F(StepperWidget, AHeldKeyStepsOnceWhetherOrNotQtMarkedItsRepeats) {
    focus();
    const quint64 t = 5'000'000;
    stampedKey(QEvent::KeyPress, Qt::Key_Up, t);
    stampedKey(QEvent::KeyPress, Qt::Key_Up, t + 500, true);  // marked by Qt
    // An X server without detectable repeat: a release and a press at one time.
    stampedKey(QEvent::KeyRelease, Qt::Key_Up, t + 540);
    stampedKey(QEvent::KeyPress, Qt::Key_Up, t + 540);
    stampedKey(QEvent::KeyRelease, Qt::Key_Up, t + 560);
    EXPECT_EQ(writes(), (std::vector<std::uint32_t>{pllWord(12, 100, 101)}));
    stampedKey(QEvent::KeyPress, Qt::Key_Up, t + 900);  // pressed again
    EXPECT_EQ(writes().size(), 2u);
}

TEST_F(StepperWidget, PressesThatArriveWhileACardIsProgrammedAreDropped) {
    setDriverFaults(mac, "ATY,Card", driverFaults({.busyMilliseconds = 300}));
    focus();
    // Stamps in the window system's clock, which runs as ours does.
    QElapsedTimer clock;
    clock.start();
    const quint64 base = 7'000'000;
    auto press = [&](quint64 stamp) {
        stampedKey(QEvent::KeyPress, Qt::Key_Up, stamp, false, true);
        stampedKey(QEvent::KeyRelease, Qt::Key_Up, stamp + 1, false, true);
    };
    press(base);  // a step; the driver stays busy for 300 ms
    const quint64 second = base + static_cast<quint64>(clock.elapsed()) + 2;
    press(second);  // waits for the driver, holding the main thread
    ASSERT_GE(clock.elapsed(), 250) << "the second step held the main thread";
    press(second + 100);  // pressed while it was held: queued, and dropped
    EXPECT_EQ(writes().size(), 2u);
    press(base + static_cast<quint64>(clock.elapsed()) + 5);  // pressed afterwards
    EXPECT_EQ(writes().size(), 3u);
    EXPECT_DOUBLE_EQ(pane->vpuStepper().doubleValue(), 225.0 + 3 * 2.25);
}

TEST_F(StepperWidget, AClickOnAnArrowIsOneStepHoweverLongTheButtonIsHeld) {
    const QPointF up = upArrowOf(*widget);
    QMouseEvent press(QEvent::MouseButtonPress, up, widget->mapToGlobal(up), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    // Longer than Qt's spin box waits before it repeats a held arrow.
    QElapsedTimer held;
    held.start();
    while (held.elapsed() < 800) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QMouseEvent release(QEvent::MouseButtonRelease, up, widget->mapToGlobal(up), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &release);
    EXPECT_EQ(writes(), (std::vector<std::uint32_t>{pllWord(12, 100, 101)}));
}

// Typing into the stepper's field: Return or Tab applies a value within the
// limits as one click, after a sheet when it lies more than 10 % of stock
// (22.5 MHz here) from the clock in force; nothing is sent before the sheet's
// OK, nor at all on Cancel (Return) or Escape. Anything else sends nothing;
// Escape or clicking elsewhere puts the stepper's value back, and a value
// refused on Tab keeps the field.
enum class Finish { Return, Tab, ReturnThenEscape, Escape, Leave };
enum class Sheet { None, OK, Cancel, Escape };  // asked first, and answered so
struct TypedCase {
    const char* name;
    const char* typed;
    Finish finish;
    Sheet sheet;
    int vpuFBDiv;  // the one word sent: core divider (reference 12, memory 100); 0: none
    double stepper;
    const char* field;
    bool message;
};
void PrintTo(const TypedCase& c, std::ostream* os) { *os << c.name; }

class TypedValue : public StepperWidget, public ::testing::WithParamInterface<TypedCase> {
protected:
    void answer(QWidget* sheet, Sheet how) {
        QPushButton* defaultButton = nullptr;
        QPushButton* ok = nullptr;
        for (QPushButton* button : sheet->findChildren<QPushButton*>()) {
            if (button->isDefault()) defaultButton = button;
            if (button->text() == "OK") ok = button;
        }
        ASSERT_NE(defaultButton, nullptr);
        ASSERT_NE(ok, nullptr);
        EXPECT_EQ(defaultButton->text().toStdString(), "Cancel");
        if (how == Sheet::OK) ok->click();
        if (how == Sheet::Cancel) key(Qt::Key_Return, Qt::NoModifier, {}, defaultButton);
        if (how == Sheet::Escape) key(Qt::Key_Escape, Qt::NoModifier, {}, defaultButton);
    }
};

TEST_P(TypedValue, AppliesWithinTheLimitsOnlyAndAsksFirstWhenFarFromTheClockInForce) {
    const TypedCase& c = GetParam();
    std::vector<std::uint32_t> expected;
    if (c.vpuFBDiv != 0) expected.push_back(pllWord(12, 100, c.vpuFBDiv));
    focus();
    type(QString::fromLatin1(c.typed));
    if (c.finish == Finish::Leave) {
        pane->table().view()->setFocus(Qt::TabFocusReason);
        QCoreApplication::processEvents();
    } else {
        key(c.finish == Finish::Escape ? Qt::Key_Escape
            : c.finish == Finish::Tab  ? Qt::Key_Tab
                                       : Qt::Key_Return);
    }
    if (c.finish == Finish::ReturnThenEscape) {
        EXPECT_FALSE(message().empty());
        key(Qt::Key_Escape);
    }
    if (c.finish == Finish::Tab) {
        EXPECT_EQ(widget->hasFocus(), c.message) << "a value refused keeps the field";
    }
    QWidget* sheet = host::attachedSheet(widget->window());
    ASSERT_EQ(sheet != nullptr, c.sheet != Sheet::None);
    if (sheet != nullptr) {
        EXPECT_TRUE(writes().empty()) << "nothing reaches the card before the answer";
        const NSAlertRecord asked = host::shownAlerts().back();
        EXPECT_NE(asked.messageText.find("225.00"), std::string::npos) << asked.messageText;
        const double typed = std::stod(c.typed);
        char clock[32], percent[32];
        std::snprintf(clock, sizeof clock, "%.2f MHz", typed);
        std::snprintf(percent, sizeof percent, "%+.1f %%", typed / 225.0 * 100 - 100);
        EXPECT_NE(asked.messageText.find(clock), std::string::npos) << asked.messageText;
        EXPECT_NE(asked.informativeText.value_or("").find(percent), std::string::npos);
        EXPECT_TRUE(widget->window()->geometry().contains(sheet->geometry()))
            << "hangs inside the window";
        answer(sheet, c.sheet);
        EXPECT_EQ(host::attachedSheet(widget->window()), nullptr);
    }
    EXPECT_EQ(writes(), expected);
    EXPECT_DOUBLE_EQ(pane->vpuStepper().doubleValue(), c.stepper);
    EXPECT_EQ(fieldText(), c.field);
    EXPECT_EQ(!message().empty(), c.message) << message();
    if (c.message) {
        EXPECT_EQ(message(), "Enter a number from 2.25 to 450");
        EXPECT_EQ(QToolTip::text().toStdString(), message()) << "shown beside the field";
    }
    if (!expected.empty()) {
        EXPECT_EQ(pane->field("vpuTextField").stringValue(), c.field) << "the clock reached";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TypedValue,
    ::testing::Values(
        TypedCase{"Within", "229.5", Finish::Return, Sheet::None, 102, 229.5, "229.50", false},
        TypedCase{"WithinByTab", "229.5", Finish::Tab, Sheet::None, 102, 229.5, "229.50", false},
        TypedCase{"TenPercent", "247.5", Finish::Return, Sheet::None, 110, 247.5, "247.50", false},
        TypedCase{"BeyondTenPercentCancelled", "249.75", Finish::Return, Sheet::Cancel, 0, 225.0,
                  "225.00", false},
        TypedCase{"Limit", " 450 ", Finish::Return, Sheet::OK, 200, 450.0, "450.00", false},
        TypedCase{"FarBelowByTab", "200.25", Finish::Tab, Sheet::OK, 89, 200.25, "200.25", false},
        TypedCase{"FarEscaped", "400", Finish::Tab, Sheet::Escape, 0, 225.0, "225.00", false},
        TypedCase{"Unchanged", "225", Finish::Return, Sheet::None, 0, 225.0, "225.00", false},
        TypedCase{"AboveMax", "450.1", Finish::Return, Sheet::None, 0, 225.0, "450.1", true},
        TypedCase{"AboveMaxByTab", "450.1", Finish::Tab, Sheet::None, 0, 225.0, "450.1", true},
        TypedCase{"BelowMin", "2", Finish::Return, Sheet::None, 0, 225.0, "2", true},
        TypedCase{"NotANumber", "fast", Finish::Return, Sheet::None, 0, 225.0, "fast", true},
        TypedCase{"EscapeAfterMessage", "1000", Finish::ReturnThenEscape, Sheet::None, 0, 225.0,
                  "225.00", false},
        TypedCase{"Escape", "240", Finish::Escape, Sheet::None, 0, 225.0, "225.00", false},
        TypedCase{"LeaveField", "240", Finish::Leave, Sheet::None, 0, 225.0, "225.00", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BusyCursorTest, ShownWhileAnActionRunsAndGoneAfter) {
    ensureApplication();
    QPushButton widget;
    NSButton button;
    ASSERT_TRUE(button.connectView(&widget));
    std::optional<Qt::CursorShape> during;
    button.setAction([&](const void*) {
        if (const QCursor* cursor = QGuiApplication::overrideCursor()) during = cursor->shape();
    });
    widget.click();
    EXPECT_EQ(during, Qt::WaitCursor);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

std::vector<std::string>& passedOn() {
    static std::vector<std::string> messages;
    return messages;
}

TEST(QtMessageFilterTest, DropsQtsEnvironmentNotesAndPassesEverythingElseOn) {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
        passedOn().push_back(message.toStdString());
    });
    host::installQtMessageFilter();
    qWarning("QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'");
    qWarning(
        "QStandardPaths: wrong permissions on runtime directory /run/user/0, 0755 "
        "instead of 0700");
    qWarning("This plugin does not support propagateSizeHints()");
    qWarning("QPixmap::scaled: Pixmap is a null pixmap");
    qCritical("This plugin does not support raise()");
    qInstallMessageHandler(nullptr);
    EXPECT_EQ(passedOn(), (std::vector<std::string>{"QPixmap::scaled: Pixmap is a null pixmap",
                                                    "This plugin does not support raise()"}));
}

TEST(NSStepperTest, ClicksMoveByTheIncrementWithinTheLimitsAndSendTheActionOnlyOnChange) {
    // A stepper from `min` to `max` at `value`, clicked `steps` times: the
    // value it reaches and how often it sent its action.
    const auto check = [](double min, double max, double value, double increment, bool wraps,
                          int steps, double expected, int actions) {
        NSStepper stepper;
        stepper.setMinValue(min);
        stepper.setMaxValue(max);
        stepper.setValueWraps(wraps);
        stepper.setIncrement(increment);
        stepper.setDoubleValue(value);
        int sent = 0;
        stepper.setAction([&](const void* sender) {
            EXPECT_EQ(sender, &stepper);
            ++sent;
        });
        stepper.click(steps);
        EXPECT_DOUBLE_EQ(stepper.doubleValue(), expected) << value << " " << steps;
        EXPECT_EQ(sent, actions) << value << " " << steps;
    };
    check(1, 10, 5, 2, false, +1, 7, 1);
    check(1, 10, 9, 2, false, +1, 10, 1);
    check(1, 10, 10, 2, false, +1, 10, 0);
    check(1, 10, 2, 2, false, -1, 1, 1);
    check(1, 10, 10, 2, true, +1, 1, 1);
    check(1, 10, 1, 2, true, -1, 10, 1);
    check(1, 10, 5, 0.5, false, -3, 3.5, 1);
    NSStepper disabled;
    disabled.setDoubleValue(5);
    disabled.setEnabled(false);
    disabled.click(+1);
    EXPECT_DOUBLE_EQ(disabled.doubleValue(), 5);
    EXPECT_FALSE(disabled.takeDoubleValue(6));
    EXPECT_DOUBLE_EQ(disabled.doubleValue(), 5);
}

TEST(NSStepperTest, ATypedValueIsTakenWithinTheLimitsOnlyAndSendsTheActionOnce) {
    const auto check = [](double typed, bool taken, double expected, int actions) {
        NSStepper stepper;
        stepper.setMinValue(1);
        stepper.setMaxValue(10);
        stepper.setValueWraps(true);  // typing never wraps
        stepper.setDoubleValue(5);
        int sent = 0;
        stepper.setAction([&](const void*) { ++sent; });
        EXPECT_EQ(stepper.takeDoubleValue(typed), taken) << typed;
        EXPECT_DOUBLE_EQ(stepper.doubleValue(), expected) << typed;
        EXPECT_EQ(sent, actions) << typed;
    };
    check(7.3, true, 7.3, 1);
    check(10, true, 10, 1);
    check(1, true, 1, 1);
    check(5, true, 5, 0);
    check(10.01, false, 5, 0);
    check(0.99, false, 5, 0);
    check(NAN, false, 5, 0);
    check(INFINITY, false, 5, 0);
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
    const auto counting = [](int& n) { return [&n](const NSNotification&) { ++n; }; };
    center.addObserver(&a, counting(any), "");
    center.addObserver(&a, counting(named), "Quit");
    center.addObserver(&b, counting(fromObject), "Quit", &b);
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

TEST(NSAlertTest, AWindowShowsOneSheetAtATimeAndEachAnswerReachesItsHandler) {
    ensureApplication();
    QWidget window;
    window.resize(600, 400);
    window.show();
    std::vector<NSModalResponse> answers;
    for (const char* text : {"first", "second"}) {
        NSAlert alert;
        alert.addButtonWithTitle("OK");
        alert.addButtonWithTitle("Cancel");
        alert.setMessageText(text);
        alert.setShowsHelp(true);
        alert.setHelpAnchor("change-failed");
        alert.beginSheetModalForWindow(
            &window, [&](NSModalResponse response) { answers.push_back(response); });
    }
    auto messageOf = [](QWidget* sheet) {
        auto* label = sheet != nullptr ? sheet->findChild<QLabel*>("messageText") : nullptr;
        return label != nullptr ? label->text().toStdString() : std::string("<none>");
    };
    QWidget* sheet = host::attachedSheet(&window);
    EXPECT_EQ(messageOf(sheet), "first");
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->findChild<QLabel*>("messageText")->font().bold());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_TRUE(sheet->windowFlags() & Qt::FramelessWindowHint) << "no title bar of its own";

    // Help opens the page of the anchor and answers nothing.
    FSRef book{paneBundlePath().string()};
    ASSERT_EQ(AHRegisterHelpBook(&book), noErr);
    host::clearOpenedHelpPages();
    sheet->findChild<QAbstractButton*>("helpButton")->click();
    ASSERT_EQ(host::openedHelpPages().size(), 1u);
    EXPECT_CONTAINS(host::openedHelpPages()[0], "change-failed.html#change-failed");
    EXPECT_TRUE(answers.empty());

    QTest::keyClick(sheet->findChild<QPushButton*>(QString(), Qt::FindDirectChildrenOnly),
                    Qt::Key_Escape);  // the "Cancel" button
    EXPECT_EQ(answers, (std::vector<NSModalResponse>{NSAlertSecondButtonReturn}));
    sheet = host::attachedSheet(&window);
    EXPECT_EQ(messageOf(sheet), "second");
    ASSERT_NE(sheet, nullptr);
    sheet->close();  // as the application quitting closes it: answered as Escape
    EXPECT_EQ(answers,
              (std::vector<NSModalResponse>{NSAlertSecondButtonReturn, NSAlertSecondButtonReturn}));
    EXPECT_EQ(host::attachedSheet(&window), nullptr);
}

TEST(NSProgressIndicatorTest, ShownOnlyWhileAnimatingUnlessDisplayedWhenStopped) {
    testsupport::TempSimMac mac;
    mac.writeMachine(testsupport::machine({atiEntry({})}));
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    QWidget* widget = pane.pane().mainView()->findChild<QWidget*>("restoreProgressIndicator");
    ASSERT_NE(widget, nullptr);
    EXPECT_FALSE(widget->isVisible()) << "hidden until a restore begins";
    NSProgressIndicator indicator;
    ASSERT_TRUE(indicator.connectView(widget));
    EXPECT_FALSE(indicator.isDisplayedWhenStopped());
    QCoreApplication::processEvents();
    const QRect place = widget->geometry();
    EXPECT_GT(place.width(), 100) << "room for the bar and its text";
    indicator.startAnimation(nullptr);
    EXPECT_TRUE(widget->isVisible());
    EXPECT_EQ(widget->geometry(), place) << "it has its place in the layout";
    indicator.stopAnimation(nullptr);
    EXPECT_FALSE(widget->isVisible());
    indicator.setDisplayedWhenStopped(true);
    EXPECT_TRUE(widget->isVisible());
}

TEST(AppleHelpTest, UnknownBooksPagesAndReferencesAreRefused) {
    EXPECT_EQ(AHRegisterHelpBook(nullptr), paramErr);
    FSRef nowhere{"/nonexistent/X.prefPane"};
    EXPECT_EQ(AHRegisterHelpBook(&nowhere), fnfErr);
    EXPECT_EQ(AHGotoPage(std::string("No Such Book"), std::nullopt, std::nullopt), kAHInternalErr);

    FSRef pane{paneBundlePath().string()};
    ASSERT_EQ(AHRegisterHelpBook(&pane), noErr);
    host::clearOpenedHelpPages();
    const std::string book = "Tarnwick II Help";
    EXPECT_EQ(AHGotoPage(book, std::string("../../Info.plist"), std::nullopt), fnfErr);
    EXPECT_EQ(AHGotoPage(book, std::string("option-key.html"), std::string("top")), noErr);
    ASSERT_EQ(host::openedHelpPages().size(), 1u);
    EXPECT_CONTAINS(host::openedHelpPages()[0], "option-key.html#top");
    EXPECT_EQ(AHLookupAnchor(std::nullopt, "no-such-anchor"), fnfErr);
    EXPECT_EQ(AHLookupAnchor(std::string("No Such Book"), "keyboard"), kAHInternalErr);
}

TEST(AppleHelpTest, TheViewerSearchesTheBookAndGoesBackAndForward) {
    ensureApplication();
    FSRef pane{paneBundlePath().string()};
    ASSERT_EQ(AHRegisterHelpBook(&pane), noErr);
    ASSERT_EQ(AHLookupAnchor(std::nullopt, "keyboard"), noErr);
    QWidget* viewer = host::helpViewerWindow();
    ASSERT_NE(viewer, nullptr);
    auto* browser = viewer->findChild<QTextBrowser*>("helpBrowser");
    auto* search = viewer->findChild<QLineEdit*>("searchField");
    auto* back = viewer->findChild<QAbstractButton*>("backButton");
    ASSERT_TRUE(browser != nullptr && search != nullptr && back != nullptr);
    EXPECT_TRUE(browser->source().toString().endsWith("keyboard.html#keyboard"));
    ASSERT_TRUE(search->isEnabled()) << "the book comes with its search index";

    search->setText("Option key");
    QTest::keyClick(search, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return browser->source().scheme() != "file"; }, 10000));
    const QString results = browser->toHtml();
    EXPECT_TRUE(results.contains("option-key.html")) << results.toStdString();
    EXPECT_FALSE(results.contains("back-to-stock.html")) << "a page without the words";
    EXPECT_TRUE(back->isEnabled());
    back->click();
    EXPECT_TRUE(browser->source().toString().endsWith("keyboard.html#keyboard"));
    viewer->close();
}

}  // namespace
