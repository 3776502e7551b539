// The startup tool: run at login, it finds the cards, puts their saved clocks
// back, records the stock clocks of cards that lack them and exits. It also
// registers for wake, which launches it again: then, with "Set at Startup"
// on, it puts the saved clocks back the same way. Either reapply is guarded,
// so that clocks that hung the machine are not applied again.
#include <optional>

#include "CardDiscovery.h"
#include "ReapplyGuard.h"
#include "SavedSettings.h"
#include "host/Foundation.h"
#include "host/Log.h"
#include "host/IOPMLib.h"

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

// The cards lose their clocks while the machine sleeps; they come back only
// when the user has them applied at login.
void runAfterWake() {
    const std::optional<cf::Dictionary> domain =
        NSUserDefaults::standardUserDefaults().persistentDomainForName(kTarnwickPrefDomain);
    if (!domain || !cf::boolValue(domain->get(kSetAtStartupKey))) {
        return;
    }
    reapplyGuarded(Reapplier::StartupTool, kReapplyAfterWake, run);
}

void systemPowerChanged(void* refcon, io_service_t, natural_t messageType, void*) {
    if (messageType == kIOMessageSystemHasPoweredOn) {
        *static_cast<bool*>(refcon) = true;
    }
}

}  // namespace

int main() {
    // No arguments, and the login window gets status 0 whatever happens.
    try {
        // A wake launches the tool with the message pending, which arrives
        // while it registers.
        bool woke = false;
        IONotificationPortRef port = nullptr;
        io_object_t notifier = IO_OBJECT_NULL;
        const io_connect_t rootPort =
            IORegisterForSystemPower(&woke, &port, systemPowerChanged, &notifier);
        if (woke) {
            runAfterWake();
        } else {
            reapplyGuarded(Reapplier::StartupTool, kReapplyAtLogin, run);
        }
        IONotificationPortDestroy(port);
        IOServiceClose(rootPort);
    } catch (...) {
    }
    return 0;
}
