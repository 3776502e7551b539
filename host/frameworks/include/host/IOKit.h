// I/O Kit stand-in: the I/O Registry of the simulated Mac (machine.plist) and
// the calls the system makes on it, with the Mac's names and return codes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "host/CoreFoundation.h"
#include "host/IOReturn.h"

using mach_port_t = std::uint32_t;
using io_object_t = std::uint32_t;
using io_registry_entry_t = io_object_t;
using io_service_t = io_object_t;
using io_iterator_t = io_object_t;
using IOOptionBits = std::uint32_t;
using CFAllocatorRef = const void*;
using CFMutableDictionaryRef = std::optional<cf::Dictionary>;

inline constexpr mach_port_t kIOMasterPortDefault = 0;
inline constexpr io_object_t IO_OBJECT_NULL = 0;
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;
inline constexpr const char* kIOServicePlane = "IOService";

struct mach_timespec_t {
    unsigned int tv_sec;
    int tv_nsec;
};

// A matching dictionary for entries with this name; nothing for a null name.
CFMutableDictionaryRef IOServiceNameMatching(const char* name);
// Consumes the matching dictionary. Yields an iterator over the matching
// entries in file order, depth first.
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFMutableDictionaryRef matching,
                                           io_iterator_t* existing);
// The next entry, or 0 at the end.
io_object_t IOIteratorNext(io_iterator_t iterator);
kern_return_t IOObjectRelease(io_object_t object);
// Fails (kIOReturnNoDevice) for an entry at the top level, which has no parent.
kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const char* plane,
                                            io_registry_entry_t* parent);
// A copy of the entry's property, or nothing when absent. A clock driver's
// "RegValue" reads as the answer to this thread's own last command of that
// driver when it was an accepted read, and as nothing after anything else
// (a write, a refusal, a wait that timed out), so that another process's
// reads cannot come in between.
std::optional<cf::Value> IORegistryEntryCreateCFProperty(io_registry_entry_t entry,
                                                         const std::string& key,
                                                         CFAllocatorRef allocator,
                                                         IOOptionBits options);
// On a clock driver instance this is a driver command (the dictionary of
// "Command", "Argument" and "Argument2"); other entries refuse it.
kern_return_t IORegistryEntrySetCFProperties(io_registry_entry_t entry,
                                             const cf::Value& properties);
// Waits until the service is quiet, at most waitTime (nullptr: without limit);
// kIOReturnTimeout when it is still busy then.
kern_return_t IOServiceWaitQuiet(io_service_t service, const mach_timespec_t* waitTime);

// The entry at a path in the IOService plane ("IOService:/a/b" or "a/b"),
// or IO_OBJECT_NULL when there is none.
io_registry_entry_t IORegistryEntryFromPath(mach_port_t masterPort, const std::string& path);
// The entry's path in the plane, "IOService:/a/b".
kern_return_t IORegistryEntryGetPath(io_registry_entry_t entry, const char* plane,
                                     std::string* path);

namespace host {
// Run while a command waits for its driver and after each command, on the
// thread that sends it: a host with windows sets it (a progress indicator's
// threaded animation) so that they keep drawing while the main thread talks
// to the cards. Nothing by default; nullptr clears it.
void setDriverWaitHook(std::function<void()> hook);
}  // namespace host
