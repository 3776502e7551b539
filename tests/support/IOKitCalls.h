// The registry calls a test makes the way the card classes make them:
// finding driver instances, sending a command, reading "RegValue".
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/IOKit.h"

namespace testsupport {

// Every handle IOIteratorNext yields for a name, in order.
inline std::vector<io_object_t> matching(const std::string& name) {
    std::vector<io_object_t> found;
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceNameMatching(name.c_str()),
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

// The number the next registry handle of this process gets (handles are
// numbered upwards and never reused); `entry` is any entry of the machine.
inline io_object_t nextRegistryHandle(const char* entry) {
    const io_object_t handle = IORegistryEntryFromPath(kIOMasterPortDefault, entry);
    EXPECT_NE(handle, IO_OBJECT_NULL) << entry;
    IOObjectRelease(handle);
    return handle + 1;
}

// The paths of the handles from `first` to before `end` that are still live
// (a released handle has none), sorted.
inline std::vector<std::string> livePaths(io_object_t first, io_object_t end) {
    std::vector<std::string> live;
    for (io_object_t handle = first; handle < end; ++handle)
        if (std::string path;
            IORegistryEntryGetPath(handle, kIOServicePlane, &path) == kIOReturnSuccess)
            live.push_back(path);
    std::sort(live.begin(), live.end());
    return live;
}

inline cf::Dictionary command(std::int64_t code, std::int64_t argument,
                              std::optional<std::int64_t> argument2 = {}) {
    cf::Dictionary dict;
    dict.set("Command", cf::CFNumberCreate(cf::kCFNumberCharType, code));
    dict.set("Argument", cf::CFNumberCreate(cf::kCFNumberIntType, argument));
    if (argument2) dict.set("Argument2", cf::CFNumberCreate(cf::kCFNumberIntType, *argument2));
    return dict;
}

inline IOReturn send(io_object_t driver, std::int64_t code, std::int64_t argument,
                     std::optional<std::int64_t> argument2 = {}) {
    return IORegistryEntrySetCFProperties(driver, command(code, argument, argument2));
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

}  // namespace testsupport
