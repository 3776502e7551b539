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

CardList discoverCards(const BrandLookup& brandOf, const CardFactory& makeCard) {
    CardList cards;
    io_iterator_t iterator = 0;
    CFMutableDictionaryRef matching = IOServiceNameMatching(kTarnwickDriverName);
    if (!matching || IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator) !=
                         kIOReturnSuccess) {
        return cards;
    }
    while (io_object_t service = IOIteratorNext(iterator)) {
        // A driver without a card has vendor 0, which no factory serves.
        std::unique_ptr<Card> card = makeCard(brandOf(service));
        if (!card) {
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

CardList discoverCards(const CardFactory& makeCard) {
    return discoverCards(vendorIDOfDriverParent, makeCard);
}
