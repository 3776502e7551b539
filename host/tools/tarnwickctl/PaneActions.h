// What tarnwickctl does in the pane, each action through the pane's own
// controls as a person's gesture in the window reaches them: a row of the
// card table clicked, a clock typed and confirmed (the steppers' action), one
// click on a stepper's arrow, the default button, the startup checkbox. The
// window and the terminal thus drive the same operations of the controller.
// The one-action command lines and the scripted session (`tarnwickctl -`)
// share these.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "PaneControls.h"
#include "host/AppKitAlert.h"

struct ActionResult {
    // kPaneOK; kPaneUsage: refused, nothing done (`note` says why);
    // kPaneChangeRefused: the card refused, the pane showed an alert.
    int status = 0;
    std::string note;                   // what the pane does not show, or why refused
    std::vector<NSAlertRecord> alerts;  // shown during the action
};

enum class StepperClock { kVPU, kMemory };

class PaneActions {
public:
    // `cardsLeftOut`: cards the pane could not read and left out of its table.
    PaneActions(const PaneControls& controls, long cardsLeftOut)
        : c_(controls), cardsLeftOut_(cardsLeftOut) {}

    ActionResult select(const std::string& card);
    // Both clocks typed, then one change (the steppers' action). A terminal
    // asks no confirmation: the command is the person's intent.
    ActionResult set(const std::string& card, double vpu, double memory);
    // One click on a stepper's arrow: `steps` is +1 (up) or -1 (down).
    ActionResult step(const std::string& card, StepperClock clock, int steps);
    ActionResult stock(const std::string& card);
    ActionResult startup(bool on);

private:
    // Selects the card named, as a click on its row: false with the reason
    // in `result` when it names none.
    bool selectCard(const std::string& card, ActionResult& result);
    // Runs `gesture`, taking the alerts it showed; a change the card refused.
    void perform(ActionResult& result, const std::function<void()>& gesture);

    const PaneControls& c_;
    long cardsLeftOut_;
};
