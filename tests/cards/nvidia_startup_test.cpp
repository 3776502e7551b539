// NVIDIA cards across a login: the real startup tool restores the saved
// clocks and, when it rewrites the saved settings, keeps each NVIDIA card's
// stock PLL words, so that "back to stock" in the pane afterwards still
// returns the card to its true stock words.

#include "SavedSettings.h"
#include "host/Foundation.h"
#include "support/CardSupport.h"
#include "support/Child.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

// Runs the startup tool like the login window does; its exit status.
int login() { return run({startupTool()}).status; }

const cf::Dictionary* entryForSlot(const cf::Dictionary& domain, const std::string& slot) {
    const cf::Value* cards = domain.get(kCardsKey);
    if (!cards || !cards->array()) return nullptr;
    for (const cf::Value& v : *cards->array()) {
        const cf::Dictionary* entry = v.dictionary();
        const cf::Value* s = entry ? entry->get(kSlotKey) : nullptr;
        if (s && s->string() && cString(*s->string()) == slot) return entry;
    }
    return nullptr;
}

class NVIDIAStartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(startupTool()))
            << "startup tool not built: " << startupTool();
    }
    TempSimMac mac;
};

}  // namespace

TEST_F(NVIDIAStartupTest, LoginThatAddsACardKeepsTheStockWordsForBackToStock) {
    // A pane session: stock recorded, clocks raised, settings saved.
    mac.writeMachine(machine({nvidiaEntry("NV40", 0x0040, "SLOT-1", nv4xRegisters())}));
    {
        const auto card = createNVIDIACard();
        ASSERT_TRUE(card);
        card->setStockSettings();
        ASSERT_TRUE(card->savePLLWithVPUFrequency(450.0f, 400.0f));
        ASSERT_NE(mac.registers(driverPath("NV40"))["0x4004"], kNV4xCoreCoefficients);
        NSUserDefaults::standardUserDefaults().setPersistentDomain(
            savedDomain(true, {card->saveCardInfo()}), kTarnwickPrefDomain);
        NSUserDefaults::standardUserDefaults().synchronize();
    }
    const auto raised = mac.registers(driverPath("NV40"));

    // Power cycle with a second card fitted, then a login.
    mac.writeMachine(machine({nvidiaEntry("NV40", 0x0040, "SLOT-1", nv4xRegisters()),
                              nvidiaEntry("NV34", 0x0322, "SLOT-2", preNV4xRegisters())}));
    ASSERT_EQ(login(), 0);
    auto registers = mac.registers(driverPath("NV40"));
    EXPECT_EQ(registers["0x4004"], raised.at("0x4004")) << "saved core clock restored";
    EXPECT_EQ(registers["0x4024"], raised.at("0x4024")) << "saved memory clock restored";

    // The rewrite (the new card had no stock clocks) keeps both cards, and
    // the first card's true stock words.
    const auto rewritten = readDomain(kTarnwickPrefDomain);
    ASSERT_TRUE(rewritten);
    ASSERT_EQ(rewritten->get(kCardsKey)->array()->size(), 2u);
    const cf::Dictionary* first = entryForSlot(*rewritten, "SLOT-1");
    ASSERT_TRUE(first);
    EXPECT_EQ(uint32FromEntry(*first, kStockGPLLKey), kNV4xCoreControl);
    EXPECT_EQ(uint32FromEntry(*first, kStockGPLL2Key), kNV4xCoreCoefficients);
    EXPECT_EQ(uint32FromEntry(*first, kStockMPLLKey), kNV4xMemoryControl);
    EXPECT_EQ(uint32FromEntry(*first, kStockMPLL2Key), kNV4xMemoryCoefficients);
    EXPECT_EQ(uint32FromEntry(*first, kStockGPKey), 1u);
    EXPECT_EQ(uint32FromEntry(*first, kStockMPKey), 1u);
    EXPECT_EQ(floatFromEntry(*first, kStockVPUKey), 405.0f);
    const cf::Dictionary* added = entryForSlot(*rewritten, "SLOT-2");
    ASSERT_TRUE(added);
    EXPECT_EQ(uint32FromEntry(*added, kStockGPLLKey), kPreCorePLL);
    EXPECT_EQ(uint32FromEntry(*added, kStockMPLLKey), kPreMemoryPLL);

    // The pane afterwards: restore, stock from the entry, then back to stock.
    const auto card = createNVIDIACard();
    ASSERT_TRUE(card);
    card->restoreStoredPLLWithVPU(floatFromEntry(*first, kVPUKey),
                                  floatFromEntry(*first, kMemoryKey));
    card->getStockSettingsFromPrefsDictionary(*first);
    card->setStockSettings();
    const std::size_t from = mac.commandCount();
    card->saveDefaultPLL();
    const auto w = mac.commands(from, {}, 12);
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(w[0], nvWrite(0x4000, kNV4xCoreControl));
    EXPECT_EQ(w[1], nvWrite(0x4004, kNV4xCoreCoefficients));
    EXPECT_EQ(w[2], nvWrite(0x4020, kNV4xMemoryControl));
    EXPECT_EQ(w[3], nvWrite(0x4024, kNV4xMemoryCoefficients));
    EXPECT_EQ(card->vpuFrequency(), 405.0f);
    EXPECT_EQ(card->memFrequency(), 351.0f);
    // And the pane's next save records the same true stock words.
    const cf::Dictionary entry = card->saveCardInfo();
    EXPECT_EQ(uint32FromEntry(entry, kStockGPLL2Key), kNV4xCoreCoefficients);
    EXPECT_EQ(uint32FromEntry(entry, kStockMPLL2Key), kNV4xMemoryCoefficients);
}

TEST_F(NVIDIAStartupTest, FirstLoginRecordsStockWordsOfEveryNVIDIACard) {
    mac.writeMachine(machine({nvidiaEntry("NV40", 0x0040, "SLOT-1", nv4xRegisters()),
                              nvidiaEntry("NV34", 0x0322, "SLOT-2", preNV4xRegisters(0x40))}));
    ASSERT_EQ(login(), 0);
    const auto written = readDomain(kTarnwickPrefDomain);
    ASSERT_TRUE(written);
    EXPECT_TRUE(cf::boolValue(written->get(kSetAtStartupKey)));
    const cf::Dictionary* nv4x = entryForSlot(*written, "SLOT-1");
    const cf::Dictionary* pre = entryForSlot(*written, "SLOT-2");
    ASSERT_TRUE(nv4x && pre);
    EXPECT_EQ(uint32FromEntry(*nv4x, kStockGPLL2Key), kNV4xCoreCoefficients);
    EXPECT_EQ(uint32FromEntry(*nv4x, kStockMPLLKey), kNV4xMemoryControl);
    EXPECT_EQ(floatFromEntry(*pre, kStockVPUKey), 264.883f);
    EXPECT_EQ(uint32FromEntry(*pre, kStockGPLLKey), kPreCorePLL);
    EXPECT_EQ(uint32FromEntry(*pre, kStockGPLL2Key), 0u);
    // Nothing but reads reached the cards.
    for (const Command& c : mac.commands()) EXPECT_EQ(c.command, 11) << c;
}
