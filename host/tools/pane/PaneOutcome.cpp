#include "PaneOutcome.h"

PaneOutcome PaneOutcome::of(const NSPreferencePane& pane) {
    PaneOutcome outcome;
    outcome.machineUnreadable = pane.valueForKey("machineUnreadable").value_or(0) != 0;
    // A pane that says nothing about its save is taken at its word: only an
    // explicit 0 is a failed save, and a session on an unreadable machine
    // saves nothing on purpose.
    outcome.saveFailed =
        !outcome.machineUnreadable && pane.valueForKey("lastSaveSucceeded").value_or(1) == 0;
    outcome.unreadCards = static_cast<long>(pane.valueForKey("unreadCardCount").value_or(0));
    outcome.unrestoredCards =
        static_cast<long>(pane.valueForKey("unrestoredCardCount").value_or(0));
    return outcome;
}

std::vector<std::string> PaneOutcome::messages() const {
    std::vector<std::string> lines;
    if (machineUnreadable)
        lines.emplace_back(
            "the simulated Mac's machine could not be read (see simmac show and the system log); "
            "nothing was saved");
    if (!machineUnresponsive.empty()) lines.push_back(machineUnresponsive);
    if (saveFailed)
        lines.emplace_back("the settings or the login item could not be saved (see simmac log)");
    if (unreadCards > 0)
        lines.emplace_back(std::to_string(unreadCards) + " card" + (unreadCards == 1 ? "" : "s") +
                           " could not be read and " + (unreadCards == 1 ? "was" : "were") +
                           " left out; " + (unreadCards == 1 ? "its" : "their") +
                           " saved clocks are kept");
    if (unrestoredCards > 0)
        lines.emplace_back("the saved clocks of " + std::to_string(unrestoredCards) + " card" +
                           (unrestoredCards == 1 ? "" : "s") +
                           " could not be put back; they stay saved");
    return lines;
}

int PaneOutcome::exitStatus(int asked) const {
    if (machineUnreadable || !machineUnresponsive.empty()) return kPaneMachineUnreadable;
    if (saveFailed) return kPaneNotSaved;
    if (asked != kPaneOK) return asked;
    if (unreadCards > 0) return kPaneCardUnread;
    return unrestoredCards > 0 ? kPaneCardUnrestored : kPaneOK;
}
