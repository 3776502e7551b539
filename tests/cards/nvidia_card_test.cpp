// NVIDIACard on the simulated Mac: creation, reading and programming the PLL
// registers of both families, refused writes, stock settings and the card's
// saved entry. What reached the hardware is read back from driver.jsonl and
// machine.plist.

#include <cmath>
#include <limits>

#include "NVIDIAPLL.h"
#include "SavedSettings.h"
#include "host/Foundation.h"
#include "host/Machine.h"
#include "support/CardSupport.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

// The words the searches give for the programming tests: core 350 MHz and
// memory 400 MHz on the 27 MHz crystal with P = 1.
const std::uint32_t kCore350 = coefficients(1, 13, 1, 2);    // 351 MHz
const std::uint32_t kMemory400 = coefficients(2, 17, 2, 7);  // 401.625 MHz

// A machine with one card of `deviceID` at power-on ("GPU" in SLOT-1).
cf::Value oneCard(std::uint32_t deviceID, std::optional<cf::Dictionary> faults = std::nullopt) {
    return machine(
        {nvidiaEntry("GPU", deviceID, "SLOT-1",
                     NVIDIACard::isNV4xDeviceID(deviceID) ? nv4xRegisters() : preNV4xRegisters(),
                     std::move(faults))});
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> memoryPairsOf(std::uint16_t deviceID) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs{{0x4020, 0x4024}};
    if (deviceID == 0x0141) pairs.emplace_back(0x4038, 0x403C);
    if (deviceID == 0x0040 || deviceID == 0x0045 || deviceID == 0x0092 || deviceID == 0x009D) {
        pairs.insert(pairs.end(), {{0x4038, 0x403C}, {0x402C, 0x4030}, {0x4044, 0x4048}});
    }
    return pairs;
}

std::uint64_t integerOf(const cf::Dictionary& entry, const char* key) {
    const cf::Value* v = entry.get(key);
    return v && v->number() ? static_cast<std::uint64_t>(v->number()->int64Value()) : ~0ull;
}

// An entry's stock PLL words: GPLL, MPLL, GP, MP, GPLL2, MPLL2.
using Words = std::vector<std::uint64_t>;
Words stockWords(const cf::Dictionary& entry) {
    Words words;
    for (const char* key :
         {kStockGPLLKey, kStockMPLLKey, kStockGPKey, kStockMPKey, kStockGPLL2Key, kStockMPLL2Key})
        words.push_back(integerOf(entry, key));
    return words;
}

class NVIDIACardTest : public ::testing::Test {
protected:
    void install(std::vector<cf::Dictionary> entries) {
        mac.writeMachine(machine(std::move(entries)));
    }
    // The card of a machine of this one entry; nullptr when it is not made.
    std::unique_ptr<NVIDIACard> installed(cf::Dictionary entry) {
        install({std::move(entry)});
        return createNVIDIACard();
    }

    TempSimMac mac;
};

}  // namespace

TEST_F(NVIDIACardTest, NV4xCreationReadsStrapTwiceThenItsFourWords) {
    const auto card = installed(nvidiaEntry("NV40", 0x0040, "SLOT-1", nv4xRegisters()));
    ASSERT_TRUE(card);
    EXPECT_EQ(mac.commands(),
              (std::vector<Command>{nvRead(0x101000), nvRead(0x101000), nvRead(0x4000),
                                    nvRead(0x4004), nvRead(0x4020), nvRead(0x4024)}));
    EXPECT_TRUE(card->isNV4x());
    EXPECT_EQ(card->refClock(), 27000);
    EXPECT_EQ(card->vpuFrequency(), 405.0f);
    EXPECT_EQ(card->memFrequency(), 351.0f);
    EXPECT_EQ(card->clockStep(), 1.0f);
    EXPECT_EQ(cString(*card->slot()), "SLOT-1");
    EXPECT_EQ(cString(*card->model()), "NVIDIA GeForce");
    const std::string log = mac.systemLog();
    EXPECT_CONTAINS(log, "GM 1 - GM2 1 - GN 15 - GN2 2 - gP 1\n");
    EXPECT_CONTAINS(log, "MM 1 - MM2 1 - MN 13 - MN2 2 - mP 1\n");
}

TEST_F(NVIDIACardTest, PreNV4xCreationReadsStrapOnceThenItsTwoWords) {
    const auto card = installed(nvidiaEntry("NV34", 0x0322, "SLOT-2", preNV4xRegisters()));
    ASSERT_TRUE(card);
    EXPECT_EQ(mac.commands(),
              (std::vector<Command>{nvRead(0x101000), nvRead(0x680500), nvRead(0x680504)}));
    EXPECT_FALSE(card->isNV4x());
    EXPECT_EQ(card->vpuFrequency(), 249.75f);
    EXPECT_EQ(card->memFrequency(), 405.0f);
    EXPECT_LACKS(mac.systemLog(), "GM ") << "coefficient lines are NV4x only";
}

TEST_F(NVIDIACardTest, ReferenceCrystalFromTheStrap) {
    // A card of `deviceID` with `strap`: its crystal (0: rejected) and core.
    const auto check = [](const char* what, std::uint32_t deviceID, bool nv4x, std::uint32_t strap,
                          std::uint16_t refClock, float vpu) {
        SCOPED_TRACE(what);
        TempSimMac local;
        local.writeMachine(machine({nvidiaEntry(
            "GPU", deviceID, "SLOT-1", nv4x ? nv4xRegisters(strap) : preNV4xRegisters(strap))}));
        const auto card = createNVIDIACard();
        ASSERT_EQ(static_cast<bool>(card), refClock != 0);
        if (!card) return;
        EXPECT_EQ(card->isNV4x(), nv4x);
        EXPECT_EQ(card->refClock(), refClock);
        EXPECT_EQ(card->vpuFrequency(), vpu);
    };
    check("NV4x with bit 22", 0x0040, true, 0x00400000, 27000, 405.0f);
    check("NV4x with bit 22, high device-id bits ignored", 0xABCD00F2, true, 0x00400040, 27000,
          405.0f);
    check("NV4x without bit 22 is rejected", 0x0040, true, 0x00000040, 0, 0);
    check("NV4x without any strap bit is rejected", 0x0141, true, 0, 0, 0);
    check("pre-NV4x with bit 6", 0x0322, false, 0x00000040, 14318, 264.883f);
    check("pre-NV4x without bit 6", 0x0322, false, 0, 13500, 249.75f);
    check("pre-NV4x ignores bit 22", 0x0322, false, 0x00400000, 13500, 249.75f);
    check("NV4x id in the high half only is pre-NV4x", 0x00400322, false, 0x00400000, 13500,
          249.75f);
}

TEST_F(NVIDIACardTest, UnusableCardsAreRejectedAndZeroDividersReadZero) {
    // A card of `deviceID` at power-on but for `reg`, which holds `value`:
    // made or not, and the clocks it reads.
    const auto check = [](const char* what, std::uint32_t deviceID, const char* reg,
                          std::uint32_t value, bool created, float vpu, float mem,
                          std::optional<std::string> model = "NVIDIA GeForce") {
        SCOPED_TRACE(what);
        TempSimMac local;
        Registers registers =
            NVIDIACard::isNV4xDeviceID(deviceID) ? nv4xRegisters() : preNV4xRegisters();
        registers[reg] = value;
        local.writeMachine(
            machine({nvidiaEntry("GPU", deviceID, "SLOT-1", registers, {}, std::move(model))}));
        const auto card = createNVIDIACard();
        ASSERT_EQ(static_cast<bool>(card), created);
        if (!card) return;
        EXPECT_EQ(card->vpuFrequency(), vpu);
        EXPECT_EQ(card->memFrequency(), mem);
    };
    check("no model", 0x0322, "0x680500", kPreCorePLL, false, 0, 0, std::nullopt);
    check("pre-NV4x core word 0", 0x0322, "0x680500", 0, false, 0, 0);
    check("pre-NV4x memory word 0", 0x0322, "0x680504", 0, false, 0, 0);
    check("NV4x core control 0", 0x0040, "0x4000", 0, false, 0, 0);
    check("NV4x memory control 0", 0x0040, "0x4020", 0, false, 0, 0);
    check("pre-NV4x memory M = 0", 0x0322, "0x680504", 0x00001E00, true, 249.75f, 0);
    check("NV4x core M2 = 0", 0x0040, "0x4004", coefficients(1, 15, 0, 2), true, 0, 351.0f);
    check("NV4x memory coefficients 0", 0x0040, "0x4024", 0, true, 405.0f, 0);
}

TEST_F(NVIDIACardTest, PreNV4xProgrammingWritesOneWordPerClock) {
    const auto card = installed(nvidiaEntry("NV34", 0x0322, "SLOT-2", preNV4xRegisters()));
    ASSERT_TRUE(card);

    // Core only: M 3, N 89 with the card's own P = 1.
    std::size_t from = mac.commandCount();
    EXPECT_TRUE(card->savePLLWithVPUFrequency(200.0f, card->memFrequency()));
    EXPECT_EQ(mac.commands(from), (std::vector<Command>{nvWrite(0x680500, 0x00015903),
                                                        nvRead(0x680500), nvRead(0x680504)}));
    EXPECT_EQ(card->vpuFrequency(), 200.25f);
    EXPECT_EQ(card->memFrequency(), 405.0f);
    EXPECT_EQ(mac.registers(driverPath("NV34"))["0x680500"], 0x00015903u);

    // Both clocks: core first, each word keeps its clock's P.
    from = mac.commandCount();
    EXPECT_TRUE(card->savePLLWithVPUFrequency(250.0f, 500.0f));
    const auto w = mac.commands(from, {}, 12);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].argument, 0x680500u);
    EXPECT_EQ(w[1].argument, 0x680504u);
    EXPECT_EQ(NVIDIAPLL::wordP(*w[0].argument2), 1);
    EXPECT_EQ(NVIDIAPLL::wordP(*w[1].argument2), 0);
    EXPECT_NEAR(card->vpuFrequency(), 250.0f, 250.0f * 0.005f);
    EXPECT_NEAR(card->memFrequency(), 500.0f, 500.0f * 0.005f);
    EXPECT_EQ(mac.registers(driverPath("NV34"))["0x680504"], *w[1].argument2);
}

// The core pair, then every register pair that carries the memory PLL on
// this device id; and saveDefaultPLL puts the stock words back through the
// same registers.
TEST_F(NVIDIACardTest, NV4xProgrammingAndStockRestorePerDeviceID) {
    for (std::uint16_t deviceID : {0x0040, 0x0045, 0x0092, 0x009D, 0x0141, 0x0041, 0x00F2}) {
        SCOPED_TRACE(testing::Message() << "device 0x" << std::hex << deviceID);
        TempSimMac local;
        local.writeMachine(machine({nvidiaEntry("NV4x", deviceID, "SLOT-1", nv4xRegisters())}));
        const auto card = createNVIDIACard();
        ASSERT_TRUE(card);
        card->setStockSettings();

        // The core words, each memory pair's words, then the four read back.
        const auto commandsFor = [&](std::uint32_t core, std::uint32_t memory) {
            std::vector<Command> expected{nvWrite(0x4000, kNV4xCoreControl), nvWrite(0x4004, core)};
            for (auto [control, coefficient] : memoryPairsOf(deviceID))
                expected.insert(expected.end(), {nvWrite(control, kNV4xMemoryControl),
                                                 nvWrite(coefficient, memory)});
            expected.insert(expected.end(),
                            {nvRead(0x4000), nvRead(0x4004), nvRead(0x4020), nvRead(0x4024)});
            return expected;
        };
        std::size_t from = local.commandCount();
        EXPECT_TRUE(card->savePLLWithVPUFrequency(350.0f, 400.0f));
        EXPECT_EQ(local.commands(from), commandsFor(kCore350, kMemory400));
        EXPECT_EQ(card->vpuFrequency(), 351.0f);
        EXPECT_EQ(card->memFrequency(), 401.625f);
        auto registers = local.registers(driverPath("NV4x"));
        for (auto [control, coefficient] : memoryPairsOf(deviceID)) {
            EXPECT_EQ(registers[host::registerKey(control)], kNV4xMemoryControl) << control;
            EXPECT_EQ(registers[host::registerKey(coefficient)], kMemory400) << coefficient;
        }

        from = local.commandCount();
        card->saveDefaultPLL();
        EXPECT_EQ(local.commands(from),
                  commandsFor(kNV4xCoreCoefficients, kNV4xMemoryCoefficients));
        EXPECT_EQ(card->vpuFrequency(), 405.0f);
        EXPECT_EQ(card->memFrequency(), 351.0f);
    }
}

TEST_F(NVIDIACardTest, NV4xProgrammingWritesTheTestLines) {
    const auto card = installed(nvidiaEntry("NV40", 0x0040, "SLOT-1", nv4xRegisters()));
    ASSERT_TRUE(card);
    ASSERT_TRUE(card->savePLLWithVPUFrequency(350.0f, 400.0f));
    const std::string log = mac.systemLog();
    const char* lines[] = {
        "pll1In -2147415547 - freqIn 350000.000000\n",
        "tGM 1 - tGM2 1 - tGN 13 - tGN2 2 - tgP 1\n",
        "Test VPU Frequency 351.000000\n",
        "pll1In -2147414516 - freqIn 400000.000000\n",
        "tMM 2 - tMM2 2 - tMN 17 - tMN2 7 - tmP 1\n",
        "Test Mem Frequency 401.625000\n",
        "GM 1 - GM2 1 - GN 13 - GN2 2 - gP 1\n",
        "MM 2 - MM2 2 - MN 17 - MN2 7 - mP 1\n",
    };
    std::size_t at = 0;
    for (const char* line : lines) {
        const std::size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << "in order in\n" << log;
        if (found != std::string::npos) at = found;
    }
}

TEST_F(NVIDIACardTest, PreNV4xSaveDefaultPLLWritesBothStockWords) {
    const auto card = installed(nvidiaEntry("NV34", 0x0322, "SLOT-2", preNV4xRegisters()));
    ASSERT_TRUE(card);
    card->setStockSettings();
    ASSERT_TRUE(card->savePLLWithVPUFrequency(200.0f, 500.0f));
    const std::size_t from = mac.commandCount();
    card->saveDefaultPLL();
    EXPECT_EQ(mac.commands(from), (std::vector<Command>{nvWrite(0x680500, kPreCorePLL),
                                                        nvWrite(0x680504, kPreMemoryPLL),
                                                        nvRead(0x680500), nvRead(0x680504)}));
    EXPECT_EQ(card->vpuFrequency(), 249.75f);
    EXPECT_EQ(card->memFrequency(), 405.0f);
}

// A refused control word is never followed by its coefficient word, every
// further pair is still tried, and the result is false.
TEST_F(NVIDIACardTest, RefusedWritesFailAndHoldBackTheCoefficientWord) {
    using Writes = std::vector<std::pair<std::uint32_t, bool>>;  // register, accepted
    const auto check = [](const char* what, std::uint16_t deviceID, const DriverFaults& faults,
                          const Writes& expected) {
        SCOPED_TRACE(what);
        TempSimMac local;
        local.writeMachine(oneCard(deviceID, driverFaults(faults)));
        const auto card = createNVIDIACard();
        ASSERT_TRUE(card);
        const std::size_t from = local.commandCount();
        EXPECT_FALSE(card->savePLLWithVPUFrequency(350.0f, 400.0f));
        Writes seen;
        for (const Command& w : local.commands(from, {}, 12))
            seen.push_back({w.argument, w.accepted});
        EXPECT_EQ(seen, expected);
    };
    // Creation is 6 accepted commands on NV4x and 3 on earlier cards.
    check("NV4x, every write refused", 0x0040, {.refuseCommands = {12}},
          {{0x4000, false}, {0x4020, false}, {0x4038, false}, {0x402C, false}, {0x4044, false}});
    check("NV4x, refused from the core control word on", 0x0141, {.refuseAfter = 6},
          {{0x4000, false}, {0x4020, false}, {0x4038, false}});
    check("NV4x, refused from the core coefficient word on", 0x0041, {.refuseAfter = 7},
          {{0x4000, true}, {0x4004, false}, {0x4020, false}});
    check("NV4x, refused from the second memory pair on", 0x0141, {.refuseAfter = 10},
          {{0x4000, true}, {0x4004, true}, {0x4020, true}, {0x4024, true}, {0x4038, false}});
    check("pre-NV4x, every write refused", 0x0322, {.refuseCommands = {12}},
          {{0x680500, false}, {0x680504, false}});
    check("pre-NV4x, memory word refused", 0x0322, {.refuseAfter = 4},
          {{0x680500, true}, {0x680504, false}});
}

// Words that do not come back after a change keep the clocks the card had:
// the change reports failure although its writes were accepted, and back to
// stock leaves the clocks as they were.
TEST_F(NVIDIACardTest, ReadsThatFailAfterCreationKeepTheClocksTheCardHad) {
    // A card of `deviceID` after a change to `vpu` and `memory` that works.
    const auto check = [](std::uint16_t deviceID, float vpu, float memory) {
        SCOPED_TRACE(deviceID);
        TempSimMac local;
        local.writeMachine(oneCard(deviceID));
        const auto card = createNVIDIACard();
        ASSERT_TRUE(card);
        card->setStockSettings();
        ASSERT_TRUE(card->savePLLWithVPUFrequency(vpu, memory));
        const float vpuReached = card->vpuFrequency(), memoryReached = card->memFrequency();
        // From now on the card's registers cannot be read; they start from
        // their power-on words again.
        local.writeMachine(
            oneCard(deviceID, driverFaults({.refuseCommands = {ReadNVIDIARegister}})));

        std::size_t from = local.commandCount();
        EXPECT_FALSE(
            card->savePLLWithVPUFrequency(card->realStockVPUFreq(), card->realStockMemFreq()));
        EXPECT_FALSE(local.commands(from, {}, 12).empty());
        for (const Command& w : local.commands(from, {}, 12)) EXPECT_TRUE(w.accepted) << w;
        EXPECT_EQ(card->vpuFrequency(), vpuReached);
        EXPECT_EQ(card->memFrequency(), memoryReached);

        from = local.commandCount();
        card->saveDefaultPLL();
        EXPECT_FALSE(local.commands(from, {}, 12).empty());
        EXPECT_EQ(card->vpuFrequency(), vpuReached);
        EXPECT_EQ(card->memFrequency(), memoryReached);
    };
    check(0x0040, 350.0f, 400.0f);
    check(0x0322, 200.0f, 500.0f);
}

TEST_F(NVIDIACardTest, UnchangedOrUnreachableClocksWriteNothing) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Clocks asked of a card of `deviceID` (< 0: the card's current value);
    // `searches`: a two-stage search ran.
    const auto check = [](const char* what, std::uint16_t deviceID, float vpu, float mem,
                          bool searches) {
        SCOPED_TRACE(what);
        TempSimMac local;
        local.writeMachine(oneCard(deviceID));
        const auto card = createNVIDIACard();
        ASSERT_TRUE(card);
        const float vpuBefore = card->vpuFrequency(), memBefore = card->memFrequency();
        const std::size_t from = local.commandCount();
        EXPECT_TRUE(
            card->savePLLWithVPUFrequency(vpu < 0 ? vpuBefore : vpu, mem < 0 ? memBefore : mem));
        EXPECT_TRUE(local.commands(from, {}, 12).empty());
        EXPECT_EQ(card->vpuFrequency(), vpuBefore);
        EXPECT_EQ(card->memFrequency(), memBefore);
        EXPECT_EQ(local.systemLog().find("pll1In") != std::string::npos, searches);
    };
    check("NV4x, both clocks as they are", 0x0040, -1, -1, false);
    check("NV4x, core far beyond any candidate, memory as it is", 0x0040, 50000.0f, -1, true);
    check("NV4x, core stays, memory 0 would stop the clock", 0x0040, -1, 0.0f, true);
    check("NV4x, NaN targets", 0x0040, nan, nan, true);
    check("pre-NV4x, both clocks as they are", 0x0322, -1, -1, false);
    check("pre-NV4x, core 0, memory without a word within 0.5 %", 0x0322, 0.0f, 0.01f, false);
    check("pre-NV4x, NaN and far too high", 0x0322, nan, 1e9f, false);
}

TEST_F(NVIDIACardTest, StoppedClockResultIsLoggedButNotWritten) {
    const auto card = installed(nvidiaEntry("NV40", 0x0040, "SLOT-1", nv4xRegisters()));
    ASSERT_TRUE(card);
    const std::size_t from = mac.commandCount();
    EXPECT_TRUE(card->savePLLWithVPUFrequency(card->vpuFrequency(), 0.0f));
    EXPECT_TRUE(mac.commands(from, {}, 12).empty());
    EXPECT_CONTAINS(mac.systemLog(), "tMM 1 - tMM2 1 - tMN 1 - tMN2 0 - tmP 1\n");
    EXPECT_CONTAINS(mac.systemLog(), "Test Mem Frequency 0.000000\n");
}

TEST_F(NVIDIACardTest, SavedEntryHasTwelveKeysInOrder) {
    install({nvidiaEntry("NV40", 0x0040, "SLOT-1", nv4xRegisters()),
             nvidiaEntry("NV34", 0x0322, "SLOT-2", preNV4xRegisters())});
    const auto nv4x = createNVIDIACard(0);
    const auto pre = createNVIDIACard(1);
    ASSERT_TRUE(nv4x && pre);
    nv4x->setStockSettings();
    pre->setStockSettings();
    ASSERT_TRUE(nv4x->savePLLWithVPUFrequency(350.0f, 400.0f));

    const std::vector<std::string> order{"Slot",      "Model",        "VPU",         "Memory",
                                         "Stock VPU", "Stock Memory", "Stock GPLL",  "Stock MPLL",
                                         "Stock GP",  "Stock MP",     "Stock GPLL2", "Stock MPLL2"};
    const cf::Dictionary entry = nv4x->saveCardInfo();
    EXPECT_EQ(keysOf(entry), order);
    // The clocks the card runs at now, the stock ones from before.
    EXPECT_EQ(floatFromEntry(entry, kVPUKey), 351.0f);
    EXPECT_EQ(floatFromEntry(entry, kMemoryKey), 401.625f);
    EXPECT_EQ(floatFromEntry(entry, kStockVPUKey), 405.0f);
    EXPECT_EQ(floatFromEntry(entry, kStockMemoryKey), 351.0f);
    EXPECT_EQ(entry.get(kStockVPUKey)->number()->type(), cf::kCFNumberFloatType);
    // Bit 31 as a positive value.
    EXPECT_EQ(stockWords(entry), (Words{kNV4xCoreControl, kNV4xMemoryControl, 1, 1,
                                        kNV4xCoreCoefficients, kNV4xMemoryCoefficients}));
    const cf::Dictionary preEntry = pre->saveCardInfo();
    EXPECT_EQ(keysOf(preEntry), order);
    EXPECT_EQ(stockWords(preEntry), (Words{kPreCorePLL, kPreMemoryPLL, 1, 0, 0, 0}));
}

// Stock values are filled once: from the entry or the card, whichever comes
// first. Words with high bits survive the saved settings file and reach the
// hardware on the way back to stock.
TEST_F(NVIDIACardTest, StockFilledOnceAndWordsSurviveTheSavedSettings) {
    install({nvidiaEntry("NV40", 0x0040, "SLOT-1", nv4xRegisters())});
    cf::Dictionary saved;
    saved.set(kStockVPUKey, cf::CFNumberCreateReal(cf::kCFNumberFloatType, 400.5));
    saved.set(kStockMemoryKey, cf::CFNumberCreateReal(cf::kCFNumberFloatType, 350.25));
    saved.set(kStockGPLLKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0xC0020A05));
    saved.set(kStockMPLLKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0xFFFF0E0C));
    saved.set(kStockGPKey, cf::CFNumberCreate(cf::kCFNumberIntType, 2));
    saved.set(kStockMPKey, cf::CFNumberCreate(cf::kCFNumberIntType, 258));  // kept in 8 bits: 2
    saved.set(kStockGPLL2Key, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x8A010F01));
    saved.set(kStockMPLL2Key, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x02010D01));

    {
        const auto card = createNVIDIACard();
        ASSERT_TRUE(card);
        card->getStockSettingsFromPrefsDictionary(saved);
        card->setStockSettings();  // everything is filled: changes nothing
        cf::Dictionary other;
        other.set(kStockGPLLKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x11111111));
        other.set(kStockVPUKey, cf::CFNumberCreateReal(cf::kCFNumberFloatType, 1.0));
        card->getStockSettingsFromPrefsDictionary(other);  // changes nothing either

        cf::Dictionary domain;
        domain.set(kCardsKey, cf::Array{card->saveCardInfo()});
        NSUserDefaults::standardUserDefaults().setPersistentDomain(domain, kTarnwickPrefDomain);
        NSUserDefaults::standardUserDefaults().synchronize();
    }

    const auto domain =
        NSUserDefaults::standardUserDefaults().persistentDomainForName(kTarnwickPrefDomain);
    ASSERT_TRUE(domain);
    const cf::Dictionary& entry = *domain->get(kCardsKey)->array()->front().dictionary();
    const auto card = createNVIDIACard();
    ASSERT_TRUE(card);
    card->getStockSettingsFromPrefsDictionary(entry);
    const cf::Dictionary again = card->saveCardInfo();
    EXPECT_EQ(floatFromEntry(again, kStockVPUKey), 400.5f);
    EXPECT_EQ(floatFromEntry(again, kStockMemoryKey), 350.25f);
    EXPECT_EQ(stockWords(again), (Words{0xC0020A05, 0xFFFF0E0C, 2, 2, 0x8A010F01, 0x02010D01}));

    const std::size_t from = mac.commandCount();
    card->saveDefaultPLL();
    const auto w = mac.commands(from, {}, 12);
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(std::vector<Command>(w.begin(), w.begin() + 4),
              (std::vector<Command>{nvWrite(0x4000, 0xC0020A05), nvWrite(0x4004, 0x8A010F01),
                                    nvWrite(0x4020, 0xFFFF0E0C), nvWrite(0x4024, 0x02010D01)}));
}

TEST_F(NVIDIACardTest, SecondSetStockSettingsKeepsTheFirstValues) {
    install({nvidiaEntry("NV40", 0x0040, "SLOT-1", nv4xRegisters()),
             nvidiaEntry("NV34", 0x0322, "SLOT-2", preNV4xRegisters())});
    for (std::size_t index : {0u, 1u}) {
        SCOPED_TRACE(index);
        const auto card = createNVIDIACard(index);
        ASSERT_TRUE(card);
        card->setStockSettings();
        const cf::Dictionary first = card->saveCardInfo();
        ASSERT_TRUE(card->savePLLWithVPUFrequency(350.0f, 400.0f));
        card->setStockSettings();
        cf::Dictionary other;
        for (const char* key : {kStockGPLLKey, kStockMPLLKey, kStockGPLL2Key, kStockMPLL2Key})
            other.set(key, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x01010101));
        card->getStockSettingsFromPrefsDictionary(other);
        const cf::Dictionary second = card->saveCardInfo();
        for (const char* key : {kStockVPUKey, kStockMemoryKey, kStockGPLLKey, kStockMPLLKey,
                                kStockGPKey, kStockMPKey, kStockGPLL2Key, kStockMPLL2Key})
            EXPECT_EQ(*first.get(key), *second.get(key)) << key;
        EXPECT_NE(*first.get(kVPUKey), *second.get(kVPUKey));
    }
}

// A pre-NV4x card takes no coefficient words from an entry.
TEST_F(NVIDIACardTest, PreNV4xIgnoresSavedCoefficientWords) {
    const auto card = installed(nvidiaEntry("NV34", 0x0322, "SLOT-2", preNV4xRegisters()));
    ASSERT_TRUE(card);
    cf::Dictionary saved;
    saved.set(kStockGPLL2Key, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x8A010F01));
    saved.set(kStockMPLL2Key, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x02010D01));
    card->getStockSettingsFromPrefsDictionary(saved);
    card->setStockSettings();
    const cf::Dictionary entry = card->saveCardInfo();
    EXPECT_EQ(integerOf(entry, kStockGPLL2Key), 0u);
    EXPECT_EQ(integerOf(entry, kStockMPLL2Key), 0u);
    EXPECT_EQ(integerOf(entry, kStockGPLLKey), kPreCorePLL);
}

// The highest clock the pane lets a user ask for (twice stock) may be
// reached a little above; a reader of the saved settings accepts that clock.
// A card on the 13.5 MHz crystal at M 3, N 118, P 1 (265.5 MHz stock) asked
// for 531 MHz runs at 533.25.
TEST_F(NVIDIACardTest, TheClockReachedAtTheTopOfTheSteppersIsOneTheNextLoginAccepts) {
    auto registers = preNV4xRegisters();
    registers["0x680500"] = 0x00017603;
    const auto card = installed(nvidiaEntry("NV34", 0x0322, "SLOT-2", registers));
    ASSERT_TRUE(card);
    card->setStockSettings();
    ASSERT_EQ(card->realStockVPUFreq(), 265.5f);
    const ClockCeiling ceiling = clockCeiling(card->realStockVPUFreq(), *card);
    EXPECT_EQ(ceiling.highestAsked, 531.0);
    ASSERT_TRUE(card->savePLLWithVPUFrequency(531.0f, card->memFrequency()));
    EXPECT_EQ(card->vpuFrequency(), 533.25f);
    cf::Dictionary entry = card->saveCardInfo();
    EXPECT_TRUE(isUsableCardEntry(entry, *card));
    entry.set(kVPUKey, cf::CFNumberCreateReal(cf::kCFNumberFloatType, ceiling.highestKept + 1));
    EXPECT_FALSE(isUsableCardEntry(entry, *card));
}
