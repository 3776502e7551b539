// The pane's view as the interface description lays it out: what a window
// shows with no cards, and where the room goes when the window grows.

#include <QAbstractSpinBox>
#include <QLabel>

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

TEST(PaneViewTest, AGrowingWindowGivesTheRoomToTheTableAndTheFieldsKeepTheirHeight) {
    TempSimMac mac;
    mac.writeMachine(machine({atiEntry({})}));
    OpenPane pane;
    ASSERT_TRUE(pane.loaded());
    // The value fields and steppers: their heights in the window as first shown.
    std::map<std::string, int> heights;
    for (const auto& [name, control] : pane.pane().outlets())
        if (dynamic_cast<NSTextField*>(control) != nullptr ||
            dynamic_cast<NSStepper*>(control) != nullptr)
            heights[name] = control->view()->height();
    ASSERT_EQ(heights.size(), 10u);

    QWidget* window = pane.table().view()->window();
    window->resize(1400, 1000);
    QCoreApplication::processEvents();
    ASSERT_EQ(window->height(), 1000);
    for (const auto& [name, height] : heights)
        EXPECT_EQ(pane.pane().outletNamed(name)->view()->height(), height) << name;
    QWidget* table = pane.table().view();
    EXPECT_GT(table->height(), 800);
    EXPECT_GT(table->width(), 700);
}

}  // namespace
