// What a pane session met, as the pane reports it through valueForKey when
// it has quit (after NSApplicationWillTerminateNotification): the programs
// that host the pane turn it into messages and their exit status. A pane
// that does not answer a key reports nothing for it.
#pragma once

#include <string>
#include <vector>

#include "host/PreferencePanes.h"

// Exit statuses that prefhost and tarnwickctl share.
enum PaneExitStatus {
    kPaneOK = 0,
    kPaneUsage = 1,  // or another failure before the session
    kPaneChangeRefused = 2,
    kPaneSessionBusy = 3,
    kPaneMachineUnreadable = 4,  // or asleep, or hung: a host error
    kPaneNotSaved = 5,
    kPaneCardUnread = 6,
    kPaneCardUnrestored = 7,
};

struct PaneOutcome {
    bool machineUnreadable = false;  // the registry could not be read: nothing was saved
    bool saveFailed = false;         // the settings or the login item were not written
    long unreadCards = 0;            // cards present but not read (their entries were kept)
    long unrestoredCards = 0;        // cards whose saved clocks could not be put back (kept)
    // Why no card answered: the machine sleeps or hangs (empty: it answered).
    // The pane sees only cards that time out; the host program asks the
    // machine (PaneSession::checkMachine).
    std::string machineUnresponsive;

    static PaneOutcome of(const NSPreferencePane& pane);
    // One line per problem, each without a program prefix or newline.
    std::vector<std::string> messages() const;
    // The worst of what the session met, first that holds: a machine that
    // could not be read, or that sleeps or hangs, a save that failed, `asked` (the status of what
    // was asked for) when not 0, a card that could not be read, a card whose
    // saved clocks could not be put back.
    int exitStatus(int asked) const;
};
