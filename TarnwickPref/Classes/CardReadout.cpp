#include "CardReadout.h"

namespace {

// Positive above stock, 0 at stock, in single precision. A stock clock of 0
// (unknown) gives no finite percentage; the field shows that as "-".
float percentAboveStock(float frequency, float stock) {
    return frequency / stock * 100.0f - 100.0f;
}

}  // namespace

CardReadout CardReadout::of(const Card& card) {
    CardReadout readout;
    readout.vpuFrequency = card.vpuFrequency();
    readout.memFrequency = card.memFrequency();
    readout.vpuPercent = percentAboveStock(card.vpuFrequency(), card.realStockVPUFreq());
    readout.memPercent = percentAboveStock(card.memFrequency(), card.realStockMemFreq());
    // Exact equality: a card a rounding step away from stock is off stock,
    // and so is a card whose clocks are unknown.
    readout.offStock = !(card.clocksKnown() && card.vpuFrequency() == card.realStockVPUFreq() &&
                         card.memFrequency() == card.realStockMemFreq());
    return readout;
}
