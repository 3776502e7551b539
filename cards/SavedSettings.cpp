#include "SavedSettings.h"

#include <cmath>

#include "host/Log.h"

namespace {

bool isString(const cf::Value* value) { return value && value->string(); }

bool isNumber(const cf::Value* value) { return value && value->number(); }

// A clock to restore: a number that a frequency can be. NaN, infinities and
// negative values would turn into arbitrary dividers.
bool isFrequency(const cf::Value* value) {
    if (!isNumber(value)) {
        return false;
    }
    const double frequency = value->number()->doubleValue();
    return std::isfinite(frequency) && frequency >= 0;
}

}  // namespace

void applySavedCards(const cf::Dictionary& domain, const CardList& cards) {
    const cf::Value* cardsValue = domain.get(kCardsKey);
    const cf::Array* entries = cardsValue ? cardsValue->array() : nullptr;
    if (!entries) {
        return;
    }
    for (auto entryValue = entries->rbegin(); entryValue != entries->rend(); ++entryValue) {
        const cf::Dictionary* entry = entryValue->dictionary();
        // Both writers always store these four; anything else cannot be
        // matched or restored safely.
        if (!entry || !isString(entry->get(kSlotKey)) || !isString(entry->get(kModelKey)) ||
            !isFrequency(entry->get(kVPUKey)) || !isFrequency(entry->get(kMemoryKey))) {
            NSLog(
                "Tarnwick: saved card entry ignored: it needs text Slot and Model and clocks VPU "
                "and Memory\n");
            continue;
        }
        const std::string slot = cString(*entry->get(kSlotKey)->string());
        const std::string model = cString(*entry->get(kModelKey)->string());
        for (auto card = cards.rbegin(); card != cards.rend(); ++card) {
            if (!(*card)->slot() || cString(*(*card)->slot()) != slot) {
                continue;
            }
            // Only the last card with this slot is a candidate.
            if ((*card)->model() && cString(*(*card)->model()) == model) {
                (*card)->restoreStoredPLLWithVPU(floatFromEntry(*entry, kVPUKey),
                                                 floatFromEntry(*entry, kMemoryKey));
                (*card)->getStockSettingsFromPrefsDictionary(*entry);
            }
            break;
        }
    }
}

cf::Dictionary commonCardEntry(const Card& card) {
    cf::Dictionary entry;
    entry.set(kSlotKey, cString(card.slot().value_or(std::string())));
    entry.set(kModelKey, cString(card.model().value_or(std::string())));
    entry.set(kVPUKey, cf::CFNumberCreateReal(cf::kCFNumberFloatType, card.vpuFrequency()));
    entry.set(kMemoryKey, cf::CFNumberCreateReal(cf::kCFNumberFloatType, card.memFrequency()));
    entry.set(kStockVPUKey,
              cf::CFNumberCreateReal(cf::kCFNumberFloatType, card.realStockVPUFreq()));
    entry.set(kStockMemoryKey,
              cf::CFNumberCreateReal(cf::kCFNumberFloatType, card.realStockMemFreq()));
    return entry;
}

float floatFromEntry(const cf::Dictionary& entry, const char* key) {
    const cf::Value* value = entry.get(key);
    return isNumber(value) ? value->number()->floatValue() : 0.0f;
}

std::uint32_t uint32FromEntry(const cf::Dictionary& entry, const char* key) {
    const cf::Value* value = entry.get(key);
    return isNumber(value) ? value->number()->uint32Value() : 0;
}
