// tarnwickctl -: actions read from standard input, one a line, all in one
// pane session, each done and its outcome printed on one line (flushed) as
// soon as it is done, so that a script can wait for it.
//
// An outcome line is "ok: N: ACTION: ...", "failed: N: ACTION: ..." (the
// card refused the change: the alert's text, then what the pane shows) or
// "refused: N: ACTION: why" (a bad line, or a card the pane cannot name:
// nothing was done, and the session goes on), N being the line's number in
// the input. Blank lines and lines that begin with "#" get none.
#pragma once

#include <cstdio>

#include "PaneActions.h"
#include "PaneSession.h"

// Runs the actions of `input` to its end. The status they make: 2 when a
// card refused a change, else 1 when a line was refused, else 0. A machine
// found asleep or hung is kept in the session (its outcome is a host error).
int runActionScript(std::FILE* input, PaneSession& session, const PaneControls& controls,
                    PaneActions& actions);

// The help's text about the actions.
extern const char* const kActionScriptHelp;
