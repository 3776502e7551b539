// The saved card settings as any bytes: the domain file is read by the user
// defaults, its "Cards" applied to the default machine's cards, then every
// card fills its missing stock clocks. Nothing may crash, and the hardware
// may only ever hold what the clock driver accepts.
//
// Input: the bytes of the domain file, except that one starting with byte
// 0x01 is decoded into a domain of card entries for the default machine's
// slots and models with clocks of any value and type, written as XML: XML
// mutations seldom reach a matched entry with an odd number.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "ATICard.h"
#include "CardDiscovery.h"
#include "FuzzSimMac.h"
#include "NVIDIACard.h"
#include "SavedSettings.h"
#include "host/Foundation.h"
#include "host/IOKit.h"
#include "host/SimMac.h"

namespace {

constexpr std::size_t kDefaultMachineCards = 3;
constexpr std::uint8_t kStructuredInput = 0x01;

const char* const kSlots[] = {"AGP", "SLOT-1", "SLOT-2"};
const char* const kModels[] = {"Radeon 9800 Pro", "NVIDIA GeForce 6800 Ultra",
                               "NVIDIA GeForce FX 5200"};
const char* const kNumberKeys[] = {kVPUKey,        kMemoryKey,    kStockVPUKey, kStockMemoryKey,
                                   kStockGPLLKey,  kStockMPLLKey, kStockGPKey,  kStockMPKey,
                                   kStockGPLL2Key, kStockMPLL2Key};

// A number of any type and value, now and then another type.
cf::Value decodeNumber(fuzzsupport::ByteReader& in) {
    const std::uint8_t tag = in.u8();
    switch (tag % 8) {
    case 0: {
        const std::uint32_t bits = in.u32();
        float f;
        __builtin_memcpy(&f, &bits, sizeof f);
        return cf::CFNumberCreateReal(cf::kCFNumberFloatType, f);
    }
    case 1: {
        const std::uint64_t bits = in.u64();
        double d;
        __builtin_memcpy(&d, &bits, sizeof d);
        return cf::CFNumberCreateReal(cf::kCFNumberDoubleType, d);
    }
    case 2:
        return cf::CFNumberCreateReal(cf::kCFNumberFloatType,
                                      static_cast<double>(in.u32() % 4000000) / 1000);
    case 3: return cf::CFNumberCreate(cf::kCFNumberSInt64Type, static_cast<std::int64_t>(in.u64()));
    case 4: return cf::CFNumberCreate(cf::kCFNumberIntType, static_cast<std::int32_t>(in.u32()));
    case 5: return cf::CFNumberCreate(cf::kCFNumberIntType, in.u8() % 16);
    case 6: return static_cast<bool>(in.u8() & 1);
    default: return in.bytes(8);
    }
}

std::string decodeDomain(fuzzsupport::ByteReader& in) {
    cf::Array entries;
    const int count = in.u8() % 5;
    for (int i = 0; i < count; ++i) {
        cf::Dictionary entry;
        const std::uint8_t card = in.u8();
        entry.set(kSlotKey, card & 0x80 ? in.bytes(8) : std::string(kSlots[card % 3]));
        entry.set(kModelKey, card & 0x40 ? in.bytes(8) : std::string(kModels[(card >> 2) % 3]));
        const std::uint16_t present = static_cast<std::uint16_t>(in.u8() | in.u8() << 8);
        for (std::size_t k = 0; k < std::size(kNumberKeys); ++k)
            if (k < 2 ? !(present & (1u << k)) : (present & (1u << k)))
                entry.set(kNumberKeys[k], decodeNumber(in));
        entries.push_back(std::move(entry));
    }
    cf::Dictionary domain;
    domain.set(kSetAtStartupKey, static_cast<bool>(in.u8() & 1));
    domain.set(kCardsKey, std::move(entries));
    return cf::toXMLPropertyList(domain);
}

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

// The startup tool's discovery, with cards that release their handles.
std::unique_ptr<Card> makeReleasingCard(std::uint32_t vendorID) {
    if (vendorID == kATIVendorID) return std::make_unique<ReleasingCard<ATICard>>();
    if (vendorID == kNVIDIAVendorID) return std::make_unique<ReleasingCard<NVIDIACard>>();
    return nullptr;
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
    cf::Value domain = cf::Dictionary{};
    domain.dictionary()->set(kSetAtStartupKey, true);
    domain.dictionary()->set(kCardsKey, std::move(entries));
    // Entries read back once read back the same way every time: many inputs
    // leave the cards as others did, and those entries are checked once.
    struct Hash {
        std::size_t operator()(const cf::Value& v) const { return fuzzsupport::writtenHash(v); }
    };
    struct Same {
        bool operator()(const cf::Value& a, const cf::Value& b) const {
            return fuzzsupport::sameWhenWritten(a, b);
        }
    };
    static std::unordered_set<cf::Value, Hash, Same> readBackAsWritten;
    if (readBackAsWritten.count(domain)) return;
    const std::string xml = cf::toXMLPropertyList(domain);
    std::string error;
    std::optional<cf::Value> back = cf::parsePropertyList(xml, &error);
    if (!back) fuzzsupport::fail("the card entries to save do not parse: " + error);
    // What writes the same text reads back as written; else compared as
    // text, so that a NaN clock counts as equal to itself.
    if (!fuzzsupport::sameWhenWritten(*back, domain) && cf::toXMLPropertyList(*back) != xml)
        fuzzsupport::fail("the card entries to save do not read back as written");
    if (readBackAsWritten.size() < 4096) readBackAsWritten.insert(std::move(domain));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::initSimMac();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::resetSimMac();
    fuzzsupport::ByteReader in(data, size);
    const std::string bytes = size && data[0] == kStructuredInput
                                  ? (in.u8(), decodeDomain(in))
                                  : std::string(reinterpret_cast<const char*>(data), size);
    static const std::string domainFile =
        (host::preferencesDir() / (std::string(kTarnwickPrefDomain) + ".plist")).string();
    fuzzsupport::writeInputFile(domainFile, bytes);

    CardList cards = discoverCards(makeReleasingCard).cards;
    if (cards.size() != kDefaultMachineCards)
        fuzzsupport::fail("the default machine's cards were not all created");
    if (std::optional<cf::Dictionary> domain =
            NSUserDefaults::standardUserDefaults().persistentDomainForName(kTarnwickPrefDomain))
        applySavedCards(*domain, cards);
    for (auto card = cards.rbegin(); card != cards.rend(); ++card) (*card)->setStockSettings();

    fuzzsupport::checkMachineOrAbort("after applying the saved cards");
    checkDomainRoundTrip(cards);
    return 0;
}
