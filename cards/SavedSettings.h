// The saved card settings: the preferences domain, its card entries and the
// rule that matches entries to the cards present.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Card.h"
#include "host/CoreFoundation.h"

inline constexpr const char* kTarnwickPrefDomain = "name.halvorn.oddny.TarnwickPref";
inline constexpr const char* kSetAtStartupKey = "Set at Startup";
inline constexpr const char* kCardsKey = "Cards";
inline constexpr const char* kSlotKey = "Slot";
inline constexpr const char* kModelKey = "Model";
inline constexpr const char* kVPUKey = "VPU";
inline constexpr const char* kMemoryKey = "Memory";
inline constexpr const char* kStockVPUKey = "Stock VPU";
inline constexpr const char* kStockMemoryKey = "Stock Memory";
inline constexpr const char* kStockGPLLKey = "Stock GPLL";
inline constexpr const char* kStockMPLLKey = "Stock MPLL";
inline constexpr const char* kStockGPKey = "Stock GP";
inline constexpr const char* kStockMPKey = "Stock MP";
inline constexpr const char* kStockGPLL2Key = "Stock GPLL2";
inline constexpr const char* kStockMPLL2Key = "Stock MPLL2";

using CardList = std::vector<std::unique_ptr<Card>>;

// A card that is present but whose driver did not answer when the card was
// created: never programmed, known only by its slot and model, so that the
// writers keep its saved entries.
struct UnreadCard {
    std::string slot;   // C form
    std::string model;  // C form
    // Its place in discovery order: the number of cards created before it.
    std::size_t cardsBefore = 0;
};

// Matching saved entries to cards, the rule both readers follow: the
// domain's "Cards" from the last entry to the first; each entry that has
// text "Slot" and "Model" and number "VPU" and "Memory" has one candidate,
// the last card whose slot equals its "Slot", and goes to that card when the
// card's model equals its "Model" (both compared as C strings) and its clocks
// are usable for the card (isUsableCardEntry). An entry that is not usable
// is applied to no card, with a log line.
void forEachMatchedCardEntry(const cf::Dictionary& domain, const CardList& cards,
                             const std::function<void(Card&, const cf::Dictionary&)>& apply);

// How high a clock of a card may go, from its stock clock: the highest a
// user may ask for (twice stock: the top of the pane's steppers), and the
// highest a reader of saved clocks accepts, which is what the card may reach
// when asked for that (Card::reachableAbove). One rule for both, so that a
// clock the pane set is never refused at the next login.
struct ClockCeiling {
    double highestAsked;
    double highestKept;
};
ClockCeiling clockCeiling(float stock, const Card& card);

// Whether an entry's clocks may go to its candidate card: "VPU" and
// "Memory", as the floats the card would get, must be finite, above 0 and at
// most the ceiling's highest kept clock. The stock clock is the card's own
// when known (non-zero now), else the entry's "Stock VPU" / "Stock Memory"
// when finite and above 0, else the clock the card runs at now, which would
// become its stock. No pane can set a clock beyond that, so anything else is
// a damaged entry, not a wish.
bool isUsableCardEntry(const cf::Dictionary& entry, const Card& candidate);

// Restores the saved cards: each matched card gets
// restoreStoredPLLWithVPU:memory: with the entry's "VPU" and "Memory", then
// getStockSettingsFromPrefsDictionary: with the entry. A card whose saved
// clocks could not be put back is marked so (Card::savedClocksUnrestored),
// with a log line. The number of cards so marked.
std::size_t applySavedCards(const cf::Dictionary& domain, const CardList& cards);

// The "Cards" array a writer stores: one entry per card (`entryOf`) from the
// last card to the first, where a card that keeps its saved entry
// (Card::keepsSavedEntry) keeps the "VPU" and "Memory" of its first entry in
// `previous` that a restore would apply (the domain as it was read, if any;
// no entry without one); in
// each unread card's place the entries of `previous` whose "Slot" and
// "Model" equal the card's, carried over unchanged. Entries of cards that are
// gone are dropped.
cf::Array cardEntriesToSave(const CardList& cards, const std::vector<UnreadCard>& unreadCards,
                            const cf::Dictionary* previous,
                            const std::function<cf::Dictionary(Card&)>& entryOf);

// The six keys every card entry has: "Slot", "Model", "VPU", "Memory",
// "Stock VPU", "Stock Memory" (the frequencies as floats).
cf::Dictionary commonCardEntry(const Card& card);

// Stock keys of an entry: a number's value, 0 for a missing key or another type.
float floatFromEntry(const cf::Dictionary& entry, const char* key);
std::uint32_t uint32FromEntry(const cf::Dictionary& entry, const char* key);
