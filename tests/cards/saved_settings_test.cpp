// Saved card entries: matching to the cards present by slot then model,
// restoring their clocks, fill-once stock values, and the entry format.

#include <cmath>

#include "host/Foundation.h"
#include "support/CardSupport.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

cf::Value real(float f) { return cf::CFNumberCreateReal(cf::kCFNumberFloatType, f); }

ATIDevice device(const std::string& entryName, const std::string& slot, const std::string& model) {
    return {.entryName = entryName, .model = model, .slotName = slot};
}

// A card, "Model A" in SLOT-1 at 225 MHz, found as the programs find it.
class SavedSettings : public ::testing::Test {
protected:
    void SetUp() override {
        mac.writeMachine(atiMachine({device("ATY,A", "SLOT-1", "Model A")}));
        cards = discoverATICards();
        ASSERT_EQ(cards.size(), 1u);
    }
    TempSimMac mac;
    CardList cards;
};

TEST_F(SavedSettings, TwoEntriesForOneCardAreBothAppliedLaterFirst) {
    cf::Dictionary earlier = savedCardEntry("SLOT-1", "Model A", 104 * 2.25f, 225.0f);
    earlier.set(kStockVPUKey, real(300.0f));
    cf::Dictionary later = savedCardEntry("SLOT-1", "Model A", 110 * 2.25f, 225.0f);
    later.set(kStockVPUKey, real(400.0f));
    later.set(kStockMemoryKey, real(500.0f));
    applySavedCards(savedDomain(true, {earlier, later}), cards);

    std::vector<std::uint32_t> writes = mac.pllWrites();
    ASSERT_EQ(writes.size(), 16u);  // up 10 to the later entry, down 6 to the earlier
    EXPECT_EQ(writes[9], pllWord(12, 100, 110));
    EXPECT_EQ(writes.back(), pllWord(12, 100, 104));
    EXPECT_EQ(cards[0]->vpuFrequency(), 104 * 2.25f);
    EXPECT_EQ(cards[0]->realStockVPUFreq(), 400.0f);
    EXPECT_EQ(cards[0]->realStockMemFreq(), 500.0f);
}

TEST_F(SavedSettings, OnlyTheLastCardWithTheSlotIsACandidate) {
    ATIDevice first = device("ATY,A", "SLOT-1", "Model A");
    ATIDevice second = device("ATY,B", "SLOT-1", "Model B");
    mac.writeMachine(atiMachine({first, second}));
    cards = discoverATICards();
    ASSERT_EQ(cards.size(), 2u);

    applySavedCards(savedDomain(true, {savedCardEntry("SLOT-1", "Model A", 250.0f, 225.0f)}),
                    cards);
    EXPECT_TRUE(mac.pllWrites().empty());

    applySavedCards(savedDomain(true, {savedCardEntry("SLOT-1", "Model B", 229.5f, 225.0f)}),
                    cards);
    EXPECT_TRUE(mac.pllWrites(driverPath(first)).empty());
    EXPECT_EQ(mac.pllWrites(driverPath(second)),
              (std::vector<std::uint32_t>{pllWord(12, 100, 101), pllWord(12, 100, 102)}));
}

TEST_F(SavedSettings, EntriesOfOtherOrAbsentCardsChangeNothing) {
    cf::Dictionary swapped = savedCardEntry("SLOT-1", "Model B", 300.0f, 300.0f);
    swapped.set(kStockVPUKey, real(300.0f));
    cf::Dictionary absent = savedCardEntry("SLOT-2", "Model A", 300.0f, 300.0f);
    absent.set(kStockVPUKey, real(300.0f));
    cf::Dictionary caseDiffers = savedCardEntry("slot-1", "Model A", 300.0f, 300.0f);
    applySavedCards(savedDomain(true, {swapped, absent, caseDiffers}), cards);
    EXPECT_TRUE(mac.pllWrites().empty());
    EXPECT_EQ(cards[0]->vpuFrequency(), 225.0f);
    EXPECT_EQ(cards[0]->realStockVPUFreq(), 0.0f);
}

TEST_F(SavedSettings, NamesAreComparedAsCStrings) {
    applySavedCards(
        savedDomain(true, {savedCardEntry(std::string("SLOT-1\0old", 10),
                                          std::string("Model A\0", 8), 227.25f, 225.0f)}),
        cards);
    EXPECT_EQ(mac.pllWrites(), std::vector<std::uint32_t>{pllWord(12, 100, 101)});
}

TEST_F(SavedSettings, MalformedEntriesAreLoggedAndAppliedToNoCard) {
    const cf::Dictionary good = savedCardEntry("SLOT-1", "Model A", 300.0f, 300.0f);
    const std::vector<cf::Value> malformed{
        without(good, kSlotKey), with(good, kModelKey, integer(9800)), with(good, kVPUKey, "300"),
        without(good, kMemoryKey), "not an entry",
        // Numbers that no clock can be.
        savedCardEntry("SLOT-1", "Model A", std::nanf(""), 300.0f),
        savedCardEntry("SLOT-1", "Model A", 300.0f, -225.0f)};
    // Integers count as numbers.
    cf::Dictionary integers = savedCardEntry("SLOT-1", "Model A", 0, 0);
    integers.set(kVPUKey, cf::CFNumberCreate(cf::kCFNumberIntType, 234));
    integers.set(kMemoryKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 225));
    integers.set(kStockVPUKey, "400");  // a stock key of another type reads as 0
    cf::Array array = malformed;
    array.insert(array.begin(), integers);
    cf::Dictionary domain;
    domain.set(kCardsKey, array);
    applySavedCards(domain, cards);

    EXPECT_EQ(mac.pllWrites().size(), 4u);  // 225 -> 234 MHz: dividers 100 -> 104
    EXPECT_EQ(cards[0]->vpuFrequency(), 234.0f);
    EXPECT_EQ(cards[0]->realStockVPUFreq(), 0.0f);
    const std::string log = mac.systemLog();
    std::size_t lines = 0;
    for (std::size_t at = log.find("Tarnwick: saved card entry"); at != std::string::npos;
         at = log.find("Tarnwick: saved card entry", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, malformed.size());
}

TEST_F(SavedSettings, DomainWithoutCardsArrayAppliesNothing) {
    cf::Dictionary domain;
    domain.set(kSetAtStartupKey, true);
    applySavedCards(domain, cards);
    domain.set(kCardsKey, "not an array");
    applySavedCards(domain, cards);
    EXPECT_TRUE(mac.pllWrites().empty());
}

TEST_F(SavedSettings, CardEntryHasTheSixKeysAndReadsBack) {
    ATIDevice d = device("ATY,A", "SLOT-1", "Model A");
    d.sclk = 400000;
    d.mclk = 300000;
    mac.writeMachine(atiMachine({d}));
    cards = discoverATICards();
    ASSERT_EQ(cards.size(), 1u);
    cf::Dictionary entry = static_cast<ATICard&>(*cards[0]).saveCardInfo();
    ASSERT_EQ(entry, commonCardEntry(*cards[0]));
    const std::vector<std::string> keys = {kSlotKey,   kModelKey,    kVPUKey,
                                           kMemoryKey, kStockVPUKey, kStockMemoryKey};
    ASSERT_EQ(entry.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(entry.items()[i].first, keys[i]);
    EXPECT_EQ(*entry.get(kSlotKey)->string(), "SLOT-1");  // without the stored zero byte
    EXPECT_EQ(*entry.get(kModelKey)->string(), "Model A");
    for (std::size_t i = 2; i < keys.size(); ++i) {
        ASSERT_NE(entry.items()[i].second.number(), nullptr);
        EXPECT_EQ(entry.items()[i].second.number()->type(), cf::kCFNumberFloatType);
    }
    EXPECT_EQ(floatFromEntry(entry, kStockVPUKey), 178 * 2.25f);
    EXPECT_EQ(floatFromEntry(entry, kStockMemoryKey), 133 * 2.25f);

    NSUserDefaults::standardUserDefaults().setPersistentDomain(savedDomain(true, {entry}),
                                                               kTarnwickPrefDomain);
    std::optional<cf::Dictionary> back =
        NSUserDefaults::standardUserDefaults().persistentDomainForName(kTarnwickPrefDomain);
    ASSERT_TRUE(back);
    const cf::Dictionary& stored = *back->get(kCardsKey)->array()->front().dictionary();
    EXPECT_EQ(*stored.get(kSlotKey)->string(), "SLOT-1");
    EXPECT_EQ(floatFromEntry(stored, kVPUKey), cards[0]->vpuFrequency());
    EXPECT_EQ(floatFromEntry(stored, kStockMemoryKey), cards[0]->realStockMemFreq());
}

TEST_F(SavedSettings, EntryReaders) {
    cf::Dictionary entry;
    entry.set("float", real(1.5f));
    entry.set("int", cf::CFNumberCreate(cf::kCFNumberIntType, -1));
    entry.set("big", cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x1F00D0000LL));
    entry.set("text", "12");
    entry.set("flag", true);
    const std::pair<const char*, float> floats[] = {
        {"float", 1.5f}, {"int", -1.0f}, {"text", 0.0f}, {"flag", 0.0f}, {"absent", 0.0f}};
    for (const auto& [key, value] : floats) EXPECT_EQ(floatFromEntry(entry, key), value) << key;
    const std::pair<const char*, std::uint32_t> words[] = {
        {"int", 0xFFFFFFFFu}, {"big", 0xF00D0000u}, {"text", 0u}, {"absent", 0u}};
    for (const auto& [key, value] : words) EXPECT_EQ(uint32FromEntry(entry, key), value) << key;
}

}  // namespace
