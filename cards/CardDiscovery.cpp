#include "CardDiscovery.h"

#include "ATICard.h"
#include "NVIDIACard.h"
#include "host/IOKit.h"

std::uint32_t vendorIDOfDriverParent(io_service_t driver) {
    io_registry_entry_t parent = 0;
    if (IORegistryEntryGetParentEntry(driver, kIOServicePlane, &parent) != kIOReturnSuccess) {
        return 0;
    }
    const std::uint32_t vendor = Card::uInt32FromDataPropertyWithName("vendor-id", parent);
    IOObjectRelease(parent);
    return vendor;
}

std::unique_ptr<Card> makeCardForVendor(std::uint32_t vendorID) {
    switch (vendorID) {
    case kATIVendorID: return std::make_unique<ATICard>();
    case kNVIDIAVendorID: return std::make_unique<NVIDIACard>();
    default: return nullptr;
    }
}

DiscoveredCards discoverCards(const BrandLookup& brandOf, const CardFactory& makeCard) {
    DiscoveredCards found;
    io_iterator_t iterator = 0;
    CFMutableDictionaryRef matching = IOServiceNameMatching(kTarnwickDriverName);
    if (!matching) {
        return found;
    }
    // An error here is the machine failing, not a machine without drivers
    // (that is success with nothing to iterate).
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator) !=
        kIOReturnSuccess) {
        found.registryUnreadable = true;
        return found;
    }
    while (io_object_t service = IOIteratorNext(iterator)) {
        // A driver without a card has vendor 0, which no factory serves.
        std::unique_ptr<Card> card = makeCard(brandOf(service));
        if (!card) {
            IOObjectRelease(service);
            continue;
        }
        if (card->initWithIOObject(service)) {
            found.cards.push_back(std::move(card));
        } else if (card->driverUnread() && card->slot() && card->model()) {
            found.unreadCards.push_back(
                {cString(*card->slot()), cString(*card->model()), found.cards.size()});
        }
    }
    IOObjectRelease(iterator);
    return found;
}

DiscoveredCards discoverCards(const CardFactory& makeCard) {
    return discoverCards(vendorIDOfDriverParent, makeCard);
}
