// The kernel's return codes: what a clock driver answers, and what the I/O
// Kit calls pass on to their callers.
#pragma once

#include <cstdint>

using kern_return_t = std::int32_t;
using IOReturn = kern_return_t;

inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);
inline constexpr IOReturn kIOReturnNoMemory = static_cast<IOReturn>(0xE00002BD);
inline constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0);
inline constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2);
inline constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7);
inline constexpr IOReturn kIOReturnNotReadable = static_cast<IOReturn>(0xE00002DA);
inline constexpr IOReturn kIOReturnNotWritable = static_cast<IOReturn>(0xE00002DB);
inline constexpr IOReturn kIOReturnBusy = static_cast<IOReturn>(0xE00002D5);
inline constexpr IOReturn kIOReturnTimeout = static_cast<IOReturn>(0xE00002D6);
inline constexpr IOReturn kIOReturnNotPermitted = static_cast<IOReturn>(0xE00002E2);
inline constexpr IOReturn kIOReturnNotFound = static_cast<IOReturn>(0xE00002F0);
