// Finding the cards: every clock driver instance in the registry whose card
// is of a vendor the card classes serve becomes a card.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Card.h"
#include "SavedSettings.h"

// PCI vendor ids ("vendor-id" of the card's entry).
inline constexpr std::uint32_t kATIVendorID = 4098;     // 0x1002
inline constexpr std::uint32_t kNVIDIAVendorID = 4318;  // 0x10DE

// The vendor id of a driver instance's card, 0 when there is none.
using BrandLookup = std::function<std::uint32_t(io_service_t driver)>;

// The card for a vendor, not yet initialised, or none for a vendor it does
// not serve.
using CardFactory = std::function<std::unique_ptr<Card>(std::uint32_t vendorID)>;

// The "vendor-id" of the driver's parent entry in the IOService plane (read
// with Card's class reader), 0 without a parent. The parent handle is
// released: the card takes its own.
std::uint32_t vendorIDOfDriverParent(io_service_t driver);

// An ATICard or an NVIDIACard.
std::unique_ptr<Card> makeCardForVendor(std::uint32_t vendorID);

// What discovery found.
struct DiscoveredCards {
    // The cards created, in registry order.
    CardList cards;
    // The cards present whose driver did not answer at creation, with their
    // places among `cards`.
    std::vector<UnreadCard> unreadCards;
    // The registry itself could not be read (the machine is unreadable): a
    // host failure, not a machine without clock drivers.
    bool registryUnreadable = false;
};

// The drivers named kTarnwickDriverName in registry order; each whose
// vendor (by brandOf) the factory serves is handed to a new card's
// initWithIOObject:, and the cards that accept it are returned in that
// order. A driver of another vendor or without a card is released. A card
// that gave up because its driver did not answer, and that has a slot and a
// model, is listed among the unread cards.
DiscoveredCards discoverCards(const BrandLookup& brandOf,
                              const CardFactory& makeCard = makeCardForVendor);
// The same with vendorIDOfDriverParent as the brand lookup.
DiscoveredCards discoverCards(const CardFactory& makeCard = makeCardForVendor);
