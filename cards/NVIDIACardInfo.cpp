// The pane's build of NVIDIACard: the card's entry of the saved settings,
// with every stock register word.
#include "NVIDIACard.h"
#include "SavedSettings.h"

cf::Dictionary NVIDIACard::saveCardInfo() {
    cf::Dictionary entry = commonCardEntry(*this);
    appendStockRegisterKeys(entry);
    return entry;
}
