// The real TarnwickStartup executable on a simulated Mac: what it restores,
// when it rewrites the saved settings and what reaches the cards.

#include <cmath>
#include <functional>

#include "SavedSettings.h"
#include "support/CardSupport.h"
#include "support/Child.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

// Runs the tool as the login window does: no arguments. Its exit status.
int runStartup() { return run({startupTool()}).status; }

std::string domainBytes() { return readFile(domainFile(kTarnwickPrefDomain)); }

const cf::Array& cardsOf(const cf::Dictionary& domain) {
    static const cf::Array none;
    const cf::Value* cards = domain.get(kCardsKey);
    return cards && cards->array() ? *cards->array() : none;
}

// The saved card entries as the tool left them; none (and a failure) when
// the settings cannot be read.
cf::Array savedCards() {
    const std::optional<cf::Dictionary> domain = readDomain(kTarnwickPrefDomain);
    if (!domain) ADD_FAILURE() << "no saved settings";
    return domain ? cardsOf(*domain) : cf::Array{};
}

// A card whose stock the tool measures at creation (400.5 / 299.25 MHz)
// when `firmwareClocks`.
ATIDevice withFirmwareClocks(bool firmwareClocks) {
    return firmwareClocks ? ATIDevice{.sclk = 400000, .mclk = 300000} : ATIDevice{};
}

std::string slotOf(const cf::Value& entry) { return *entry.dictionary()->get(kSlotKey)->string(); }

const std::vector<std::string> kSixKeys = {kSlotKey,   kModelKey,    kVPUKey,
                                           kMemoryKey, kStockVPUKey, kStockMemoryKey};

TEST(StartupTool, WithoutSettingsRecordsTheStockClocksAndIdentifiesWithOneCommand) {
    TempSimMac mac;
    // Built-in: the slot comes from the tool's own strings.
    mac.writeMachine(atiMachine({{.slotName = std::nullopt}}));
    ASSERT_EQ(runStartup(), 0);

    // The startup build reads no memory facts.
    auto log = mac.driverLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].command, ReadATIPLL);

    std::optional<cf::Dictionary> domain = readDomain(kTarnwickPrefDomain);
    ASSERT_TRUE(domain);
    EXPECT_EQ(keysOf(*domain), (std::vector<std::string>{kSetAtStartupKey, kCardsKey}));
    EXPECT_TRUE(cf::boolValue(domain->get(kSetAtStartupKey)));
    ASSERT_EQ(cardsOf(*domain).size(), 1u);
    const cf::Dictionary& entry = *cardsOf(*domain)[0].dictionary();
    EXPECT_EQ(keysOf(entry), kSixKeys);
    EXPECT_EQ(*entry.get(kSlotKey)->string(), "Built-in");
    EXPECT_EQ(*entry.get(kModelKey)->string(), "ATY,TestCard");
    for (const char* key : {kVPUKey, kMemoryKey, kStockVPUKey, kStockMemoryKey})
        EXPECT_EQ(floatFromEntry(entry, key), 225.0f) << key;
}

TEST(StartupTool, RestoresSavedClocksAndLeavesACompleteDomainUntouched) {
    TempSimMac mac;
    ATIDevice device;
    mac.writeMachine(atiMachine({device}));
    cf::Dictionary present =
        savedCardEntry("SLOT-1", "ATY,TestCard", 110 * 2.25f, 96 * 2.25f, 225.0f, 225.0f);
    cf::Dictionary absent =
        savedCardEntry("SLOT-7", "NVIDIA GeForce 6800", 400.0f, 550.0f, 350.0f, 350.0f);
    absent.set(kStockGPLLKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x80012345));
    writeDomain(kTarnwickPrefDomain, savedDomain(false, {absent, present}));
    const std::string before = domainBytes();

    ASSERT_EQ(runStartup(), 0);
    // Gradually: ten VPU steps, the first four with a memory step too.
    std::vector<std::uint32_t> writes = mac.pllWrites();
    ASSERT_EQ(writes.size(), 10u);
    EXPECT_EQ(writes.front(), pllWord(12, 99, 101));
    EXPECT_EQ(writes.back(), pllWord(12, 96, 110));
    EXPECT_EQ(mac.registers(driverPath(device)).at("PLL"), pllWord(12, 96, 110));
    EXPECT_EQ(domainBytes(), before);
}

TEST(StartupTool, RewriteDropsAbsentCardsAndNVIDIAKeys) {
    TempSimMac mac;
    ATIDevice device;
    mac.writeMachine(atiMachine({device}));
    cf::Dictionary present =
        savedCardEntry("SLOT-1", "ATY,TestCard", 102 * 2.25f, 225.0f);  // no stock keys
    present.set(kStockGPLLKey, cf::CFNumberCreate(cf::kCFNumberIntType, 7));
    cf::Dictionary absent = savedCardEntry("SLOT-7", "ATY,Other", 400.0f, 550.0f, 350.0f, 350.0f);
    writeDomain(kTarnwickPrefDomain, savedDomain(false, {present, absent}));

    ASSERT_EQ(runStartup(), 0);
    const std::optional<cf::Dictionary> domain = readDomain(kTarnwickPrefDomain);
    ASSERT_TRUE(domain);
    EXPECT_TRUE(cf::boolValue(domain->get(kSetAtStartupKey)));
    const cf::Array& cards = cardsOf(*domain);
    ASSERT_EQ(cards.size(), 1u);
    const cf::Dictionary& entry = *cards[0].dictionary();
    EXPECT_EQ(keysOf(entry), kSixKeys);
    EXPECT_EQ(slotOf(cards[0]), "SLOT-1");
    EXPECT_EQ(floatFromEntry(entry, kVPUKey), 102 * 2.25f);
    // Stock taken from the clocks restored just before.
    EXPECT_EQ(floatFromEntry(entry, kStockVPUKey), 102 * 2.25f);
}

TEST(StartupTool, RewriteListsCardsFromTheLastToTheFirst) {
    TempSimMac mac;
    // The first with its stock measured at creation.
    mac.writeMachine(
        atiMachine({{.entryName = "ATY,A", .slotName = "SLOT-1", .sclk = 400000, .mclk = 300000},
                    {.entryName = "ATY,B", .slotName = "SLOT-2", .agpMaster = true}}));
    ASSERT_EQ(runStartup(), 0);
    const cf::Array cards = savedCards();
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(slotOf(cards[0]), "AGP");
    const cf::Dictionary& measured = *cards[1].dictionary();
    EXPECT_EQ(slotOf(cards[1]), "SLOT-1");
    EXPECT_EQ(floatFromEntry(measured, kStockVPUKey), 178 * 2.25f);
    EXPECT_EQ(floatFromEntry(measured, kVPUKey), 225.0f);
    // Identification and the measurement there and back: three commands.
    EXPECT_EQ(mac.driverLog().size(), 3u + 1u);
}

TEST(StartupTool, PreferencesThatDoNotParseCountAsNone) {
    TempSimMac mac;
    mac.writeMachine(atiMachine({ATIDevice{}}));
    writeFile(domainFile(kTarnwickPrefDomain), "<plist><dict><key>Cards</key>");
    ASSERT_EQ(runStartup(), 0);
    EXPECT_TRUE(mac.pllWrites().empty());
    EXPECT_EQ(savedCards().size(), 1u);
}

TEST(StartupTool, NoUsableCardLeavesTheDomainAlone) {
    TempSimMac mac;
    mac.writeMachine(atiMachine({{.faults = driverFaults({.refuseCommands = {ReadATIPLL}})}}));
    ASSERT_EQ(runStartup(), 0);
    EXPECT_FALSE(std::filesystem::exists(domainFile(kTarnwickPrefDomain)));
    EXPECT_CONTAINS(mac.systemLog(), "Tarnwick: error ");
}

TEST(StartupTool, FindsTheCardsOfBothVendors) {
    TempSimMac mac;  // no machine file: the default machine, one ATI and two NVIDIA cards
    ASSERT_EQ(runStartup(), 0);
    const cf::Array cards = savedCards();
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(slotOf(cards[0]), "SLOT-2");
    EXPECT_EQ(slotOf(cards[1]), "SLOT-1");
    EXPECT_EQ(slotOf(cards[2]), "AGP");
    EXPECT_EQ(keysOf(*cards[2].dictionary()), kSixKeys);
    bool nvidiaCommands = false;
    for (const host::DriverLogRecord& record : mac.driverLog())
        nvidiaCommands = nvidiaCommands || record.command == ReadNVIDIARegister;
    EXPECT_TRUE(nvidiaCommands);
}

// A card whose driver does not answer while it is created is not built from
// the answer "RegValue" still holds, is never programmed (no stock
// measurement, no restore), and is named in one log line. When the tool
// rewrites the domain (here for a new card whose stock clocks it records),
// that card's saved entry stays as it was, in the card's place; the entry of
// a card that is gone is dropped.
TEST(StartupTool, ACardWhoseDriverDoesNotAnswerKeepsItsEntryAndIsNeverProgrammed) {
    // The ATI card's driver has `faults` when `atiFaulty`, else the NVIDIA
    // card's; the read that fails and the commands that reach the driver.
    const auto check = [](const char* what, bool atiFaulty, const DriverFaults& faults,
                          const char* failedRead, const std::vector<Command>& faultyCommands) {
        SCOPED_TRACE(what);
        TempSimMac mac;
        // Stock measured at creation when it can be read.
        ATIDevice ati{.sclk = 400000, .mclk = 300000};
        if (atiFaulty) ati.faults = driverFaults(faults);
        cf::Dictionary atiCard = atiEntry(ati);
        if (atiFaulty) {
            // An answer left from an earlier read (of register 0x158): taken
            // as a divider word it would put the card at 7 MHz.
            cf::Dictionary& driver = *atiCard.get("Children")->array()->front().dictionary();
            driver.get("Properties")->dictionary()->set("RegValue", dataU32(0x6C0D0132));
        }
        mac.writeMachine(
            machine({atiCard,
                     nvidiaEntry("NVDA,Card", 0x0040, "SLOT-2", nv4xRegisters(),
                                 atiFaulty ? std::nullopt : std::optional(driverFaults(faults))),
                     nvidiaEntry("NVDA,New", 0x0040, "SLOT-3", nv4xRegisters())}));
        cf::Dictionary atiSaved =
            savedCardEntry("SLOT-1", "ATY,TestCard", 102 * 2.25f, 225.0f, 200.0f, 200.0f);
        cf::Dictionary nvidiaSaved =
            savedCardEntry("SLOT-2", "NVIDIA GeForce", 351.0f, 351.0f, 405.0f, 405.0f);
        nvidiaSaved.set(kStockGPLLKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x80010A05));
        writeDomain(
            kTarnwickPrefDomain,
            savedDomain(false, {savedCardEntry("SLOT-9", "Gone", 300.0f, 300.0f, 300.0f, 300.0f),
                                nvidiaSaved, atiSaved}));
        ASSERT_EQ(runStartup(), 0);

        const std::string faultyDriver = atiFaulty ? driverPath(ati) : driverPath("NVDA,Card");
        EXPECT_EQ(mac.commands(0, faultyDriver), faultyCommands);
        EXPECT_CONTAINS(mac.systemLog(), "Tarnwick: card of IOService:/" + faultyDriver +
                                             " not used: " + failedRead + " failed\n");

        const cf::Array cards = savedCards();
        ASSERT_EQ(cards.size(), 3u);
        EXPECT_EQ((std::vector<std::string>{slotOf(cards[0]), slotOf(cards[1]), slotOf(cards[2])}),
                  (std::vector<std::string>{"SLOT-3", "SLOT-2", "SLOT-1"}));
        const cf::Dictionary& kept = *cards[atiFaulty ? 2 : 1].dictionary();
        EXPECT_EQ(cf::toXMLPropertyList(kept),
                  cf::toXMLPropertyList(atiFaulty ? atiSaved : nvidiaSaved));
        // The card that could be read got its saved clocks and a rewritten entry.
        const cf::Dictionary& rewritten = *cards[atiFaulty ? 1 : 2].dictionary();
        EXPECT_EQ(keysOf(rewritten), kSixKeys);
        EXPECT_EQ(floatFromEntry(rewritten, kVPUKey), atiFaulty ? 351.0f : 102 * 2.25f);
    };
    check("ATI, ReadATIPLL times out", true, {.busyMilliseconds = 1000}, "ReadATIPLL", {});
    check("ATI, ReadATIPLL refused", true, {.refuseCommands = {ReadATIPLL}}, "ReadATIPLL",
          {{ReadATIPLL, 0, {}, false}});
    check("NV4x, second strap read refused", false, {.refuseAfter = 1},
          "ReadNVIDIARegister 0x101000", {nvRead(0x101000), nvRead(0x101000, false)});
    check("NV4x, core coefficient word refused", false, {.refuseAfter = 3},
          "ReadNVIDIARegister 0x4004",
          {nvRead(0x101000), nvRead(0x101000), nvRead(0x4000), nvRead(0x4004, false)});
    check("NV4x, every read times out", false, {.busyMilliseconds = 1000},
          "ReadNVIDIARegister 0x101000", {});
}

// A machine that cannot be read is not a machine without cards: the tool
// leaves the saved settings as they are, byte for byte, and says why.
TEST(StartupTool, AnUnreadableMachineLeavesTheDomainAlone) {
    const auto check = [](const char* what, const std::function<void(const TempSimMac&)>& breakIt) {
        SCOPED_TRACE(what);
        TempSimMac mac;
        writeDomain(
            kTarnwickPrefDomain,
            savedDomain(true, {savedCardEntry("SLOT-1", "ATY,TestCard", 247.5f, 225.0f),
                               savedCardEntry("SLOT-2", "NVIDIA GeForce", 400.0f, 400.0f)}));
        const std::string before = domainBytes();
        breakIt(mac);
        ASSERT_EQ(runStartup(), 0);
        EXPECT_EQ(domainBytes(), before);
        EXPECT_TRUE(mac.driverLog().empty());
        EXPECT_CONTAINS(
            mac.systemLog(),
            "Tarnwick: the machine could not be read; saved settings left as they are\n");
    };
    check("not a property list",
          [](const TempSimMac& mac) { writeFile(mac.root() / "machine.plist", "garbage\n"); });
    check("a folder in its place", [](const TempSimMac& mac) {
        std::filesystem::create_directories(mac.root() / "machine.plist");
    });
}

// Saved clocks that no pane could have set for the card go to no card:
// each clock, as the float the card would get, must be finite, above 0 and
// at most twice the stock clock, with room for what the card reaches when
// asked for that (the card's own stock when known, else the entry's, else
// the clock the card runs at).
TEST(StartupTool, SavedClocksNoPaneCouldHaveSetAreNotApplied) {
    const double nan = std::nan("");
    // `entryStock`: both stock keys; `firmwareClocks`: the card measures its
    // own stock, 400.5 / 299.25 MHz.
    const auto check = [](const char* what, double vpu, double memory,
                          std::optional<float> entryStock, bool firmwareClocks, bool applied) {
        SCOPED_TRACE(what);
        TempSimMac mac;
        mac.writeMachine(atiMachine({withFirmwareClocks(firmwareClocks)}));
        cf::Dictionary entry =
            savedCardEntry("SLOT-1", "ATY,TestCard", 0, 0, entryStock, entryStock);
        entry.set(kVPUKey, cf::CFNumberCreateReal(cf::kCFNumberDoubleType, vpu));
        entry.set(kMemoryKey, cf::CFNumberCreateReal(cf::kCFNumberDoubleType, memory));
        writeDomain(kTarnwickPrefDomain, savedDomain(true, {entry}));
        const std::size_t creation = firmwareClocks ? 3 : 1;
        ASSERT_EQ(runStartup(), 0);
        EXPECT_EQ(mac.commandCount() > creation, applied);
        EXPECT_EQ(mac.systemLog().find("Tarnwick: saved card entry ignored") == std::string::npos,
                  applied)
            << mac.systemLog();
    };
    check("a clock a pane sets", 247.5, 234.0, 225.0f, false, true);
    check("exactly twice the entry's stock", 450.0, 225.0, 225.0f, false, true);
    check("a step above twice the entry's stock, as the card's rounding may reach", 452.25, 225.0,
          225.0f, false, true);
    check("two steps above twice the entry's stock", 454.5, 225.0, 225.0f, false, false);
    check("a million MHz", 1e6, 225.0, 225.0f, false, false);
    check("1e39: finite as a double, infinite as a float", 1e39, 225.0, 225.0f, false, false);
    check("a memory clock of 1e39", 247.5, 1e39, 225.0f, false, false);
    check("NaN", nan, 225.0, 225.0f, false, false);
    check("0 MHz", 247.5, 0.0, 225.0f, false, false);
    check("negative", -247.5, 225.0, 225.0f, false, false);
    check("the card's own stock comes before the entry's", 900.0, 225.0, 600.0f, true, false);
    check("within twice the card's own stock", 450.0, 225.0, 200.0f, true, true);
    check("no stock anywhere: twice the clock the card runs at", 454.5, 225.0, std::nullopt, false,
          false);
}

// Nothing a failure did becomes a saved setting: a login whose writes fail
// keeps the saved clocks, a stock measurement that failed records no stock,
// and a reapply that could not be guarded leaves the settings as they are.
TEST(StartupTool, FailuresNeverBecomeSavedSettings) {
    const auto recordFile = [](const TempSimMac& mac, const char* suffix) {
        return mac.root() / "Library/Preferences" /
               (std::string("name.halvorn.oddny.TarnwickStartup.plist") + suffix);
    };
    // `rewritten`: else the settings keep their bytes.
    const auto check = [](const char* what, std::optional<cf::Dictionary> faults,
                          bool firmwareClocks,
                          const std::function<void(const TempSimMac&)>& prepare, bool rewritten) {
        SCOPED_TRACE(what);
        TempSimMac mac;
        ATIDevice device = withFirmwareClocks(firmwareClocks);
        device.faults = std::move(faults);
        mac.writeMachine(atiMachine({device}));
        // 247.5 / 234 MHz saved; no stock clocks yet, so a login records them.
        writeDomain(kTarnwickPrefDomain,
                    savedDomain(true, {savedCardEntry("SLOT-1", "ATY,TestCard", 247.5f, 234.0f)}));
        if (prepare) prepare(mac);
        const std::string before = domainBytes();
        ASSERT_EQ(runStartup(), 0);
        if (!rewritten) {
            EXPECT_EQ(domainBytes(), before);
            return;
        }
        const cf::Array cards = savedCards();
        ASSERT_EQ(cards.size(), 1u);
        const cf::Dictionary& entry = *cards[0].dictionary();
        EXPECT_EQ(floatFromEntry(entry, kVPUKey), 247.5f);
        EXPECT_EQ(floatFromEntry(entry, kMemoryKey), 234.0f);
        EXPECT_NE(floatFromEntry(entry, kStockVPUKey), 0.0f) << "the stock clocks are recorded";
    };
    check("a restore refused halfway", driverFaults({.refuseAfter = 3}), false, {}, true);
    // The first entry no pane could set: the saved one that failed is kept.
    check(
        "a restore refused halfway after an entry never applied", driverFaults({.refuseAfter = 3}),
        false,
        [](const TempSimMac&) {
            writeDomain(
                kTarnwickPrefDomain,
                savedDomain(true, {savedCardEntry("SLOT-1", "ATY,TestCard", 1e6f, 234.0f),
                                   savedCardEntry("SLOT-1", "ATY,TestCard", 247.5f, 234.0f)}));
        },
        true);
    check("a stock measurement refused", driverFaults({.refuseCommands = {WriteATIPLL}}), true, {},
          false);
    check(
        "a guard record that cannot be read", std::nullopt, false,
        [&](const TempSimMac& mac) { writeFile(recordFile(mac, ""), "garbage"); }, false);
    check(
        "a guard record that cannot be written", std::nullopt, false,
        [&](const TempSimMac& mac) {
            std::filesystem::create_directories(recordFile(mac, ".lock"));
        },
        false);
}

}  // namespace
