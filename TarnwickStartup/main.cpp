// The startup tool: run at login, it finds the cards, puts their saved clocks
// back, records the stock clocks of cards that lack them and exits.
#include <memory>

#include "ATICard.h"
#include "NVIDIACard.h"
#include "SavedSettings.h"
#include "host/Foundation.h"
#include "host/IOKit.h"

namespace {

constexpr std::uint32_t kATIVendorID = 4098;     // 0x1002
constexpr std::uint32_t kNVIDIAVendorID = 4318;  // 0x10DE

CardList discoverCards() {
    CardList cards;
    io_iterator_t iterator = 0;
    CFMutableDictionaryRef matching = IOServiceNameMatching(kTarnwickDriverName);
    if (!matching ||
        IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator) != kIOReturnSuccess) {
        return cards;
    }
    while (io_object_t service = IOIteratorNext(iterator)) {
        io_registry_entry_t parent = 0;
        if (IORegistryEntryGetParentEntry(service, kIOServicePlane, &parent) != kIOReturnSuccess) {
            IOObjectRelease(service);
            continue;
        }
        const std::uint32_t vendor = Card::uInt32FromDataPropertyWithName("vendor-id", parent);
        // The card looks up its own parent entry; this one was only for the vendor.
        IOObjectRelease(parent);
        std::unique_ptr<Card> card;
        switch (vendor) {
        case kATIVendorID:
            card = std::make_unique<ATICard>();
            break;
        case kNVIDIAVendorID:
            card = std::make_unique<NVIDIACard>();
            break;
        default:
            IOObjectRelease(service);
            continue;
        }
        if (card->initWithIOObject(service)) {
            cards.push_back(std::move(card));
        }
    }
    IOObjectRelease(iterator);
    return cards;
}

void run() {
    CardList cards = discoverCards();

    NSUserDefaults& defaults = NSUserDefaults::standardUserDefaults();
    // A domain that does not parse reads as none: nothing to restore.
    if (std::optional<cf::Dictionary> domain = defaults.persistentDomainForName(kTarnwickPrefDomain)) {
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
