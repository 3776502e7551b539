// The card library's cards on a test's simulated Mac: the ATI cards found
// as the startup tool finds them, an NVIDIA card made from a driver.
#pragma once

#include <memory>

#include "ATICard.h"
#include "CardDiscovery.h"
#include "NVIDIACard.h"
#include "support/IOKitCalls.h"

namespace testsupport {

// The ATI cards of the simulated Mac, in discovery order.
inline CardList discoverATICards() {
    const auto atiOnly = [](std::uint32_t vendorID) -> std::unique_ptr<Card> {
        if (vendorID != kATIVendorID) return nullptr;
        return std::make_unique<ATICard>();
    };
    return discoverCards(atiOnly).cards;
}

// The card of the `index`-th driver instance; nullptr when rejected.
inline std::unique_ptr<NVIDIACard> createNVIDIACard(std::size_t index = 0) {
    const auto instances = matching(kTarnwickDriverName);
    if (index >= instances.size()) return nullptr;
    auto card = std::make_unique<NVIDIACard>();
    if (!card->initWithIOObject(instances[index])) return nullptr;
    return card;
}

}  // namespace testsupport
