// The pane's controls as tarnwickctl works them, by the names of the
// controller's outlets, and what it prints of them: the figures the window
// shows (a field's text as it is), every clock with its unit.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "host/AppKit.h"
#include "host/PreferencePanes.h"

struct PaneControls {
    NSTableView* cardsTable = nullptr;
    NSStepper* vpuStepper = nullptr;
    NSStepper* memoryStepper = nullptr;
    NSButton* defaultButton = nullptr;
    NSButton* startupCheckbox = nullptr;
    std::map<std::string, NSTextField*, std::less<>> textFields;

    // Names of the outlets the pane did not connect.
    std::vector<std::string> find(const NSPreferencePane& pane);
    // What a text field shows.
    const std::string& text(std::string_view outlet) const;
};

// A clock of tarnwickctl's own, to the clock step's precision: "380.25 MHz".
std::string megahertz(double value);
// A stepper's limit the same way, rounded into the range (up for the lowest,
// down for the highest), so that the figure shown can be typed back.
std::string megahertzLimit(double value, bool lowest);

// The pane now, as several lines: the card rows, then the selected card.
void printPane(const PaneControls& c);
// The pane on one line each: the card rows; the selected card.
std::string cardsLine(const PaneControls& c);
std::string shownCardLine(const PaneControls& c);
// The startup checkbox: "on", "off", "off (disabled)".
std::string startupState(const PaneControls& c);
