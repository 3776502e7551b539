// The card library is built twice from the same sources: the startup tool's
// build (cards_startup) and the pane's (cards_pane, with TARNWICK_PANE_BUILD).
// They differ only in what the pane alone uses: memory facts, card entries,
// the clock step and the setters. The card classes declare those members
// inside PANE_ONLY(...); their definitions live in files that only the pane's
// build compiles (*Info.cpp), so the startup tool's build lacks them.
#pragma once

#ifdef TARNWICK_PANE_BUILD
#define PANE_ONLY(...) __VA_ARGS__
#else
#define PANE_ONLY(...)
#endif
