#include "PaneActions.h"

#include "CardName.h"
#include "PaneOutcome.h"

namespace {

ActionResult refused(std::string why) { return ActionResult{kPaneUsage, std::move(why), {}}; }

// Whether a typed clock is one the stepper takes, else why not.
bool withinStepper(const NSStepper& stepper, double value, const char* what, ActionResult& result) {
    if (value >= stepper.minValue() && value <= stepper.maxValue()) return true;
    result = refused(std::string(what) + " " + megahertz(value) +
                     " is outside the stepper's range " + megahertzLimit(stepper.minValue(), true) +
                     " to " + megahertzLimit(stepper.maxValue(), false));
    return false;
}

}  // namespace

bool PaneActions::selectCard(const std::string& card, ActionResult& result) {
    std::string why;
    const std::optional<int> row = findCard(*c_.cardsTable, card, cardsLeftOut_, &why);
    if (!row) {
        result = refused(why);
        return false;
    }
    // A row already selected stays as it is: the card is not shown afresh.
    c_.cardsTable->selectRow(*row);
    return true;
}

void PaneActions::perform(ActionResult& result, const std::function<void()>& gesture) {
    const std::size_t before = host::shownAlerts().size();
    gesture();
    const std::vector<NSAlertRecord> shown = host::shownAlerts();
    result.alerts.assign(shown.begin() + static_cast<std::ptrdiff_t>(before), shown.end());
    if (!result.alerts.empty()) result.status = kPaneChangeRefused;
}

ActionResult PaneActions::select(const std::string& card) {
    ActionResult result;
    selectCard(card, result);
    return result;
}

ActionResult PaneActions::set(const std::string& card, double vpu, double memory) {
    ActionResult result;
    if (!selectCard(card, result) || !withinStepper(*c_.vpuStepper, vpu, "VPU", result) ||
        !withinStepper(*c_.memoryStepper, memory, "Memory", result))
        return result;
    perform(result, [&] {
        c_.vpuStepper->setDoubleValue(vpu);
        c_.memoryStepper->setDoubleValue(memory);
        c_.vpuStepper->sendAction();
    });
    return result;
}

ActionResult PaneActions::step(const std::string& card, StepperClock clock, int steps) {
    ActionResult result;
    if (!selectCard(card, result)) return result;
    NSStepper& stepper = clock == StepperClock::kVPU ? *c_.vpuStepper : *c_.memoryStepper;
    const double before = stepper.doubleValue();
    perform(result, [&] { stepper.click(steps); });
    // A click at the end of the range does nothing, as in the window.
    if (result.status == kPaneOK && stepper.doubleValue() == before)
        result.note = std::string("the stepper is at its ") + (steps > 0 ? "top" : "bottom") +
                      " (" + megahertz(before) + "): nothing was sent";
    return result;
}

ActionResult PaneActions::stock(const std::string& card) {
    ActionResult result;
    if (!selectCard(card, result)) return result;
    if (!c_.defaultButton->isEnabled()) {
        result.note = "already runs at its stock clocks";
        return result;
    }
    perform(result, [&] { c_.defaultButton->performClick(); });
    return result;
}

ActionResult PaneActions::startup(bool on) {
    if (!c_.startupCheckbox->isEnabled())
        return refused("\"Set at startup\" is disabled (the pane found no cards)");
    const NSControlStateValue wanted = on ? NSControlStateValueOn : NSControlStateValueOff;
    if (c_.startupCheckbox->state() != wanted) c_.startupCheckbox->performClick();
    return {};
}
