// machine.plist: the default machine on a fresh Mac, strict checking of bad
// files (one message naming entry and key, file untouched), register keys.

#include <cmath>

#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "host/SimMac.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

TEST(MachineFile, AFreshMacGetsTheDefaultMachine) {
    TempSimMac mac;
    ASSERT_FALSE(std::filesystem::exists(mac.root() / "machine.plist"));
    std::vector<io_object_t> drivers = matching(kDriverName);
    ASSERT_EQ(drivers.size(), 3u);
    ASSERT_TRUE(std::filesystem::exists(mac.root() / "machine.plist"));

    struct Expected {
        std::uint32_t vendor, device;
        std::optional<std::string> slot;
        bool agp;
    };
    const Expected expected[] = {{0x1002, 0x4E48, {}, true},
                                 {0x10DE, 0x0040, "SLOT-1", false},
                                 {0x10DE, 0x0322, "SLOT-2", false}};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        io_registry_entry_t card = 0;
        ASSERT_EQ(IORegistryEntryGetParentEntry(drivers[i], kIOServicePlane, &card),
                  kIOReturnSuccess);
        auto property = [&](const char* key) {
            return IORegistryEntryCreateCFProperty(card, key, kCFAllocatorDefault, 0);
        };
        EXPECT_EQ(*property("vendor-id"), cf::Value(dataU32(expected[i].vendor)));
        EXPECT_EQ(*property("device-id"), cf::Value(dataU32(expected[i].device)));
        EXPECT_TRUE(property("name") && property("model"));
        EXPECT_EQ(property("AGP_Master").has_value(), expected[i].agp);
        if (expected[i].slot) {
            EXPECT_EQ(*property("AAPL,slot-name"), cf::Value(dataText(*expected[i].slot)));
        }
    }

    // The ATI card answers with its PLL word and its memory registers.
    ASSERT_EQ(send(drivers[0], 0, 0), kIOReturnSuccess);
    std::uint32_t word = *regValue(drivers[0]);
    double refDiv = word & 0xFF, memFBDiv = (word >> 8) & 0xFF, vpuFBDiv = (word >> 16) & 0xFF;
    ASSERT_NE(refDiv, 0);
    EXPECT_NEAR(27.0 / refDiv * vpuFBDiv, 380, 5);
    EXPECT_NEAR(27.0 / refDiv * memFBDiv, 340, 5);
    ASSERT_EQ(send(drivers[0], 1, 0xF8), kIOReturnSuccess);
    EXPECT_EQ(*regValue(drivers[0]) >> 20, 128u);
    ASSERT_EQ(send(drivers[0], 1, 0x140), kIOReturnSuccess);
    EXPECT_EQ(*regValue(drivers[0]) & 3, 2u);
    // The NV4x card has the 27 MHz crystal strap.
    ASSERT_EQ(send(drivers[1], 11, 0x101000), kIOReturnSuccess);
    EXPECT_TRUE(*regValue(drivers[1]) & 0x400000);
}

TEST(MachineFile, EveryPresetIsAValidMachineThatSurvivesARoundTrip) {
    TempSimMac mac;
    for (const std::string& name : host::presetNames()) {
        SCOPED_TRACE(name);
        std::optional<host::Machine> preset = host::presetMachine(name);
        ASSERT_TRUE(preset.has_value());
        std::string error;
        ASSERT_TRUE(host::replaceMachine(*preset, &error)) << error;
        std::optional<host::Machine> loaded =
            host::loadMachineFile(host::machinePlistPath(), &error);
        ASSERT_TRUE(loaded.has_value()) << error;
        EXPECT_EQ(host::machineToPropertyList(*loaded), host::machineToPropertyList(*preset));
    }
    EXPECT_EQ(host::presetMachine("default")->driverPaths().size(), 3u);
    EXPECT_EQ(host::presetMachine("empty")->driverPaths().size(), 0u);
    EXPECT_FALSE(host::presetMachine("no-such-preset").has_value());
}

struct BadFile {
    const char* label;
    std::function<void(const TempSimMac&)> write;
    std::vector<std::string> named;  // texts the one message must contain
};

cf::Dictionary cardWith(const char* key, cf::Value value) {
    cf::Dictionary c = cardEntry("ATY,R350", 0x1002, driverEntry("ATI", {{"PLL", 0x00A9970C}}));
    c.set(key, std::move(value));
    return c;
}

cf::Dictionary driverWithHardware(cf::Dictionary hardware) {
    cf::Dictionary d = driverEntry("ATI", {{"PLL", 0x00A9970C}});
    d.set("Hardware", std::move(hardware));
    return d;
}

cf::Dictionary hardware(cf::Value kind, cf::Value registers) {
    return with(with({}, "Kind", std::move(kind)), "Registers", std::move(registers));
}

// A machine with one clock driver, under "c", that has this Hardware.
cf::Value withHardware(cf::Dictionary h) {
    return machine({entry("c", {}, {driverWithHardware(std::move(h))})});
}

TEST(MachineFile, BadFilesAreRefusedWithOneMessageAndLeftAlone) {
    auto plist = [](const cf::Value& v) { return [v](const TempSimMac& m) { m.writeMachine(v); }; };
    const std::string d = kDriverName;
    const BadFile cases[] = {
        {"not a plist",
         [](const TempSimMac& m) {
             writeFile(m.root() / "machine.plist", "this is { not a plist");
         },
         {"machine.plist", "not a property list"}},
        {"empty file",
         [](const TempSimMac& m) { writeFile(m.root() / "machine.plist", ""); },
         {"not a property list"}},
        {"top level an array", plist(cf::Array{}), {"top level"}},
        {"no Entries", plist(cf::Dictionary{}), {"key \"Entries\""}},
        {"Entries not an array",
         plist(with({}, "Entries", "x")),
         {"key \"Entries\"", "not an array"}},
        {"entry without Name",
         plist(machine({entry("pci", {}, {without(entry("x", {}), "Name")})})),
         {"#1 under pci", "key \"Name\""}},
        {"Name not a string",
         plist(machine({entry("pci", {}), with(entry("x", {}), "Name", cf::Data{1})})),
         {"#2 of the top level", "key \"Name\""}},
        {"Name holding a zero character",  // as XML text may hold it; no writer of ours does
         [](const TempSimMac& m) {
             using namespace std::string_literals;
             writeFile(m.root() / "machine.plist",
                       "<plist><dict><key>Entries</key><array><dict><key>Name</key>"
                       "<string>AT\0Y</string></dict></array></dict></plist>"s);
         },
         {"#1 of the top level", "zero character"}},
        {"Properties not a dictionary",
         plist(machine({entry("pci", {}, {cardWith("Properties", "vendor")})})),
         {"entry \"pci/ATY,R350\"", "key \"Properties\""}},
        {"Children not an array",
         plist(machine({entry("pci", {}, {cardWith("Children", cf::Dictionary{})})})),
         {"entry \"pci/ATY,R350\"", "key \"Children\""}},
        {"duplicate sibling names",
         plist(machine({entry(
             "pci", {},
             {cardEntry("ATY,R350", 0x1002, driverEntry("ATI", {})), entry("ATY,R350", {})})})),
         {"entry \"pci/ATY,R350\"", "key \"Name\"", "same name"}},
        {"duplicate names one level down",
         plist(machine({entry("card", {}, {driverEntry("ATI", {}), driverEntry("NVIDIA", {})})})),
         {"entry \"card/" + d + "\"", "key \"Name\""}},
        {"unknown key",
         plist(machine({cardWith("Propertys", cf::Dictionary{})})),
         {"entry \"ATY,R350\"", "key \"Propertys\""}},
        {"Kind not ATI or NVIDIA",
         plist(withHardware(hardware("Matrox", cf::Dictionary{}))),
         {"entry \"c/" + d + "\"", "key \"Hardware/Kind\""}},
        {"register value as text",
         plist(withHardware(hardware("ATI", with({}, "PLL", "0xA9970C")))),
         {"entry \"c/" + d + "\"", "key \"Hardware/Registers/PLL\"", "not an integer"}},
        {"register value too wide",
         plist(withHardware(hardware(
             "ATI", with({}, "0xF8", cf::CFNumberCreate(cf::kCFNumberSInt64Type, 1LL << 33))))),
         {"key \"Hardware/Registers/0xF8\""}},
        {"register name not hex",
         plist(withHardware(hardware("ATI", with({}, "0xG8", integer(1))))),
         {"key \"Hardware/Registers/0xG8\""}},
        {"same register twice",
         plist(
             withHardware(hardware("ATI", with(with({}, "0xf8", integer(1)), "0xF8", integer(2))))),
         {"key \"Hardware/Registers/0xF8\"", "twice"}},
        {"Hardware on a card",
         plist(machine({cardWith("Hardware", hardware("ATI", cf::Dictionary{}))})),
         {"entry \"ATY,R350\"", "key \"Hardware\""}},
        {"driver without Hardware",
         plist(machine({entry("c", {}, {entry(d, {})})})),
         {"entry \"c/" + d + "\"", "key \"Hardware\""}},
        {"fault of the wrong type",
         plist(machine(
             {entry("c", {}, {driverEntry("ATI", {}, with({}, "BusyMilliseconds", "200"))})})),
         {"key \"Driver/BusyMilliseconds\""}},
        {"refused codes not integers",
         plist(machine({entry(
             "c", {}, {driverEntry("ATI", {}, with({}, "RefuseCommands", cf::Array{"2"}))})})),
         {"key \"Driver/RefuseCommands\""}},
        {"limit not above 0",
         plist(machine({entry("c", {}, {withLimits(driverEntry("ATI", {}), 400, 0)})})),
         {"entry \"c/" + d + "\"", "key \"Hardware/Limits/Memory\"", "above 0"}},
        // As an older simmac limit wrote them.
        {"limit not a number",
         plist(machine({entry("c", {}, {withLimits(driverEntry("ATI", {}), NAN, 400)})})),
         {"key \"Hardware/Limits/VPU\"", "not a clock above 0 MHz"}},
        {"limit infinite",
         plist(machine({entry("c", {}, {withLimits(driverEntry("ATI", {}), 400, INFINITY)})})),
         {"key \"Hardware/Limits/Memory\"", "not a clock above 0 MHz"}},
        {"hang without its driver",
         plist(with(*machine({}).dictionary(), "Hung", with({}, "Seq", integer(3)))),
         {"key \"Hung/Driver\"", "missing"}},
        {"Asleep not a boolean",
         plist(with(*machine({}).dictionary(), "Asleep", integer(1))),
         {"key \"Asleep\"", "not a boolean"}},
    };
    for (const BadFile& c : cases) {
        SCOPED_TRACE(c.label);
        TempSimMac mac;
        c.write(mac);
        const std::string before = readFile(mac.root() / "machine.plist");

        std::string error;
        EXPECT_FALSE(host::loadMachineFile(mac.root() / "machine.plist", &error).has_value());
        for (const std::string& text : c.named) EXPECT_CONTAINS(error, text);

        // Every way into the registry refuses it too, and says so once.
        io_iterator_t iterator = 0;
        EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault,
                                               IOServiceNameMatching(d.c_str()), &iterator),
                  kIOReturnError);
        EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault,
                                               IOServiceNameMatching(d.c_str()), &iterator),
                  kIOReturnError);
        EXPECT_FALSE(host::updateMachine([](host::Machine&) { return true; }, &error));
        EXPECT_EQ(readFile(mac.root() / "machine.plist"), before);
        std::string log = mac.systemLog();
        std::size_t first = log.find(error);
        EXPECT_NE(first, std::string::npos) << log;
        EXPECT_EQ(log.find(error, first + 1), std::string::npos) << "reported more than once";
        EXPECT_TRUE(mac.driverLog().empty());
    }
}

TEST(MachineFile, RegisterKeysAreReadInEitherCaseAndWrittenUpperCase) {
    TempSimMac mac;
    mac.writeMachine(machine({cardEntry(
        "NVDA,Parent", 0x10DE,
        driverEntry("NVIDIA", {{"0x4000", 0x80010000}, {"0x680500", 0x12501}, {"0xabc", 7}}))}));
    io_object_t driver = matching(kDriverName).at(0);
    ASSERT_EQ(send(driver, 11, 0x4000), kIOReturnSuccess);
    EXPECT_EQ(regValue(driver), 0x80010000u);
    ASSERT_EQ(send(driver, 12, 0x4004, 0x07021102), kIOReturnSuccess);
    std::map<std::string, std::uint32_t> registers = mac.registers(driverPath("NVDA,Parent"));
    EXPECT_EQ(
        registers,
        (std::map<std::string, std::uint32_t>{
            {"0x4000", 0x80010000}, {"0x4004", 0x07021102}, {"0x680500", 0x12501}, {"0xABC", 7}}));
    EXPECT_EQ(host::registerKey(0xF8), "0xF8");
    EXPECT_EQ(host::registerKey(0), "0x0");
    EXPECT_EQ(host::canonicalRegisterKey("0x00f8"), "0xF8");
    EXPECT_EQ(host::canonicalRegisterKey("PLL"), "PLL");
    EXPECT_FALSE(host::canonicalRegisterKey("pll").has_value());
    EXPECT_FALSE(host::canonicalRegisterKey("0x").has_value());
    EXPECT_FALSE(host::canonicalRegisterKey("0x100000000").has_value());
}

TEST(MachineFile, ResettingTheMachineKeepsTheLogCountingUp) {
    TempSimMac mac;
    ASSERT_EQ(send(matching(kDriverName).at(0), 0, 0), kIOReturnSuccess);
    std::string error;
    ASSERT_TRUE(host::replaceMachine(host::defaultMachine(), &error)) << error;
    ASSERT_EQ(send(matching(kDriverName).at(0), 0, 0), kIOReturnSuccess);
    std::vector<host::DriverLogRecord> log = mac.driverLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].seq, 1u);
    EXPECT_EQ(log[1].seq, 2u);
}

}  // namespace
