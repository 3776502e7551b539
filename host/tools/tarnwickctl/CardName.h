// A card as tarnwickctl names it: its row in the pane's card table, counted
// from 0, or its slot as the table shows it ("AGP", "SLOT-1", "Built-in").
// The rows move up when the pane leaves out a card whose driver did not
// answer, so a row is then refused: only a slot still names the card meant.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

#include "host/AppKit.h"

// The form of a card name, checked before the pane opens: a row is decimal
// digits (after a minus sign, it is told there is no such row); a slot
// begins with neither a digit, a sign nor a space. Empty when `text` can
// name a card, else why not.
std::string cardNameProblem(const std::string& text);
extern const CLI::Validator kCardName;

// The row of the card that `name` names in `table`. Nothing, with `*why`,
// when no card or several do, or when a row is given while `cardsLeftOut`
// cards are missing from the table (the message names the slots).
std::optional<int> findCard(const NSTableView& table, const std::string& name, long cardsLeftOut,
                            std::string* why);
