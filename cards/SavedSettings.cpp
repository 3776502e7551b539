#include "SavedSettings.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "host/Log.h"

namespace {

bool isString(const cf::Value* value) { return value && value->string(); }

bool isNumber(const cf::Value* value) { return value && value->number(); }

// What matching needs of an entry: text "Slot" and "Model", and "VPU" and
// "Memory" as numbers to restore. Both writers always store these.
bool hasEntryKeys(const cf::Value& entryValue) {
    const cf::Dictionary* entry = entryValue.dictionary();
    return entry && isString(entry->get(kSlotKey)) && isString(entry->get(kModelKey)) &&
           isNumber(entry->get(kVPUKey)) && isNumber(entry->get(kMemoryKey));
}

const cf::Array* savedEntries(const cf::Dictionary& domain) {
    const cf::Value* cardsValue = domain.get(kCardsKey);
    return cardsValue ? cardsValue->array() : nullptr;
}

bool isPositive(float value) { return std::isfinite(value) && value > 0; }

// The stock clock an entry's clock is held against (see isUsableCardEntry);
// 0 when none is known.
float referenceStock(float cardStock, const cf::Dictionary& entry, const char* stockKey,
                     float current) {
    for (float stock : {cardStock, floatFromEntry(entry, stockKey), current}) {
        if (isPositive(stock)) return stock;
    }
    return 0;
}

bool isSettableClock(float clock, float stock, const Card& card) {
    return isPositive(clock) &&
           (stock == 0 || static_cast<double>(clock) <= clockCeiling(stock, card).highestKept);
}

bool belongsTo(const cf::Value& entryValue, const std::string& slot, const std::string& model) {
    const cf::Dictionary* entry = entryValue.dictionary();
    return entry && isString(entry->get(kSlotKey)) && isString(entry->get(kModelKey)) &&
           cString(*entry->get(kSlotKey)->string()) == slot &&
           cString(*entry->get(kModelKey)->string()) == model;
}

}  // namespace

ClockCeiling clockCeiling(float stock, const Card& card) {
    // In double precision: twice a huge stock must not overflow.
    const double highestAsked = 2.0 * static_cast<double>(stock);
    return {highestAsked,
            highestAsked + static_cast<double>(card.reachableAbove(static_cast<float>(
                               std::min(highestAsked, static_cast<double>(FLT_MAX)))))};
}

bool isUsableCardEntry(const cf::Dictionary& entry, const Card& candidate) {
    const float vpuStock =
        referenceStock(candidate.realStockVPUFreq(), entry, kStockVPUKey, candidate.vpuFrequency());
    const float memStock = referenceStock(candidate.realStockMemFreq(), entry, kStockMemoryKey,
                                          candidate.memFrequency());
    return isSettableClock(floatFromEntry(entry, kVPUKey), vpuStock, candidate) &&
           isSettableClock(floatFromEntry(entry, kMemoryKey), memStock, candidate);
}

void forEachMatchedCardEntry(const cf::Dictionary& domain, const CardList& cards,
                             const std::function<void(Card&, const cf::Dictionary&)>& apply) {
    const cf::Array* entries = savedEntries(domain);
    if (!entries) {
        return;
    }
    for (auto entryValue = entries->rbegin(); entryValue != entries->rend(); ++entryValue) {
        // Anything else cannot be matched or restored safely.
        if (!hasEntryKeys(*entryValue)) {
            NSLog(
                "Tarnwick: saved card entry ignored: it needs text Slot and Model and clocks VPU "
                "and Memory\n");
            continue;
        }
        const cf::Dictionary& entry = *entryValue->dictionary();
        const std::string slot = cString(*entry.get(kSlotKey)->string());
        const std::string model = cString(*entry.get(kModelKey)->string());
        for (auto card = cards.rbegin(); card != cards.rend(); ++card) {
            if (!(*card)->slot() || cString(*(*card)->slot()) != slot) {
                continue;
            }
            // Only the last card with this slot is a candidate.
            if (!(*card)->model() || cString(*(*card)->model()) != model) {
                break;
            }
            if (isUsableCardEntry(entry, **card)) {
                apply(**card, entry);
            } else {
                NSLog(
                    "Tarnwick: saved card entry ignored: the clocks for %s, %s (VPU %g, Memory %g "
                    "MHz) must be above 0 and at most twice the stock clocks\n",
                    slot.c_str(), model.c_str(),
                    static_cast<double>(floatFromEntry(entry, kVPUKey)),
                    static_cast<double>(floatFromEntry(entry, kMemoryKey)));
            }
            break;
        }
    }
}

std::size_t applySavedCards(const cf::Dictionary& domain, const CardList& cards) {
    std::size_t unrestored = 0;
    forEachMatchedCardEntry(domain, cards, [&](Card& card, const cf::Dictionary& entry) {
        card.restoreStoredPLLWithVPU(floatFromEntry(entry, kVPUKey),
                                     floatFromEntry(entry, kMemoryKey));
        if (!card.lastChangeSucceeded()) {
            card.setSavedClocksUnrestored();
            NSLog("Tarnwick: the saved clocks of %s, %s could not be put back; they stay saved\n",
                  cString(card.slot().value_or("")).c_str(),
                  cString(card.model().value_or("")).c_str());
        }
        card.getStockSettingsFromPrefsDictionary(entry);
    });
    for (const auto& card : cards) {
        if (card->savedClocksUnrestored()) ++unrestored;
    }
    return unrestored;
}

cf::Array cardEntriesToSave(const CardList& cards, const std::vector<UnreadCard>& unreadCards,
                            const cf::Dictionary* previous,
                            const std::function<cf::Dictionary(Card&)>& entryOf) {
    const cf::Array* saved = previous ? savedEntries(*previous) : nullptr;
    // Each saved entry is carried over once, even for two unread cards that
    // look alike.
    std::vector<bool> carried(saved ? saved->size() : 0, false);
    cf::Array entries;
    auto carryOver = [&](const std::string& slot, const std::string& model) {
        for (std::size_t i = 0; i < carried.size(); ++i) {
            if (!carried[i] && belongsTo((*saved)[i], slot, model)) {
                entries.push_back((*saved)[i]);
                carried[i] = true;
            }
        }
    };
    // From the last place to the first: the unread cards discovered after
    // card i - 1, then card i - 1 itself.
    auto unread = unreadCards.rbegin();
    for (std::size_t place = cards.size() + 1; place-- > 0;) {
        for (; unread != unreadCards.rend() && unread->cardsBefore >= place; ++unread) {
            carryOver(unread->slot, unread->model);
        }
        if (place == 0) {
            continue;
        }
        Card& card = *cards[place - 1];
        if (!card.keepsSavedEntry()) {
            entries.push_back(entryOf(card));
            continue;
        }
        // Clocks that are not the user's choice, or not known, never replace
        // the saved ones: the card's entry keeps the saved "VPU" and "Memory"
        // of the entry whose clocks were to be left on it (the first of its
        // entries that a restore applies), and without one the card has no
        // entry to write.
        const std::string slot = cString(card.slot().value_or(""));
        const std::string model = cString(card.model().value_or(""));
        for (std::size_t i = 0; i < carried.size(); ++i) {
            if (carried[i] || !belongsTo((*saved)[i], slot, model) || !hasEntryKeys((*saved)[i]) ||
                !isUsableCardEntry(*(*saved)[i].dictionary(), card))
                continue;
            const cf::Dictionary& kept = *(*saved)[i].dictionary();
            cf::Dictionary entry = entryOf(card);
            entry.set(kVPUKey, *kept.get(kVPUKey));
            entry.set(kMemoryKey, *kept.get(kMemoryKey));
            entries.push_back(std::move(entry));
            break;
        }
    }
    return entries;
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
