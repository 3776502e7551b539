// A clock typed into one of the pane's fields, against the clock in force and
// the stock clock: a typed clock reaches the card in one step, however far
// it is, so one more than 10 % of stock away from the clock in force is
// asked about first. The arrows move a step at a time and ask nothing.
#pragma once

#include <string>
#include <vector>

struct TypedClock {
    // How far from the clock in force, as a part of stock, a typed clock may
    // lie before the pane asks.
    static constexpr double kAskBeyondPartOfStock = 0.10;

    float typed = 0;    // MHz
    float inForce = 0;  // MHz, as the pane shows it in force
    float stock = 0;    // MHz; 0: not known

    // More than 10 % of stock away from the clock in force, or either of
    // them not known (then nothing tells how far it is).
    bool asksFirst() const;
    // The typed clock relative to stock, percent (positive above stock).
    double percentOverStock() const;
};

// A clock as the pane shows it: two decimals, the step's precision.
std::string clockText(double megahertz);
// The percentage with its sign and one decimal: "+11.1", "-96.3".
std::string percentText(double percent);
// `format` with "%1$@", "%2$@", ... replaced by the arguments in order (as a
// localized format string names them); anything else is kept as it is.
std::string formatLocalized(const std::string& format, const std::vector<std::string>& arguments);
