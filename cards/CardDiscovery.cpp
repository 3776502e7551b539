#include "CardDiscovery.h"

#include "ATICard.h"
#include "NVIDIACard.h"
#include "host/IOKit.h"

std::unique_ptr<Card> makeCardForVendor(std::uint32_t vendorID) {
    switch (vendorID) {
    case kATIVendorID: return std::make_unique<ATICard>();
    case kNVIDIAVendorID: return std::make_unique<NVIDIACard>();
    default: return nullptr;
    }
}

CardList discoverCards(const CardFactory& makeCard) {
    CardList cards;
    io_iterator_t iterator = 0;
    CFMutableDictionaryRef matching = IOServiceNameMatching(kTarnwickDriverName);
    if (!matching || IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator) !=
                         kIOReturnSuccess) {
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
        std::unique_ptr<Card> card = makeCard(vendor);
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
