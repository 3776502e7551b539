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

// What the reapply found: the cards, and the settings as they were read.
struct Reapplied {
    DiscoveredCards found;
    std::optional<cf::Dictionary> saved;
};

// Finds the cards and puts their saved clocks back.
void discoverAndRestore(Reapplied& state) {
    state.found = discoverCards();
    // Without the registry the cards are unknown, not absent.
    if (state.found.registryUnreadable) return;
    // A domain that does not parse reads as none: nothing to restore.
    state.saved =
        NSUserDefaults::standardUserDefaults().persistentDomainForName(kTarnwickPrefDomain);
    if (state.saved) applySavedCards(*state.saved, state.found.cards);
}

// Records the stock clocks of the cards that lack them, rewriting the
// settings; only when they are still what the reapply read: a pane that
// saved meanwhile holds the newer choice.
void recordMissingStock(Reapplied& state) {
    const CardList& cards = state.found.cards;
    bool rewrite = false;
    for (auto card = cards.rbegin(); card != cards.rend(); ++card) {
        if ((*card)->realStockVPUFreq() == 0 || (*card)->realStockMemFreq() == 0) {
            (*card)->setStockSettings();
            // A card whose stock clocks could not be measured has none to record.
            rewrite =
                rewrite || ((*card)->realStockVPUFreq() != 0 && (*card)->realStockMemFreq() != 0);
        }
    }
    if (!rewrite) {
        return;
    }

    const std::optional<cf::Dictionary>& saved = state.saved;
    cf::Array entries = cardEntriesToSave(cards, state.found.unreadCards, saved ? &*saved : nullptr,
                                          [](Card& card) {
                                              cf::Dictionary entry = commonCardEntry(card);
                                              // Known stock register words must survive the
                                              // rewrite, or the next pane load would take the
                                              // clocks just restored for stock.
                                              card.addStockRegisterKeys(entry);
                                              return entry;
                                          });
    cf::Dictionary domain;
    domain.set(kSetAtStartupKey, true);
    domain.set(kCardsKey, std::move(entries));

    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    const host::PersistentDomainLock lock(kTarnwickPrefDomain);
    if (!lock.locked()) {
        NSLog("Tarnwick: the saved settings are left as they are: %s\n", lock.error().c_str());
        return;
    }
    if (defaults.persistentDomainForName(kTarnwickPrefDomain) != saved) {
        NSLog(
            "Tarnwick: the saved settings changed while the saved clocks were applied; the "
            "newer settings are left as they are\n");
        return;
    }
    defaults.setPersistentDomain(domain, kTarnwickPrefDomain);
    if (!defaults.synchronize()) {
        NSLog("Tarnwick: the saved settings could not be written\n");
    }
}

void run(const char* when) {
    Reapplied state;
    const ReapplyOutcome outcome =
        reapplyGuarded(Reapplier::StartupTool, when, [&] { discoverAndRestore(state); });
    // A reapply that did not run, or ran unguarded with every write refused,
    // has nothing true to write.
    if (outcome != ReapplyOutcome::Done) return;
    if (state.found.registryUnreadable) {
        NSLog("Tarnwick: the machine could not be read; saved settings left as they are\n");
        return;
    }
    recordMissingStock(state);
}

// The cards lose their clocks while the machine sleeps; they come back only
// when the user has them applied at login.
void runAfterWake() {
    const std::optional<cf::Dictionary> domain =
        NSUserDefaults::standardUserDefaults().persistentDomainForName(kTarnwickPrefDomain);
    if (!domain || !cf::boolValue(domain->get(kSetAtStartupKey))) {
        return;
    }
    run(kReapplyAfterWake);
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
            run(kReapplyAtLogin);
        }
        IONotificationPortDestroy(port);
        IOServiceClose(rootPort);
    } catch (...) {
    }
    return 0;
}
