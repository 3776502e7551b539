// The startup tool: run at login, it finds the cards, puts their saved clocks
// back, records the stock clocks of cards that lack them and exits.
#include <optional>

#include "CardDiscovery.h"
#include "SavedSettings.h"
#include "host/Foundation.h"
#include "host/Log.h"

namespace {

void run() {
    DiscoveredCards found = discoverCards();
    // Without the registry the cards are unknown, not absent: a rewrite
    // would drop every saved card.
    if (found.registryUnreadable) {
        NSLog("Tarnwick: the machine could not be read; saved settings left as they are\n");
        return;
    }
    const CardList& cards = found.cards;

    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    // A domain that does not parse reads as none: nothing to restore.
    const std::optional<cf::Dictionary> saved =
        defaults.persistentDomainForName(kTarnwickPrefDomain);
    if (saved) {
        applySavedCards(*saved, cards);
    }

    bool rewrite = false;
    for (auto card = cards.rbegin(); card != cards.rend(); ++card) {
        if ((*card)->realStockVPUFreq() == 0 || (*card)->realStockMemFreq() == 0) {
            (*card)->setStockSettings();
            rewrite = true;
        }
    }
    if (!rewrite) {
        return;
    }

    cf::Array entries =
        cardEntriesToSave(cards, found.unreadCards, saved ? &*saved : nullptr, [](Card& card) {
            cf::Dictionary entry = commonCardEntry(card);
            // Known stock register words must survive the rewrite, or the
            // next pane load would take the clocks just restored for stock.
            card.addStockRegisterKeys(entry);
            return entry;
        });
    cf::Dictionary domain;
    domain.set(kSetAtStartupKey, true);
    domain.set(kCardsKey, std::move(entries));
    defaults.setPersistentDomain(domain, kTarnwickPrefDomain);
    if (!defaults.synchronize()) {
        NSLog("Tarnwick: the saved settings could not be written\n");
    }
}

}  // namespace

int main() {
    // No arguments, and the login window gets status 0 whatever happens.
    try {
        run();
    } catch (...) {
    }
    return 0;
}
