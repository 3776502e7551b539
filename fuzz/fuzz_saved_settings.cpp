// The saved card settings as any bytes: the domain file is read by the user
// defaults, its "Cards" applied to the default machine's cards, then every
// card fills its missing stock clocks. Nothing may crash, and the hardware
// may only ever hold what the clock driver accepts.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ATICard.h"
#include "FuzzSimMac.h"
#include "NVIDIACard.h"
#include "SavedSettings.h"
#include "host/Foundation.h"
#include "host/IOKit.h"
#include "host/SimMac.h"

namespace {

constexpr std::uint32_t kATIVendorID = 0x1002;
constexpr std::uint32_t kNVIDIAVendorID = 0x10DE;
constexpr std::size_t kDefaultMachineCards = 3;

// A card that gives its registry handles back when it goes. The programs
// keep their cards until they exit; here every input is a whole run, and
// handles left over would grow the handle table from input to input.
template <class CardClass>
class ReleasingCard : public CardClass {
public:
    ~ReleasingCard() override {
        if (this->driver_) IOObjectRelease(this->driver_);
        if (this->card_) IOObjectRelease(this->card_);
    }
};

// As the startup tool and the pane find their cards.
CardList discoverCards() {
    CardList cards;
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceNameMatching(kTarnwickDriverName),
                                     &iterator) != kIOReturnSuccess)
        return cards;
    while (io_object_t service = IOIteratorNext(iterator)) {
        io_registry_entry_t parent = 0;
        if (IORegistryEntryGetParentEntry(service, kIOServicePlane, &parent) != kIOReturnSuccess) {
            IOObjectRelease(service);
            continue;
        }
        const std::uint32_t vendor = Card::uInt32FromDataPropertyWithName("vendor-id", parent);
        IOObjectRelease(parent);
        std::unique_ptr<Card> card;
        if (vendor == kATIVendorID) card = std::make_unique<ReleasingCard<ATICard>>();
        if (vendor == kNVIDIAVendorID) card = std::make_unique<ReleasingCard<NVIDIACard>>();
        if (!card) IOObjectRelease(service);
        if (card && card->initWithIOObject(service)) cards.push_back(std::move(card));
    }
    IOObjectRelease(iterator);
    return cards;
}

// What either writer would store next must be a property list that reads
// back as itself.
void checkDomainRoundTrip(const CardList& cards) {
    cf::Array entries;
    for (auto card = cards.rbegin(); card != cards.rend(); ++card) {
        entries.push_back((*card)->saveCardInfo());
        cf::Dictionary startupEntry = commonCardEntry(**card);
        (*card)->addStockRegisterKeys(startupEntry);
        entries.push_back(std::move(startupEntry));
    }
    cf::Dictionary domain;
    domain.set(kSetAtStartupKey, true);
    domain.set(kCardsKey, std::move(entries));
    const std::string xml = cf::toXMLPropertyList(domain);
    std::string error;
    std::optional<cf::Value> back = cf::parsePropertyList(xml, &error);
    if (!back) fuzzsupport::fail("the card entries to save do not parse: " + error);
    // Compared as text, so that a NaN clock counts as equal to itself.
    if (cf::toXMLPropertyList(*back) != xml) fuzzsupport::fail("the card entries to save do not read back as written");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::initSimMac();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::resetSimMac();
    std::string error;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (!host::writeFileAtomically(host::preferencesDir() / (std::string(kTarnwickPrefDomain) + ".plist"), bytes,
                                   &error))
        fuzzsupport::fail("cannot write the domain file: " + error);

    CardList cards = discoverCards();
    if (cards.size() != kDefaultMachineCards) fuzzsupport::fail("the default machine's cards were not all created");
    if (std::optional<cf::Dictionary> domain =
            NSUserDefaults::standardUserDefaults().persistentDomainForName(kTarnwickPrefDomain))
        applySavedCards(*domain, cards);
    for (auto card = cards.rbegin(); card != cards.rend(); ++card) (*card)->setStockSettings();

    fuzzsupport::checkMachineOrAbort("after applying the saved cards");
    checkDomainRoundTrip(cards);
    return 0;
}
