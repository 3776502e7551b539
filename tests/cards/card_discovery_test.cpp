// Which drivers become cards, in what order, and what the factory is asked.

#include "support/CardSupport.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

constexpr std::uint32_t kMatroxVendorID = 0x102B;

// ATI in SLOT-1, the other vendor in SLOT-2, NVIDIA in SLOT-3, then a second
// ATI card in SLOT-4, in that registry order.
void writeMixedMachine(const TempSimMac& mac) {
    mac.writeMachine(
        machine({atiEntry({.entryName = "ATY,First"}), otherVendorCard("Other,Card", "SLOT-2"),
                 nvidiaEntry("NVDA,Card", 0x0041, "SLOT-3", nv4xRegisters()),
                 atiEntry({.entryName = "ATY,Second", .slotName = "SLOT-4"})}));
}

TEST(CardDiscovery, FactoryIsAskedOncePerDriverWithItsCardsVendorInRegistryOrder) {
    TempSimMac mac;
    writeMixedMachine(mac);
    std::vector<std::uint32_t> asked;
    const auto recordVendor = [&](std::uint32_t vendorID) -> std::unique_ptr<Card> {
        asked.push_back(vendorID);
        return nullptr;
    };
    const CardList cards = discoverCards(recordVendor).cards;
    EXPECT_TRUE(cards.empty());
    EXPECT_EQ(asked, (std::vector<std::uint32_t>{kATIVendorID, kMatroxVendorID, kNVIDIAVendorID,
                                                 kATIVendorID}));
}

TEST(CardDiscovery, DefaultFactoryMakesTheRightClassAndSkipsOtherVendors) {
    TempSimMac mac;
    writeMixedMachine(mac);
    const CardList cards = discoverCards().cards;
    ASSERT_EQ(cards.size(), 3u);
    const auto check = [&](std::size_t i, const std::string& slot, bool ati) {
        EXPECT_EQ(cards[i]->slot(), slot);
        EXPECT_EQ(dynamic_cast<ATICard*>(cards[i].get()) != nullptr, ati) << slot;
        EXPECT_EQ(dynamic_cast<NVIDIACard*>(cards[i].get()) != nullptr, !ati) << slot;
    };
    check(0, "SLOT-1", true);
    check(1, "SLOT-3", false);
    check(2, "SLOT-4", true);
}

TEST(CardDiscovery, CardsThatRefuseTheirDriverAreLeftOutAndGiveBackTheirHandles) {
    TempSimMac mac;
    // No reference divider: no clock to read.
    mac.writeMachine(atiMachine({{.entryName = "ATY,Bad", .pll = pllWord(0, 100, 100)},
                                 {.entryName = "ATY,Good", .slotName = "SLOT-2"}}));
    const io_object_t first = nextRegistryHandle("ATY,Good");
    const CardList cards = discoverCards().cards;
    const io_object_t end = nextRegistryHandle("ATY,Good") - 1;
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0]->slot(), "SLOT-2");
    // A live handle has a path: only the kept card's driver and device entry.
    EXPECT_EQ(
        livePaths(first, end),
        (std::vector<std::string>{"IOService:/ATY,Good",
                                  "IOService:/ATY,Good/" + std::string(kTarnwickDriverName)}));
}

TEST(CardDiscovery, NoDriversNoCards) {
    TempSimMac mac;
    mac.writeMachine(machine({}));
    EXPECT_TRUE(discoverCards().cards.empty());
}

}  // namespace
