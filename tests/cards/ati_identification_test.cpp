// How an ATI card comes into being from its driver instance: the divider
// word, firmware clocks, reference clock, slot, memory facts and the cases
// that yield no card.

#include "support/CardSupport.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

CardList createFrom(const TempSimMac& mac, const std::vector<ATIDevice>& devices) {
    mac.writeMachine(atiMachine(devices));
    return discoverATICards();
}

ATICard& only(CardList& cards) {
    if (cards.size() != 1) throw std::runtime_error("expected exactly one card");
    return static_cast<ATICard&>(*cards.front());
}

TEST(ATIIdentification, DividerWordIsSplitIntoItsFields) {
    TempSimMac mac;
    CardList cards = createFrom(mac, {{.pll = 0x00123405}});
    ATICard& card = only(cards);
    EXPECT_EQ(card.refDiv(), 5);
    EXPECT_EQ(card.stockRefDiv(), 5);
    EXPECT_EQ(card.memFBDiv(), 0x34);
    EXPECT_EQ(card.vpuFBDiv(), 0x12);
    EXPECT_EQ(card.clockStep(), 27.0f / 5.0f);
    EXPECT_EQ(card.vpuFrequency(), 0x12 * (27.0f / 5.0f));
}

TEST(ATIIdentification, PaneBuildIdentifiesWithFourCommands) {
    TempSimMac mac;
    // The top byte is ignored.
    CardList cards = createFrom(mac, {{.pll = 0xAB000000 | pllWord(12, 100, 100)}});
    ASSERT_EQ(cards.size(), 1u);
    auto log = mac.driverLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].command, ReadATIPLL);
    EXPECT_EQ(log[0].argument, 0);
    const std::int64_t registers[] = {0xF8, 0x140, 0x158};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(log[i + 1].command, ReadATIRegister);
        EXPECT_EQ(log[i + 1].argument, registers[i]);
    }
    EXPECT_EQ(only(cards).vpuFBDiv(), 100);
}

TEST(ATIIdentification, CardsThatCannotBeUsedYieldNothing) {
    const auto check = [](const char* what, const ATIDevice& device) {
        SCOPED_TRACE(what);
        TempSimMac mac;
        EXPECT_TRUE(createFrom(mac, {device}).empty());
        EXPECT_TRUE(mac.pllWrites({}, 0, false).empty());
    };
    // Nothing may be sent with a zero reference divider.
    check("zero reference divider", {.sclk = 300000, .mclk = 300000, .pll = pllWord(0, 100, 100)});
    check("zero VPU divider", {.pll = pllWord(12, 100, 0)});
    check("zero memory divider", {.pll = pllWord(12, 0, 100)});
    check("no ROM text and no model property", {.model = std::nullopt});
    check("ROM text of no table row and no model property",
          {.rom = "113-A99999-000", .model = std::nullopt});
}

TEST(ATIIdentification, DriverWithoutParentEntryYieldsNoCard) {
    TempSimMac mac;
    mac.writeMachine(machine({driverEntry("ATI", {{"PLL", pllWord(12, 100, 100)}})}));
    const std::vector<io_object_t> drivers = matching(kDriverName);
    ASSERT_EQ(drivers.size(), 1u);
    ATICard card;
    EXPECT_FALSE(card.initWithIOObject(drivers[0]));
    // Only the divider word was read; nothing was asked of a card entry.
    auto log = mac.driverLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].command, ReadATIPLL);
}

TEST(ATIIdentification, FirmwareClocksAreMeasuredAsThePLLProducesThem) {
    TempSimMac mac;
    const ATIDevice device{.sclk = 400000, .mclk = 300000};  // factor 1, 225 / 225 MHz
    CardList cards = createFrom(mac, {device});
    ATICard& card = only(cards);
    // 400 / 2.25 = 177.8 -> 178; 300 / 2.25 = 133.3 -> 133; then back.
    EXPECT_EQ(mac.pllWrites(),
              (std::vector<std::uint32_t>{pllWord(12, 133, 178), pllWord(12, 100, 100)}));
    EXPECT_EQ(card.realStockVPUFreq(), 178 * 2.25f);
    EXPECT_EQ(card.realStockMemFreq(), 133 * 2.25f);
    EXPECT_EQ(card.vpuFrequency(), 225.0f);
    EXPECT_EQ(mac.registers(driverPath(device)).at("PLL"), pllWord(12, 100, 100));
}

TEST(ATIIdentification, ReferenceClockAndX1Scaling) {
    // `sclk` is the memory clock too; `stock` both stock clocks, as the PLL
    // at refDiv 12 makes them.
    const auto check = [](const char* what, std::optional<std::uint32_t> refclk,
                          std::optional<std::uint32_t> sclk, const std::string& model,
                          float refClock, float stock) {
        SCOPED_TRACE(what);
        TempSimMac mac;
        CardList cards =
            createFrom(mac, {{.model = model, .sclk = sclk, .mclk = sclk, .refclk = refclk}});
        ATICard& card = only(cards);
        EXPECT_EQ(card.refClock(), refClock);
        EXPECT_EQ(card.clockStep(), refClock / 12.0f);
        EXPECT_EQ(card.realStockVPUFreq(), stock);
        EXPECT_EQ(card.realStockMemFreq(), stock);
        // Measuring takes one command there and one back.
        EXPECT_EQ(mac.pllWrites().size(), stock != 0 ? 2u : 0u);
        EXPECT_EQ(card.vpuFrequency(), 100 * (refClock / 12.0f));
    };
    check("no RefCLK: 27 MHz", std::nullopt, std::nullopt, "ATY,R300", 27.0f, 0.0f);
    check("RefCLK as stated", 13500, 200000, "ATY,R300", 13.5f, 178 * 1.125f);
    check("X1 firmware in tenths", 2700, 40000, "ATY,RadeonX1600", 27.0f, 178 * 2.25f);
    check("X1 without RefCLK keeps 27 MHz", std::nullopt, 40000, "ATY,RadeonX1600", 27.0f,
          178 * 2.25f);
    check("x1 is not X1", std::nullopt, 400000, "ATY,Radeonx1600", 27.0f, 178 * 2.25f);
}

TEST(ATIIdentification, SlotNames) {
    TempSimMac mac;
    // The AGP property wins over a slot name; a slot name is stored with its
    // zero byte.
    CardList cards =
        createFrom(mac, {{.entryName = "ATY,A", .agpMaster = true},
                         {.entryName = "ATY,B",
                          .slotName = "SLOT-9",
                          .extraProperties = with({}, "IOAGPCommandValue", integer(0))},
                         {.entryName = "ATY,C", .slotName = "SLOT-2"},
                         {.entryName = "ATY,D", .slotName = std::nullopt}});
    ASSERT_EQ(cards.size(), 4u);
    EXPECT_EQ(cards[0]->slot(), "AGP");
    EXPECT_EQ(cards[1]->slot(), "AGP");
    EXPECT_EQ(cards[2]->slot(), "SLOT-2");
    // A test program lives in no bundle, so the localized text is not found.
    EXPECT_EQ(cards[3]->slot(), "Key not found");
    EXPECT_EQ(cards[3]->model(), "ATY,TestCard");  // C form of the "model" property
}

struct MemoryCase {
    std::uint16_t deviceID;
    std::uint32_t control;    // register 0x140
    std::uint32_t sdramMode;  // register 0x158
    int busWidth;
    bool ddr;
};

TEST(ATIIdentification, MemoryFacts) {
    const MemoryCase cases[] = {
        {0x5452, 0, 0, 128, false}, {0x5452, 2, 0, 64, true},  {0x5452, 1, 0x40000000, 64, true},
        {0x5245, 0, 0, 64, false},  {0x5245, 3, 0, 64, false}, {0x5159, 8, 0, 32, true},
        {0x5159, 0, 0, 64, true},   {0x4E48, 2, 0, 256, true}, {0x4E48, 2, 0x40000000, 256, true},
        {0x4A4E, 0, 0, 64, true},   {0x4A48, 1, 0, 128, true}, {0x3E54, 3, 0, 128, true},
        {0x4966, 0, 0, 64, true},   {0x4966, 1, 0, 128, true},
    };
    std::vector<ATIDevice> devices;
    for (std::size_t i = 0; i < std::size(cases); ++i)
        devices.push_back(
            {.entryName = "ATY,Card" + std::to_string(i),
             .deviceID = cases[i].deviceID,
             .slotName = "SLOT-" + std::to_string(i),
             .registers = {
                 {"0xF8", 1u << 27}, {"0x140", cases[i].control}, {"0x158", cases[i].sdramMode}}});
    TempSimMac mac;
    CardList cards = createFrom(mac, devices);
    ASSERT_EQ(cards.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("device " + std::to_string(cases[i].deviceID) + " control " +
                     std::to_string(cases[i].control));
        EXPECT_EQ(cards[i]->memSize(), 128);
        EXPECT_EQ(cards[i]->busWidth(), cases[i].busWidth);
        EXPECT_EQ(cards[i]->memType(), cases[i].ddr);
    }
}

TEST(ATIIdentification, PropertyReaders) {
    TempSimMac mac;
    ATIDevice device;
    device.extraProperties.set("one", cf::Data{0x01, 0x00, 0x00, 0x00});
    device.extraProperties.set("one-long", cf::Data{0x01, 0x00, 0x00, 0x00, 0x7F, 0x7F});
    device.extraProperties.set("short", cf::Data{0x34, 0x12});
    device.extraProperties.set("empty", cf::Data{});
    device.extraProperties.set("number", cf::CFNumberCreate(cf::kCFNumberIntType, 4098));
    device.extraProperties.set("text", "ATY,Text");
    device.extraProperties.set("flag", true);
    mac.writeMachine(atiMachine({device}));
    const io_object_t service = matching(kDriverName).at(0);
    io_registry_entry_t parent = 0;
    ASSERT_EQ(IORegistryEntryGetParentEntry(service, kIOServicePlane, &parent), kIOReturnSuccess);
    const std::pair<const char*, std::uint32_t> words[] = {
        {"one", 1u},       {"one-long", 1u}, {"short", 0x1234u}, {"empty", 0u},
        {"number", 4098u}, {"text", 0u},     {"absent", 0u}};
    for (const auto& [name, value] : words)
        EXPECT_EQ(Card::uInt32FromDataPropertyWithName(name, parent), value) << name;

    ATICard card;
    ASSERT_TRUE(card.initWithIOObject(service));
    EXPECT_EQ(card.nsStringFromDataPropertyWithName("model"), std::string("ATY,TestCard\0", 13));
    EXPECT_EQ(card.nsStringFromDataPropertyWithName("text"), "ATY,Text");
    EXPECT_EQ(card.nsStringFromDataPropertyWithName("number"), std::nullopt);
    EXPECT_EQ(card.nsStringFromDataPropertyWithName("flag"), std::nullopt);
    EXPECT_EQ(card.nsStringFromDataPropertyWithName("absent"), std::nullopt);
}

TEST(ATIIdentification, BusyDriverTimesOutWithoutWriting) {
    TempSimMac mac;
    CardList cards = createFrom(mac, {ATIDevice{}});
    ATICard& card = only(cards);
    const std::size_t before = mac.commandCount();
    // From now on the driver never becomes quiet.
    mac.writeMachine(atiMachine({{.faults = driverFaults({.busyMilliseconds = 1000})}}));
    EXPECT_FALSE(card.savePLLWithVPUFrequency(300.0f, 225.0f));
    EXPECT_EQ(mac.commandCount(), before);
    EXPECT_CONTAINS(mac.systemLog(), "Tarnwick: Timeout while waiting for I/O Service\n");
    EXPECT_LACKS(mac.systemLog(), "Tarnwick: error");
    EXPECT_EQ(card.vpuFrequency(), 225.0f);
    EXPECT_EQ(card.refDiv(), 12);
}

}  // namespace
