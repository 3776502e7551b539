// The real TarnwickStartup executable on a simulated Mac: what it restores,
// when it rewrites the saved settings and what reaches the cards.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ATITestMachine.h"

using namespace atitest;
using testsupport::TempSimMac;

namespace {

std::string startupExecutable() {
    const char* bundles = std::getenv("TARNWICK_BUNDLE_DIR");
    return std::string(bundles ? bundles : TARNWICK_BUNDLE_DIR_DEFAULT) +
           "/TarnwickStartup.app/Contents/MacOS/TarnwickStartup";
}

// Runs the tool as the login window does: no arguments. Its exit status.
int runStartup() {
    std::string command = "'" + startupExecutable() + "' 2>/dev/null";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::filesystem::path domainFile(const TempSimMac& mac) {
    return mac.root() / "Library" / "Preferences" / (std::string(kTarnwickPrefDomain) + ".plist");
}

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeDomain(const TempSimMac& mac, const cf::Dictionary& domain) {
    std::filesystem::create_directories(domainFile(mac).parent_path());
    std::string error;
    ASSERT_TRUE(cf::writePropertyListFileAtomically(domainFile(mac).string(), domain, &error))
        << error;
}

std::optional<cf::Dictionary> readDomain(const TempSimMac& mac) {
    std::string error;
    std::optional<cf::Value> value = cf::readPropertyListFile(domainFile(mac).string(), &error);
    if (!value || !value->dictionary()) return std::nullopt;
    return *value->dictionary();
}

cf::Value real(float f) { return cf::CFNumberCreateReal(cf::kCFNumberFloatType, f); }

cf::Dictionary cardEntry(const std::string& slot, const std::string& model, float vpu, float memory,
                         std::optional<float> stock = std::nullopt) {
    cf::Dictionary entry;
    entry.set(kSlotKey, slot);
    entry.set(kModelKey, model);
    entry.set(kVPUKey, real(vpu));
    entry.set(kMemoryKey, real(memory));
    if (stock) {
        entry.set(kStockVPUKey, real(*stock));
        entry.set(kStockMemoryKey, real(*stock));
    }
    return entry;
}

cf::Dictionary domainWith(bool setAtStartup, std::vector<cf::Dictionary> entries) {
    cf::Array cards;
    for (cf::Dictionary& entry : entries) cards.push_back(std::move(entry));
    cf::Dictionary domain;
    domain.set(kSetAtStartupKey, setAtStartup);
    domain.set(kCardsKey, std::move(cards));
    return domain;
}

const cf::Array& cardsOf(const cf::Dictionary& domain) {
    static const cf::Array none;
    const cf::Value* cards = domain.get(kCardsKey);
    return cards && cards->array() ? *cards->array() : none;
}

std::vector<std::string> keysOf(const cf::Dictionary& entry) {
    std::vector<std::string> keys;
    for (const auto& item : entry.items()) keys.push_back(item.first);
    return keys;
}

const std::vector<std::string> kSixKeys = {kSlotKey,   kModelKey,    kVPUKey,
                                           kMemoryKey, kStockVPUKey, kStockMemoryKey};

TEST(StartupTool, WithoutSettingsRecordsTheStockClocksAndIdentifiesWithOneCommand) {
    TempSimMac mac;
    ATIDevice device;
    device.slotName.reset();  // built-in: the slot comes from the tool's own strings
    mac.writeMachine(atiMachine({device}));
    ASSERT_EQ(runStartup(), 0);

    // The startup build reads no memory facts.
    auto log = mac.driverLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].command, ReadATIPLL);

    std::optional<cf::Dictionary> domain = readDomain(mac);
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
    cf::Dictionary present = cardEntry("SLOT-1", "ATY,TestCard", 110 * 2.25f, 96 * 2.25f, 225.0f);
    cf::Dictionary absent = cardEntry("SLOT-7", "NVIDIA GeForce 6800", 400.0f, 550.0f, 350.0f);
    absent.set(kStockGPLLKey, cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x80012345));
    writeDomain(mac, domainWith(false, {absent, present}));
    const std::string before = fileBytes(domainFile(mac));

    ASSERT_EQ(runStartup(), 0);
    // Gradually: ten VPU steps, the first four with a memory step too.
    std::vector<std::uint32_t> writes = pllWrites(mac);
    ASSERT_EQ(writes.size(), 10u);
    EXPECT_EQ(writes.front(), pllWord(12, 99, 101));
    EXPECT_EQ(writes.back(), pllWord(12, 96, 110));
    EXPECT_EQ(mac.registers(driverPath(device)).at("PLL"), pllWord(12, 96, 110));
    EXPECT_EQ(fileBytes(domainFile(mac)), before);
}

TEST(StartupTool, RewriteDropsAbsentCardsAndNVIDIAKeys) {
    TempSimMac mac;
    ATIDevice device;
    mac.writeMachine(atiMachine({device}));
    cf::Dictionary present =
        cardEntry("SLOT-1", "ATY,TestCard", 102 * 2.25f, 225.0f);  // no stock keys
    present.set(kStockGPLLKey, cf::CFNumberCreate(cf::kCFNumberIntType, 7));
    cf::Dictionary absent = cardEntry("SLOT-7", "ATY,Other", 400.0f, 550.0f, 350.0f);
    writeDomain(mac, domainWith(false, {present, absent}));

    ASSERT_EQ(runStartup(), 0);
    std::optional<cf::Dictionary> domain = readDomain(mac);
    ASSERT_TRUE(domain);
    EXPECT_TRUE(cf::boolValue(domain->get(kSetAtStartupKey)));
    ASSERT_EQ(cardsOf(*domain).size(), 1u);
    const cf::Dictionary& entry = *cardsOf(*domain)[0].dictionary();
    EXPECT_EQ(keysOf(entry), kSixKeys);
    EXPECT_EQ(*entry.get(kSlotKey)->string(), "SLOT-1");
    EXPECT_EQ(floatFromEntry(entry, kVPUKey), 102 * 2.25f);
    // Stock taken from the clocks restored just before.
    EXPECT_EQ(floatFromEntry(entry, kStockVPUKey), 102 * 2.25f);
}

TEST(StartupTool, RewriteListsCardsFromTheLastToTheFirst) {
    TempSimMac mac;
    ATIDevice first;
    first.entryName = "ATY,A";
    first.slotName = "SLOT-1";
    first.sclk = 400000;  // stock measured at creation
    first.mclk = 300000;
    ATIDevice second;
    second.entryName = "ATY,B";
    second.slotName = "SLOT-2";
    second.agpMaster = true;
    mac.writeMachine(atiMachine({first, second}));
    ASSERT_EQ(runStartup(), 0);
    std::optional<cf::Dictionary> domain = readDomain(mac);
    ASSERT_TRUE(domain);
    ASSERT_EQ(cardsOf(*domain).size(), 2u);
    EXPECT_EQ(*cardsOf(*domain)[0].dictionary()->get(kSlotKey)->string(), "AGP");
    const cf::Dictionary& measured = *cardsOf(*domain)[1].dictionary();
    EXPECT_EQ(*measured.get(kSlotKey)->string(), "SLOT-1");
    EXPECT_EQ(floatFromEntry(measured, kStockVPUKey), 178 * 2.25f);
    EXPECT_EQ(floatFromEntry(measured, kVPUKey), 225.0f);
    // Identification and the measurement there and back: three commands.
    EXPECT_EQ(mac.driverLog().size(), 3u + 1u);
}

TEST(StartupTool, PreferencesThatDoNotParseCountAsNone) {
    TempSimMac mac;
    mac.writeMachine(atiMachine({ATIDevice{}}));
    std::filesystem::create_directories(domainFile(mac).parent_path());
    std::ofstream(domainFile(mac)) << "<plist><dict><key>Cards</key>";
    ASSERT_EQ(runStartup(), 0);
    EXPECT_TRUE(pllWrites(mac).empty());
    std::optional<cf::Dictionary> domain = readDomain(mac);
    ASSERT_TRUE(domain);
    EXPECT_EQ(cardsOf(*domain).size(), 1u);
}

TEST(StartupTool, NoUsableCardLeavesTheDomainAlone) {
    TempSimMac mac;
    ATIDevice refusing;
    cf::Dictionary faults;
    faults.set("RefuseCommands", cf::Array{cf::CFNumberCreate(cf::kCFNumberIntType, ReadATIPLL)});
    refusing.faults = faults;
    mac.writeMachine(atiMachine({refusing}));
    ASSERT_EQ(runStartup(), 0);
    EXPECT_FALSE(std::filesystem::exists(domainFile(mac)));
    EXPECT_NE(mac.systemLog().find("Tarnwick: error "), std::string::npos);
}

TEST(StartupTool, FindsTheCardsOfBothVendors) {
    TempSimMac mac;  // no machine file: the default machine, one ATI and two NVIDIA cards
    ASSERT_EQ(runStartup(), 0);
    std::optional<cf::Dictionary> domain = readDomain(mac);
    ASSERT_TRUE(domain);
    const cf::Array& cards = cardsOf(*domain);
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(*cards[0].dictionary()->get(kSlotKey)->string(), "SLOT-2");
    EXPECT_EQ(*cards[1].dictionary()->get(kSlotKey)->string(), "SLOT-1");
    EXPECT_EQ(*cards[2].dictionary()->get(kSlotKey)->string(), "AGP");
    EXPECT_EQ(keysOf(*cards[2].dictionary()), kSixKeys);
    bool nvidiaCommands = false;
    for (const host::DriverLogRecord& record : mac.driverLog())
        nvidiaCommands = nvidiaCommands || record.command == ReadNVIDIARegister;
    EXPECT_TRUE(nvidiaCommands);
}

}  // namespace
