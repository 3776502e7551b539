// Which drivers become cards, in what order, and what the factory is asked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ATICard.h"
#include "ATITestMachine.h"
#include "CardDiscovery.h"
#include "NVIDIACard.h"
#include "NVIDIATestMachine.h"

namespace {

constexpr std::uint32_t kMatroxVendorID = 0x102B;

// A card of a vendor no card class serves, with a clock driver beneath it.
cf::Dictionary otherVendorCard(const std::string& entryName, const std::string& slot) {
    cf::Dictionary properties;
    properties.set("vendor-id", testsupport::dataU32(kMatroxVendorID));
    properties.set("device-id", testsupport::dataU32(0x0525));
    properties.set("AAPL,slot-name", testsupport::dataText(slot));
    return testsupport::entry(entryName, properties,
                              {testsupport::driverEntry("ATI", {{"PLL", 0x00646410}})});
}

// ATI in SLOT-1, the other vendor in SLOT-2, NVIDIA in SLOT-3, then a second
// ATI card in SLOT-4, in that registry order.
void writeMixedMachine(const testsupport::TempSimMac& mac) {
    atitest::ATIDevice first;
    first.entryName = "ATY,First";
    atitest::ATIDevice second;
    second.entryName = "ATY,Second";
    second.slotName = "SLOT-4";
    mac.writeMachine(testsupport::machine(
        {atitest::deviceEntry(first), otherVendorCard("Other,Card", "SLOT-2"),
         nvtest::nvidiaCard("NVDA,Card", 0x0041, "SLOT-3", nvtest::nv4xRegisters()),
         atitest::deviceEntry(second)}));
}

TEST(CardDiscovery, FactoryIsAskedOncePerDriverWithItsCardsVendorInRegistryOrder) {
    testsupport::TempSimMac mac;
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
    testsupport::TempSimMac mac;
    writeMixedMachine(mac);
    const CardList cards = discoverCards().cards;
    ASSERT_EQ(cards.size(), 3u);
    const struct {
        std::string slot;
        bool ati;
    } expected[] = {{"SLOT-1", true}, {"SLOT-3", false}, {"SLOT-4", true}};
    for (std::size_t i = 0; i < cards.size(); ++i) {
        SCOPED_TRACE(expected[i].slot);
        EXPECT_EQ(cards[i]->slot(), expected[i].slot);
        EXPECT_EQ(dynamic_cast<ATICard*>(cards[i].get()) != nullptr, expected[i].ati);
        EXPECT_EQ(dynamic_cast<NVIDIACard*>(cards[i].get()) != nullptr, !expected[i].ati);
    }
}

// The number the next registry handle of this process gets; handles are
// numbered upwards and never reused.
io_object_t nextRegistryHandle() {
    const io_object_t handle = IORegistryEntryFromPath(kIOMasterPortDefault, "ATY,Good");
    IOObjectRelease(handle);
    return handle + 1;
}

TEST(CardDiscovery, CardsThatRefuseTheirDriverAreLeftOutAndGiveBackTheirHandles) {
    testsupport::TempSimMac mac;
    atitest::ATIDevice bad;
    bad.entryName = "ATY,Bad";
    bad.pll = atitest::pllWord(0, 100, 100);  // no reference divider: no clock to read
    atitest::ATIDevice good;
    good.entryName = "ATY,Good";
    good.slotName = "SLOT-2";
    mac.writeMachine(atitest::atiMachine({bad, good}));
    const io_object_t first = nextRegistryHandle();
    const CardList cards = discoverCards().cards;
    const io_object_t end = nextRegistryHandle() - 1;
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0]->slot(), "SLOT-2");
    // A live handle has a path: only the kept card's driver and device entry.
    std::vector<std::string> live;
    for (io_object_t handle = first; handle < end; ++handle) {
        std::string path;
        if (IORegistryEntryGetPath(handle, kIOServicePlane, &path) == kIOReturnSuccess)
            live.push_back(path);
    }
    std::sort(live.begin(), live.end());
    EXPECT_EQ(live, (std::vector<std::string>{
                        "IOService:/ATY,Good",
                        "IOService:/ATY,Good/" + std::string(kTarnwickDriverName)}));
}

TEST(CardDiscovery, NoDriversNoCards) {
    testsupport::TempSimMac mac;
    mac.writeMachine(testsupport::machine({}));
    EXPECT_TRUE(discoverCards().cards.empty());
}

}  // namespace
