// The ATI card's clock arithmetic and programming, checked against what
// reaches the simulated card.

#include "support/CardSupport.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

using Words = std::vector<std::uint32_t>;

class ATIClockTest : public ::testing::Test {
protected:
    ATICard& create(const ATIDevice& device) {
        device_ = device;
        mac_.writeMachine(atiMachine({device}));
        cards_ = discoverATICards();
        if (cards_.size() != 1) {
            ADD_FAILURE() << "the card was not created";
            throw std::runtime_error("no card");
        }
        mark_ = mac_.commandCount();
        return static_cast<ATICard&>(*cards_.front());
    }
    // WriteATIPLL words (accepted ones) since the card was created.
    Words writesSinceCreation() const { return mac_.pllWrites({}, mark_); }
    std::size_t commandsSinceCreation() const { return mac_.commandCount() - mark_; }
    std::uint32_t pllRegister() const { return mac_.registers(driverPath(device_)).at("PLL"); }
    // The card's dividers as the PLL word they make.
    static std::uint32_t dividers(const ATICard& card) {
        return pllWord(card.refDiv(), card.memFBDiv(), card.vpuFBDiv());
    }

    TempSimMac mac_;
    ATIDevice device_;
    CardList cards_;
    std::size_t mark_ = 0;
};

struct FactorCase {
    std::uint16_t deviceID;
    std::optional<std::string> rom, name;
    float vpuFactor, memFactor;
};
const std::nullopt_t none = std::nullopt;

TEST_F(ATIClockTest, FactorsFollowDeviceROMAndNameForEveryRule) {
    const std::vector<FactorCase> cases = {
        {0x4144, none, none, 2, 1},
        {0x4E44, "113-A12345-000", none, 2, 1},
        {0x5046, none, none, 2, 2},
        {0x5452, none, none, 2, 2},
        {0x3E50, none, none, 2, 1},
        {0x4E50, "113-xxxxx-169", none, 2, 1},
        {0x4E50, "113-xxxxx-170", none, 1, 0.5},
        {0x4E50, none, none, 1, 0.5},
        {0x5C63, none, none, 0.5, 0.5},
        {0x4C57, none, "ATY,CrownParent", 1, 0.5},
        {0x4C57, none, "ATY,CrownParents", 0.5, 0.5},
        {0x4C57, none, none, 0.5, 0.5},
        {0x5052, none, none, 1, 2},
        {0x4150, "113-A58504-100", none, 1, 0.5},
        {0x5046, "113-A58504-100", none, 2, 2},  // the device rule comes first
        {0x4150, "113-A5850", none, 1, 1},       // too short for a part number
        {0x4E54, none, none, 1, 0.5},
        {0x4E56, none, none, 1, 0.5},
        {0x5962, "113-xxxxx-134", none, 1, 1},
        {0x5962, "113-xxxxx-135", none, 1, 0.5},
        {0x5962, none, none, 1, 0.5},
        {0x5961, "113-A27502-124", none, 1, 1},
        {0x5961, "113-A27502-125", none, 1, 0.5},
        {0x4E48, none, none, 1, 1},
    };
    std::vector<ATIDevice> devices;  // a model each keeps every card valid
    for (std::size_t i = 0; i < cases.size(); ++i)
        devices.push_back({.entryName = "ATY,Card" + std::to_string(i),
                           .deviceID = cases[i].deviceID,
                           .rom = cases[i].rom,
                           .model = "Model " + std::to_string(i),
                           .name = cases[i].name,
                           .slotName = "SLOT-" + std::to_string(i)});
    mac_.writeMachine(atiMachine(devices));
    CardList cards = discoverATICards();
    ASSERT_EQ(cards.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        auto& card = static_cast<ATICard&>(*cards[i]);
        EXPECT_EQ(card.vpuFactor(), cases[i].vpuFactor);
        EXPECT_EQ(card.memFactor(), cases[i].memFactor);
        // Dividers 100 at 27 MHz / 12: 225 MHz times the factor.
        EXPECT_EQ(card.vpuFrequency(), 225.0f * cases[i].vpuFactor);
        EXPECT_EQ(card.memFrequency(), 225.0f * cases[i].memFactor);
    }
}

TEST_F(ATIClockTest, DividersRoundHalvesToEvenWithEveryFactor) {
    // Factors 1; VPU 2 and memory 1; 0.5 for both.
    mac_.writeMachine(
        atiMachine({{.entryName = "ATY,One"},
                    {.entryName = "ATY,Two", .deviceID = 0x4144, .slotName = "SLOT-2"},
                    {.entryName = "ATY,Half", .deviceID = 0x5C63, .slotName = "SLOT-3"}}));
    CardList cards = discoverATICards();
    ASSERT_EQ(cards.size(), 3u);
    auto& one = static_cast<ATICard&>(*cards[0]);
    auto& two = static_cast<ATICard&>(*cards[1]);
    auto& half = static_cast<ATICard&>(*cards[2]);

    EXPECT_EQ(one.adjustVPUFBDivForFrequency(163.125f, 2.25f), 72);  // 72.5
    EXPECT_EQ(one.adjustVPUFBDivForFrequency(165.375f, 2.25f), 74);  // 73.5
    EXPECT_EQ(one.adjustMemFBDivForFrequency(163.125f, 2.25f), 72);
    EXPECT_EQ(one.adjustMemFBDivForFrequency(165.375f, 2.25f), 74);
    EXPECT_EQ(one.adjustVPUFBDivForFrequency(163.2f, 2.25f), 73);

    EXPECT_EQ(two.adjustVPUFBDivForFrequency(326.25f, 2.25f), 72);  // 145 x 0.5
    EXPECT_EQ(two.adjustVPUFBDivForFrequency(330.75f, 2.25f), 74);  // 147 x 0.5
    EXPECT_EQ(two.adjustMemFBDivForFrequency(163.125f, 2.25f), 72);

    EXPECT_EQ(half.adjustVPUFBDivForFrequency(81.5625f, 2.25f), 72);  // 163.125 / 2.25
    EXPECT_EQ(half.adjustMemFBDivForFrequency(82.6875f, 2.25f), 74);  // 165.375 / 2.25

    // Not clamped: callers see 0 and dividers above 255; beyond 16 bits a
    // divider stays at the top rather than wrapping to a small one.
    EXPECT_EQ(one.adjustVPUFBDivForFrequency(600.0f, 2.25f), 267);
    EXPECT_EQ(one.adjustVPUFBDivForFrequency(1.0f, 2.25f), 0);
    EXPECT_EQ(one.adjustVPUFBDivForFrequency(1.0e6f, 2.25f), 65535);
    EXPECT_EQ(one.adjustVPUFBDivForFrequency(-50.0f, 2.25f), 0);
}

TEST_F(ATIClockTest, DirectChangeOfARadeon9800ClassCardSendsOneWord) {
    ATICard& card =
        create({.deviceID = 0x4E44, .rom = "113-A14403-100", .pll = pllWord(12, 138, 73)});
    EXPECT_EQ(card.vpuFrequency(), 328.5f);
    EXPECT_EQ(card.memFrequency(), 310.5f);

    EXPECT_TRUE(card.savePLLWithVPUFrequency(325.0f, 310.5f));
    EXPECT_EQ(writesSinceCreation(), Words{pllWord(12, 138, 72)});
    EXPECT_EQ(pllRegister(), pllWord(12, 138, 72));
    EXPECT_EQ(card.vpuFBDiv(), 72);
    EXPECT_EQ(card.vpuFrequency(), 324.0f);
}

TEST_F(ATIClockTest, ChangesToTheCurrentClocks) {
    ATICard& card = create(ATIDevice{});
    // Gradual: nothing to do, nothing sent.
    EXPECT_TRUE(
        card.setFrequencyGraduallyWithVPUFBDiv(100, 100, card.vpuFrequency(), card.memFrequency()));
    EXPECT_EQ(commandsSinceCreation(), 0u);
    // Direct: the unchanged word goes out once.
    EXPECT_TRUE(card.savePLLWithVPUFrequency(card.vpuFrequency(), card.memFrequency()));
    EXPECT_EQ(writesSinceCreation(), Words{pllWord(12, 100, 100)});
}

TEST_F(ATIClockTest, FineTuningCoarsensForHighClocksAndCreepsBack) {
    ATICard& card = create(ATIDevice{});  // factor 1, 27 MHz, refDiv 12
    ASSERT_TRUE(card.savePLLWithVPUFrequency(600.0f, 225.0f));
    // 600 MHz needs 267 at 2.25 MHz; at 27/11 MHz it is 244.
    EXPECT_EQ(dividers(card), pllWord(11, 92, 244));
    EXPECT_EQ(card.stockRefDiv(), 12);
    EXPECT_EQ(card.clockStep(), 27.0f / 11.0f);
    EXPECT_EQ(card.vpuFrequency(), 244 * (27.0f / 11.0f));
    EXPECT_EQ(pllRegister(), pllWord(11, 92, 244));

    // 500 MHz: 204 at refDiv 11 (below 244), 222 at refDiv 12, which fits.
    ASSERT_TRUE(card.savePLLWithVPUFrequency(500.0f, card.memFrequency()));
    EXPECT_EQ(dividers(card), pllWord(12, 100, 222));
    EXPECT_EQ(card.clockStep(), 2.25f);
    EXPECT_EQ(writesSinceCreation(), (Words{pllWord(11, 92, 244), pllWord(12, 100, 222)}));
}

TEST_F(ATIClockTest, FineTuningKeepsTheCoarseStepWhileAClockRises) {
    ATICard& card = create(ATIDevice{});
    ASSERT_TRUE(card.savePLLWithVPUFrequency(600.0f, 225.0f));  // refDiv 11, 244, 92
    // VPU down, memory up: no creeping back.
    ASSERT_TRUE(card.savePLLWithVPUFrequency(500.0f, 300.0f));
    EXPECT_EQ(dividers(card), pllWord(11, 122, 204));
}

TEST_F(ATIClockTest, GradualChangeBelowStockRefDivRaisesItAndStepsUp) {
    ATICard& card = create(ATIDevice{});
    ASSERT_TRUE(card.savePLLWithVPUFrequency(600.0f, 225.0f));
    ASSERT_TRUE(card.savePLLWithVPUFrequency(500.0f, 300.0f));  // refDiv 11, 204, 122
    mark_ = mac_.commandCount();

    card.restoreStoredPLLWithVPU(card.vpuFrequency(), card.memFrequency());
    // At refDiv 12 the same clocks need 223 and 133.
    EXPECT_EQ(dividers(card), pllWord(12, 133, 223));
    Words writes = writesSinceCreation();
    ASSERT_EQ(writes.size(), 19u);  // the larger distance, 204 to 223
    EXPECT_EQ(writes.front(), pllWord(12, 123, 205));
    EXPECT_EQ(writes[10], pllWord(12, 133, 215));
    EXPECT_EQ(writes[11], pllWord(12, 133, 216));  // memory arrived first and stays
    EXPECT_EQ(writes.back(), pllWord(12, 133, 223));
    EXPECT_EQ(pllRegister(), pllWord(12, 133, 223));
}

TEST_F(ATIClockTest, GradualChangeOfTheMemoryAloneMovesOneUnitPerCommand) {
    ATICard& card = create(ATIDevice{});
    EXPECT_TRUE(card.setFrequencyGraduallyWithVPUFBDiv(100, 96, 225.0f, 216.0f));
    EXPECT_EQ(writesSinceCreation(), (Words{pllWord(12, 99, 100), pllWord(12, 98, 100),
                                            pllWord(12, 97, 100), pllWord(12, 96, 100)}));
    EXPECT_EQ(card.memFrequency(), 216.0f);
}

TEST_F(ATIClockTest, RefDivChosenWithoutADividerMoveIsSentOnce) {
    ATICard& card = create(ATIDevice{});
    ASSERT_TRUE(card.savePLLWithVPUFrequency(600.0f, 225.0f));
    ASSERT_TRUE(card.savePLLWithVPUFrequency(500.0f, 300.0f));  // refDiv 11, 204, 122
    mark_ = mac_.commandCount();
    // 459 and 274.5 MHz are exactly 204 and 122 at refDiv 12.
    EXPECT_TRUE(card.setFrequencyGraduallyWithVPUFBDiv(187, 112, 459.0f, 274.5f));
    EXPECT_EQ(writesSinceCreation(), Words{pllWord(12, 122, 204)});
    EXPECT_EQ(card.refDiv(), 12);
    EXPECT_EQ(card.vpuFrequency(), 459.0f);
}

TEST_F(ATIClockTest, GradualChangeTowardATargetAbove255StopsAt255) {
    ATICard& card = create({.pll = pllWord(2, 100, 250)});  // step 13.5 MHz
    // 10000 MHz: 741 at refDiv 2, still 370 at refDiv 1 (memory: 50).
    EXPECT_FALSE(card.setFrequencyGraduallyWithVPUFBDiv(741, 100, 10000.0f, card.memFrequency()));
    Words writes = writesSinceCreation();
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes.front(), pllWord(1, 99, 251));
    EXPECT_EQ(writes.back(), pllWord(1, 95, 255));
    EXPECT_EQ(pllRegister(), pllWord(1, 95, 255));
    // The fields describe the word the card runs at.
    EXPECT_EQ(dividers(card), pllWord(1, 95, 255));
    EXPECT_EQ(card.vpuFrequency(), 255 * 27.0f);
}

TEST_F(ATIClockTest, GradualChangeTowardZeroStopsAtOne) {
    ATICard& card = create({.pll = pllWord(12, 100, 5)});
    card.restoreStoredPLLWithVPU(0.0f, card.memFrequency());
    EXPECT_EQ(writesSinceCreation(), (Words{pllWord(12, 100, 4), pllWord(12, 100, 3),
                                            pllWord(12, 100, 2), pllWord(12, 100, 1)}));
    EXPECT_EQ(card.vpuFBDiv(), 1);
    EXPECT_EQ(card.vpuFrequency(), 2.25f);
    EXPECT_FALSE(card.setFrequencyGraduallyWithVPUFBDiv(0, 100, 0.0f, card.memFrequency()));
}

TEST_F(ATIClockTest, DirectChangesThatCannotBeSentLeaveEverything) {
    ATICard& card = create(ATIDevice{});
    // Still 4074 after the reference divider went down to 11.
    EXPECT_FALSE(card.savePLLWithVPUFrequency(10000.0f, 225.0f));
    EXPECT_FALSE(card.savePLLWithVPUFrequency(0.0f, 225.0f));
    EXPECT_FALSE(card.savePLLWithVPUFrequency(225.0f, 1.0f));
    EXPECT_EQ(commandsSinceCreation(), 0u);
    EXPECT_EQ(card.refDiv(), 12);
    EXPECT_EQ(card.clockStep(), 2.25f);
    EXPECT_EQ(card.vpuFrequency(), 225.0f);
    EXPECT_EQ(card.memFrequency(), 225.0f);
}

TEST_F(ATIClockTest, RefusedDirectChangeKeepsTheRunningWord) {
    ATICard& card = create({.faults = driverFaults({.refuseCommands = {WriteATIPLL}})});
    EXPECT_FALSE(card.savePLLWithVPUFrequency(600.0f, 225.0f));
    EXPECT_EQ(dividers(card), pllWord(12, 100, 100));
    EXPECT_EQ(card.clockStep(), 2.25f);
    EXPECT_EQ(card.vpuFrequency(), 225.0f);
    EXPECT_EQ(pllRegister(), pllWord(12, 100, 100));
    EXPECT_CONTAINS(mac_.systemLog(), "writing to the I/O Registry");
}

TEST_F(ATIClockTest, FailedCommandInTheMiddleOfAGradualChangeStopsIt) {
    // Creation takes four commands in this build; three steps then go through.
    ATICard& card = create({.faults = driverFaults({.refuseAfter = 7})});
    EXPECT_FALSE(card.setFrequencyGraduallyWithVPUFBDiv(110, 100, 247.5f, 225.0f));
    EXPECT_EQ(writesSinceCreation(),
              (Words{pllWord(12, 100, 101), pllWord(12, 100, 102), pllWord(12, 100, 103)}));
    // The refused one reached the driver too, and so did the read back of
    // the word the card runs after it (refused as well).
    EXPECT_EQ(commandsSinceCreation(), 5u);
    EXPECT_EQ(pllRegister(), pllWord(12, 100, 103));
    EXPECT_EQ(card.vpuFBDiv(), 103);
    EXPECT_EQ(card.vpuFrequency(), 103 * 2.25f);
    EXPECT_CONTAINS(mac_.systemLog(), "writing to the I/O Registry");
}

TEST_F(ATIClockTest, ReturnToStockSendsTheStockRefDivWithTheFirstStep) {
    ATICard& card = create(ATIDevice{});
    card.setStockSettings();                                    // stock 225 / 225
    ASSERT_TRUE(card.savePLLWithVPUFrequency(600.0f, 225.0f));  // refDiv 11, 244, 92
    mark_ = mac_.commandCount();
    card.saveDefaultPLL();
    Words writes = writesSinceCreation();
    ASSERT_EQ(writes.size(), 144u);
    EXPECT_EQ(writes.front(), pllWord(12, 93, 243));
    EXPECT_EQ(writes.back(), pllWord(12, 100, 100));
    EXPECT_EQ(card.vpuFrequency(), 225.0f);
    EXPECT_EQ(card.memFrequency(), 225.0f);
}

TEST_F(ATIClockTest, ReturnToStockWithOnlyTheRefDivToChangeSendsItOnce) {
    ATICard& card = create({.pll = pllWord(12, 100, 200)});
    card.setStockSettings();                                    // 450 / 225 MHz
    ASSERT_TRUE(card.savePLLWithVPUFrequency(600.0f, 225.0f));  // refDiv 11, 244, 92
    // 200 and 100 at refDiv 11; the memory rises, so refDiv stays 11.
    ASSERT_TRUE(card.savePLLWithVPUFrequency(200 * (27.0f / 11.0f), 100 * (27.0f / 11.0f)));
    ASSERT_EQ(pllRegister(), pllWord(11, 100, 200));
    mark_ = mac_.commandCount();
    card.saveDefaultPLL();
    EXPECT_EQ(writesSinceCreation(), Words{pllWord(12, 100, 200)});
    EXPECT_EQ(card.refDiv(), 12);
    EXPECT_EQ(card.vpuFrequency(), 450.0f);
    EXPECT_EQ(card.memFrequency(), 225.0f);
}

TEST_F(ATIClockTest, ReturnToStockThatNeedsTheCoarseStepSendsNothing) {
    ATICard& card = create(ATIDevice{});
    ASSERT_TRUE(card.savePLLWithVPUFrequency(600.0f, 225.0f));  // refDiv 11, 244, 92
    card.setStockSettings();                                    // stock is what it runs at now
    mark_ = mac_.commandCount();
    card.saveDefaultPLL();
    // 598.9 MHz is 266 at refDiv 12: fine-tuning goes back to 11, where the
    // card already runs.
    EXPECT_EQ(commandsSinceCreation(), 0u);
    EXPECT_EQ(card.refDiv(), 11);
    EXPECT_EQ(pllRegister(), pllWord(11, 92, 244));
}

TEST_F(ATIClockTest, StockValuesAreFilledOnce) {
    ATICard& card = create(ATIDevice{});
    EXPECT_EQ(card.realStockVPUFreq(), 0.0f);
    cf::Dictionary entry;
    entry.set(kStockMemoryKey, cf::CFNumberCreateReal(cf::kCFNumberFloatType, 200.0f));
    card.getStockSettingsFromPrefsDictionary(entry);  // no "Stock VPU": stays 0
    EXPECT_EQ(card.realStockVPUFreq(), 0.0f);
    EXPECT_EQ(card.realStockMemFreq(), 200.0f);
    card.setStockSettings();
    EXPECT_EQ(card.realStockVPUFreq(), 225.0f);
    EXPECT_EQ(card.realStockMemFreq(), 200.0f);
    entry.set(kStockVPUKey, cf::CFNumberCreateReal(cf::kCFNumberFloatType, 300.0f));
    card.getStockSettingsFromPrefsDictionary(entry);
    EXPECT_EQ(card.realStockVPUFreq(), 225.0f);
}

}  // namespace
