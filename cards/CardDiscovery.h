// Finding the cards: every clock driver instance in the registry whose card
// is of a vendor the card classes serve becomes a card.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "Card.h"
#include "SavedSettings.h"

// PCI vendor ids ("vendor-id" of the card's entry).
inline constexpr std::uint32_t kATIVendorID = 4098;     // 0x1002
inline constexpr std::uint32_t kNVIDIAVendorID = 4318;  // 0x10DE

// The card for a vendor, not yet initialised, or none for a vendor it does
// not serve.
using CardFactory = std::function<std::unique_ptr<Card>(std::uint32_t vendorID)>;

// An ATICard or an NVIDIACard.
std::unique_ptr<Card> makeCardForVendor(std::uint32_t vendorID);

// The drivers named kTarnwickDriverName in registry order; each whose parent
// entry's vendor the factory serves is handed to a new card's
// initWithIOObject:, and the cards that accept it are returned in that
// order. A driver without a parent or of another vendor is released.
CardList discoverCards(const CardFactory& makeCard = makeCardForVendor);
