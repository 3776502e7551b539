// The pane's view as the interface description lays it out: what a window
// shows with no cards, its one size, and the keyboard.
#include <QAbstractSpinBox>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>

#include "support/OpenPane.h"

using namespace testsupport;

namespace {

// The text a field or stepper shows in its widget.
std::string shownText(const NSControl& control) {
    if (auto* label = qobject_cast<QLabel*>(control.view())) return label->text().toStdString();
    if (auto* stepper = qobject_cast<QAbstractSpinBox*>(control.view()))
        return stepper->text().toStdString();
    return "<no widget>";
}

TEST(PaneViewTest, WithoutCardsEveryValueFieldShowsADash) {
    TempSimMac mac;
    mac.writeMachine(machine({}));
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    ASSERT_EQ(pane.table().numberOfRows(), 0);
    int fields = 0;
    for (const auto& [name, control] : pane.pane().outlets()) {
        if (name == "versionTextField") continue;
        if (dynamic_cast<NSTextField*>(control) == nullptr &&
            dynamic_cast<NSStepper*>(control) == nullptr)
            continue;
        ++fields;
        EXPECT_EQ(shownText(*control), "-") << name;
    }
    EXPECT_EQ(fields, 9) << "two steppers, four clock fields, three memory fields";
    EXPECT_FALSE(pane.vpuStepper().view()->isEnabled());
}

TEST(PaneViewTest, TheViewKeepsItsSizeAndLayoutWhenTheWindowAroundItGrows) {
    testsupport::TempSimMac mac;
    mac.writeMachine(testsupport::machine({atiEntry({})}));
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    // The value fields and steppers: their heights in the window as first shown.
    std::map<std::string, int> heights;
    for (const auto& [name, control] : pane.pane().outlets())
        if (dynamic_cast<NSTextField*>(control) != nullptr ||
            dynamic_cast<NSStepper*>(control) != nullptr)
            heights[name] = control->view()->height();
    ASSERT_EQ(heights.size(), 10u);
    QWidget* view = pane.pane().mainView();
    EXPECT_EQ(view->minimumSize(), view->maximumSize()) << "a pane's view has one size";
    const QSize viewSize = view->size();
    const QSize tableSize = pane.table().view()->size();

    QWidget* window = view->window();
    window->resize(1400, 1000);
    QCoreApplication::processEvents();
    EXPECT_EQ(view->size(), viewSize);
    EXPECT_EQ(pane.table().view()->size(), tableSize);
    for (const auto& [name, height] : heights)
        EXPECT_EQ(pane.pane().outletNamed(name)->view()->height(), height) << name;
}

// The keyboard, from the moment the pane opens (the card table has the
// focus): Tab and Shift+Tab go round the table, the two clock fields, Back to
// Stock (when it is available), the checkbox and Help; Up and Down move the
// selection in the table; the arrows and the wheel never take the focus.
enum class Act { Key, ClickArrow, ClickField, Wheel };
struct Input {
    Act act;
    int key = 0;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
};
struct KeyboardCase {
    const char* name;
    bool offStock;  // Back to Stock available
    std::vector<Input> inputs;
    const char* focused;
    int selectedRow;
};
void PrintTo(const KeyboardCase& c, std::ostream* os) { *os << c.name; }

const Input kTab{Act::Key, Qt::Key_Tab};
const Input kShiftTab{Act::Key, Qt::Key_Tab, Qt::ShiftModifier};
const Input kDown{Act::Key, Qt::Key_Down};
const Input kUp{Act::Key, Qt::Key_Up};

class Keyboard : public ::testing::TestWithParam<KeyboardCase> {};

TEST_P(Keyboard, FocusMovesAsOnAMacPane) {
    const KeyboardCase& c = GetParam();
    testsupport::TempSimMac mac;
    mac.writeMachine(testsupport::machine({atiEntry({}), nv4xEntry("NVDA,Card", "SLOT-2")}));
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    QWidget* window = pane.table().view()->window();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    ASSERT_EQ(QApplication::focusWidget(), pane.table().view()) << "the table has it at open";
    if (c.offStock) pane.vpuStepper().click(+1);
    ASSERT_EQ(pane.button("defaultButton").isEnabled(), c.offStock);

    auto* stepper = qobject_cast<QAbstractSpinBox*>(pane.vpuStepper().view());
    ASSERT_NE(stepper, nullptr);
    for (const Input& input : c.inputs) {
        if (input.act == Act::Key) {
            QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(input.key),
                            input.modifiers);
        } else if (input.act == Act::Wheel) {
            const QPointF at(stepper->width() / 2.0, stepper->height() / 2.0);
            QWheelEvent wheel(at, stepper->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                              Qt::NoModifier, Qt::NoScrollPhase, false);
            QSpontaneKeyEvent::setSpontaneous(&wheel);
            QCoreApplication::instance()->notify(stepper, &wheel);
        } else if (input.act == Act::ClickArrow) {
            QTest::mouseClick(stepper, Qt::LeftButton, {}, upArrowOf(*stepper));
        } else {
            QTest::mouseClick(stepper->findChild<QLineEdit*>(), Qt::LeftButton);
        }
    }
    QWidget* focus = QApplication::focusWidget();
    EXPECT_EQ(focus != nullptr ? focus->objectName().toStdString() : "<none>", c.focused);
    EXPECT_EQ(pane.table().selectedRow(), c.selectedRow);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Keyboard,
    ::testing::Values(
        KeyboardCase{"AtOpen", false, {}, "cardsTable", 0},
        KeyboardCase{"Tab", false, {kTab}, "vpuStepper", 0},
        KeyboardCase{"TabTab", false, {kTab, kTab}, "memoryStepper", 0},
        KeyboardCase{"DimmedBackToStockIsSkipped", false, {kTab, kTab, kTab}, "startupCheckbox", 0},
        KeyboardCase{"BackToStock", true, {kTab, kTab, kTab}, "defaultButton", 0},
        KeyboardCase{"Help", true, {kTab, kTab, kTab, kTab, kTab}, "helpButton", 0},
        KeyboardCase{"AllRound", false, {kTab, kTab, kTab, kTab, kTab}, "cardsTable", 0},
        KeyboardCase{"ShiftTab", false, {kShiftTab}, "helpButton", 0},
        KeyboardCase{"ShiftTabBack", false, {kTab, kTab, kShiftTab}, "vpuStepper", 0},
        KeyboardCase{"DownSelects", false, {kDown}, "cardsTable", 1},
        KeyboardCase{"DownDownUp", false, {kDown, kDown, kUp}, "cardsTable", 0},
        KeyboardCase{"TabLeavesTheTable", false, {kDown, kTab}, "vpuStepper", 1},
        KeyboardCase{"ClickOnAnArrow", false, {{Act::ClickArrow}}, "cardsTable", 0},
        KeyboardCase{"ClickInTheField", false, {{Act::ClickField}}, "vpuStepper", 0},
        KeyboardCase{"Wheel", false, {{Act::Wheel}}, "cardsTable", 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
