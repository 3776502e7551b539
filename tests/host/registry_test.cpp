// The I/O Registry over machine.plist: matching, parents, properties,
// handles and waiting for a quiet driver.

#include <chrono>

#include "host/Machine.h"
#include "support/IOKitCalls.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

// Two cards under a bridge (one of them a level deeper), then an instance
// straight under the root.
cf::Value twoCardsAndAnOrphan() {
    cf::Dictionary nested =
        entry("bridge2", {},
              {cardEntry("NVDA,Parent", 0x10DE, driverEntry("NVIDIA", {{"0x101000", 0x400000}}),
                         "SLOT-1")});
    return machine({
        entry("pci", {},
              {cardEntry("ATY,R350", 0x1002, driverEntry("ATI", {{"PLL", 0x00A9970C}})), nested}),
        driverEntry("ATI", {{"PLL", 0x0001010C}}),
    });
}

// A simulated Mac with two cards and an orphan driver.
class Registry : public ::testing::Test {
protected:
    void SetUp() override { mac.writeMachine(twoCardsAndAnOrphan()); }
    TempSimMac mac;
};

TEST_F(Registry, MatchingYieldsDriversInFileOrderDepthFirst) {
    std::vector<io_object_t> drivers = matching(kDriverName);
    ASSERT_EQ(drivers.size(), 3u);
    EXPECT_EQ(pathOf(drivers[0]), "IOService:/" + driverPath("pci/ATY,R350"));
    EXPECT_EQ(pathOf(drivers[1]), "IOService:/" + driverPath("pci/bridge2/NVDA,Parent"));
    EXPECT_EQ(pathOf(drivers[2]), "IOService:/" + std::string(kDriverName));
    EXPECT_TRUE(matching("nothing-has-this-name").empty());
    EXPECT_EQ(matching("bridge2").size(), 1u);
}

TEST_F(Registry, IteratorEndsWithZeroAndStaysThere) {
    io_iterator_t iterator = 0;
    ASSERT_EQ(
        IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceNameMatching("pci"), &iterator),
        kIOReturnSuccess);
    EXPECT_NE(IOIteratorNext(iterator), 0u);
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
    EXPECT_EQ(IOObjectRelease(iterator), kIOReturnSuccess);
    EXPECT_EQ(IOIteratorNext(iterator), 0u);
}

TEST_F(Registry, BadMatchingArgumentsAreRefused) {
    io_iterator_t iterator = 77;
    EXPECT_FALSE(IOServiceNameMatching(nullptr).has_value());
    EXPECT_EQ(IOServiceGetMatchingServices(kIOMasterPortDefault, std::nullopt, &iterator),
              kIOReturnBadArgument);
    EXPECT_EQ(iterator, 0u);
    EXPECT_EQ(
        IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceNameMatching("pci"), nullptr),
        kIOReturnBadArgument);
}

TEST_F(Registry, ParentOfADriverIsItsCardAndTopLevelEntriesHaveNone) {
    std::vector<io_object_t> drivers = matching(kDriverName);
    ASSERT_EQ(drivers.size(), 3u);

    const std::uint32_t vendors[] = {0x1002, 0x10DE};
    for (int i = 0; i < 2; ++i) {
        io_registry_entry_t parent = 0;
        ASSERT_EQ(IORegistryEntryGetParentEntry(drivers[i], kIOServicePlane, &parent),
                  kIOReturnSuccess);
        std::optional<cf::Value> vendor =
            IORegistryEntryCreateCFProperty(parent, "vendor-id", kCFAllocatorDefault, 0);
        ASSERT_TRUE(vendor.has_value());
        EXPECT_EQ(*vendor, cf::Value(dataU32(vendors[i])));
    }

    io_registry_entry_t parent = 1234;
    EXPECT_EQ(IORegistryEntryGetParentEntry(drivers[2], kIOServicePlane, &parent),
              kIOReturnNoDevice);
    EXPECT_EQ(parent, 0u);
    // Only the IOService plane is known.
    EXPECT_EQ(IORegistryEntryGetParentEntry(drivers[0], "IODeviceTree", &parent),
              kIOReturnBadArgument);
}

TEST_F(Registry, PropertiesComeBackWithTheirTypeAndLength) {
    cf::Dictionary properties;
    properties.set("four", cf::Data{0x01, 0x00, 0x00, 0x00});
    properties.set("two", cf::Data{0x34, 0x12});
    properties.set("six", cf::Data{0x01, 0x00, 0x00, 0x00, 0xFF, 0xEE});
    properties.set("empty", cf::Data{});
    properties.set("text", std::string("SLOT-1"));
    properties.set("number", cf::CFNumberCreate(cf::kCFNumberIntType, 4098));
    properties.set("flag", true);
    mac.writeMachine(machine({entry("card", properties)}));
    std::vector<io_object_t> found = matching("card");
    ASSERT_EQ(found.size(), 1u);
    auto property = [&](const char* key) {
        return IORegistryEntryCreateCFProperty(found[0], key, kCFAllocatorDefault, 0);
    };
    for (const auto& [key, value] : properties.items()) {
        std::optional<cf::Value> read = property(key.c_str());
        ASSERT_TRUE(read.has_value()) << key;
        EXPECT_EQ(*read, value) << key;
    }
    EXPECT_EQ(property("six")->data()->size(), 6u);
    EXPECT_EQ(property("two")->data()->size(), 2u);
    EXPECT_EQ(property("number")->number()->int64Value(), 4098);
    EXPECT_FALSE(property("absent").has_value());
}

TEST_F(Registry, PropertiesAreReadFromTheFileAsItIsNow) {
    cf::Dictionary properties;
    properties.set("model", dataText("first"));
    mac.writeMachine(machine({entry("card", properties)}));
    std::vector<io_object_t> found = matching("card");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(*IORegistryEntryCreateCFProperty(found[0], "model", kCFAllocatorDefault, 0),
              cf::Value(dataText("first")));

    properties.set("model", dataText("second"));
    mac.writeMachine(machine({entry("card", properties)}));
    EXPECT_EQ(*IORegistryEntryCreateCFProperty(found[0], "model", kCFAllocatorDefault, 0),
              cf::Value(dataText("second")));

    // The entry is gone from the new file: nothing to read.
    mac.writeMachine(machine({entry("other", properties)}));
    EXPECT_FALSE(
        IORegistryEntryCreateCFProperty(found[0], "model", kCFAllocatorDefault, 0).has_value());
}

TEST_F(Registry, ReleasedAndForeignHandlesAreRefused) {
    io_object_t fromFirstMac = 0;
    {
        TempSimMac first;
        first.writeMachine(twoCardsAndAnOrphan());
        std::vector<io_object_t> drivers = matching(kDriverName);
        ASSERT_EQ(drivers.size(), 3u);
        fromFirstMac = drivers[0];
        EXPECT_EQ(IOObjectRelease(drivers[1]), kIOReturnSuccess);
        EXPECT_EQ(IOObjectRelease(drivers[1]), kIOReturnBadArgument);
        EXPECT_EQ(send(drivers[1], 0, 0), kIOReturnBadArgument);
        EXPECT_EQ(regValue(fromFirstMac), std::nullopt);
    }
    TempSimMac second;
    second.writeMachine(twoCardsAndAnOrphan());
    // A handle of another simulated Mac names nothing here.
    EXPECT_FALSE(
        IORegistryEntryCreateCFProperty(fromFirstMac, "name", kCFAllocatorDefault, 0).has_value());
    EXPECT_EQ(send(fromFirstMac, 0, 0), kIOReturnBadArgument);
    EXPECT_TRUE(second.driverLog().empty());
}

TEST_F(Registry, EntryFromPathFindsOnlyExistingEntries) {
    io_registry_entry_t card =
        IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/pci/ATY,R350");
    ASSERT_NE(card, 0u);
    EXPECT_EQ(pathOf(card), "IOService:/pci/ATY,R350");
    EXPECT_EQ(IORegistryEntryFromPath(kIOMasterPortDefault, "pci/nothing"), 0u);
    EXPECT_EQ(IORegistryEntryFromPath(kIOMasterPortDefault, ""), 0u);
}

// An ATI card whose driver stays busy `milliseconds` after every write.
cf::Value busyMachine(std::int64_t milliseconds) {
    return machine({cardEntry("ATY,R350", 0x1002,
                              driverEntry("ATI", {{"PLL", 0x00A9970C}},
                                          driverFaults({.busyMilliseconds = milliseconds})))});
}

TEST(RegistryWait, WaitsOutABusyDriver) {
    using namespace std::chrono;
    TempSimMac mac;
    mac.writeMachine(busyMachine(200));
    io_object_t driver = matching(kDriverName).at(0);
    const mach_timespec_t oneSecond{1, 0};
    // Quiet before any write.
    EXPECT_EQ(IOServiceWaitQuiet(driver, &oneSecond), kIOReturnSuccess);
    ASSERT_EQ(send(driver, 2, 0x00AA970C), kIOReturnSuccess);
    auto start = steady_clock::now();
    EXPECT_EQ(IOServiceWaitQuiet(driver, &oneSecond), kIOReturnSuccess);
    EXPECT_GE(steady_clock::now() - start, milliseconds(100));
    // Reads do not make it busy.
    ASSERT_EQ(send(driver, 0, 0), kIOReturnSuccess);
    const mach_timespec_t noTime{0, 0};
    EXPECT_EQ(IOServiceWaitQuiet(driver, &noTime), kIOReturnSuccess);
}

TEST(RegistryWait, TimesOutOnAStuckDriver) {
    using namespace std::chrono;
    TempSimMac mac;
    mac.writeMachine(busyMachine(1000));
    io_object_t driver = matching(kDriverName).at(0);
    const mach_timespec_t oneSecond{1, 0};
    auto start = steady_clock::now();
    EXPECT_EQ(IOServiceWaitQuiet(driver, &oneSecond), kIOReturnTimeout);
    EXPECT_GE(steady_clock::now() - start, milliseconds(900));
    // The card itself is no driver and is always quiet.
    io_registry_entry_t parent = 0;
    ASSERT_EQ(IORegistryEntryGetParentEntry(driver, kIOServicePlane, &parent), kIOReturnSuccess);
    EXPECT_EQ(IOServiceWaitQuiet(parent, &oneSecond), kIOReturnSuccess);
    EXPECT_EQ(IOServiceWaitQuiet(0, &oneSecond), kIOReturnBadArgument);
}

}  // namespace
