// Helpers for the tests of the registry and the clock driver: finding driver
// instances and sending commands the way the card classes do.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/IOKit.h"
#include "host/Machine.h"
#include "host/MachineControl.h"
#include "host/MachineInterface.h"
#include "support/SimMacFixture.h"

namespace drivertest {

inline const std::string kDriver = host::kClockDriverName;

// Every handle IOIteratorNext yields for a name, in order.
inline std::vector<io_object_t> matching(const char* name) {
    std::vector<io_object_t> found;
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceNameMatching(name),
                                     &iterator) != kIOReturnSuccess)
        return found;
    while (io_object_t object = IOIteratorNext(iterator)) found.push_back(object);
    IOObjectRelease(iterator);
    return found;
}

inline std::string pathOf(io_registry_entry_t entry) {
    std::string path;
    if (IORegistryEntryGetPath(entry, kIOServicePlane, &path) != kIOReturnSuccess)
        return "<no path>";
    return path;
}

inline cf::Dictionary command(std::int64_t code, std::int64_t argument,
                              std::optional<std::int64_t> argument2 = {}) {
    cf::Dictionary dict;
    dict.set("Command", cf::CFNumberCreate(cf::kCFNumberCharType, code));
    dict.set("Argument", cf::CFNumberCreate(cf::kCFNumberIntType, argument));
    if (argument2) dict.set("Argument2", cf::CFNumberCreate(cf::kCFNumberIntType, *argument2));
    return dict;
}

// "RegValue" of a driver as the card classes read it; nothing when absent
// or not 4 bytes of data.
inline std::optional<std::uint32_t> regValue(io_registry_entry_t driver) {
    std::optional<cf::Value> value =
        IORegistryEntryCreateCFProperty(driver, "RegValue", kCFAllocatorDefault, 0);
    if (!value || !value->data() || value->data()->size() != 4) return std::nullopt;
    const cf::Data& d = *value->data();
    return static_cast<std::uint32_t>(d[0]) | static_cast<std::uint32_t>(d[1]) << 8 |
           static_cast<std::uint32_t>(d[2]) << 16 | static_cast<std::uint32_t>(d[3]) << 24;
}

inline cf::Dictionary card(const std::string& name, std::uint32_t vendor, cf::Dictionary driver,
                           const std::string& slot = "") {
    cf::Dictionary properties;
    properties.set("vendor-id", testsupport::dataU32(vendor));
    properties.set("name", testsupport::dataText(name));
    if (!slot.empty()) properties.set("AAPL,slot-name", testsupport::dataText(slot));
    return testsupport::entry(name, properties, {std::move(driver)});
}

inline cf::Dictionary faults(std::initializer_list<std::pair<const char*, cf::Value>> items) {
    cf::Dictionary dict;
    for (const auto& [key, value] : items) dict.set(key, value);
    return dict;
}

inline cf::Dictionary without(cf::Dictionary dict, const char* key) {
    dict.remove(key);
    return dict;
}

inline cf::Dictionary with(cf::Dictionary dict, const char* key, cf::Value value) {
    dict.set(key, std::move(value));
    return dict;
}

inline cf::Value integer(std::int64_t v) { return cf::CFNumberCreate(cf::kCFNumberIntType, v); }

}  // namespace drivertest
