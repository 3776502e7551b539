// The startup tool: run at login, it finds the cards, puts their saved clocks
// back, records the stock clocks of cards that lack them and exits.
#include <optional>

#include "CardDiscovery.h"
#include "SavedSettings.h"
#include "host/Foundation.h"

namespace {

void run() {
    CardList cards = discoverCards();

    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    // A domain that does not parse reads as none: nothing to restore.
    if (std::optional<cf::Dictionary> domain =
            defaults.persistentDomainForName(kTarnwickPrefDomain)) {
        applySavedCards(*domain, cards);
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

    cf::Array entries;
    for (auto card = cards.rbegin(); card != cards.rend(); ++card) {
        cf::Dictionary entry = commonCardEntry(**card);
        // Known stock register words must survive the rewrite, or the next
        // pane load would take the clocks just restored for stock.
        (*card)->addStockRegisterKeys(entry);
        entries.push_back(std::move(entry));
    }
    cf::Dictionary domain;
    domain.set(kSetAtStartupKey, true);
    domain.set(kCardsKey, std::move(entries));
    defaults.setPersistentDomain(domain, kTarnwickPrefDomain);
    defaults.synchronize();
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
