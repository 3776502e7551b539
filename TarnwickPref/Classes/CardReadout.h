// What the pane shows of a card: its two clocks, each as a percentage above
// its stock clock, and whether the card is off stock (the default button's
// state). Every handler that shows a card takes it from here.
#pragma once

#include "Card.h"

struct CardReadout {
    float vpuFrequency = 0;
    float memFrequency = 0;
    float vpuPercent = 0;
    float memPercent = 0;
    bool offStock = false;

    static CardReadout of(const Card& card);
};
