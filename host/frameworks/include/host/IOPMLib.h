// I/O Kit power management stand-in: a program asks to hear of system power
// changes, as with IOKit/pwr_mgt/IOPMLib.h. The simulated Mac starts no
// program of its own and keeps none running: registering records this
// program (executable and arguments) for the login session, and `simmac
// wake` launches each registered program with the message pending, which
// the program gets in its callback when it registers (docs/power.md).
#pragma once

#include <cstdint>

#include "host/IOKit.h"

using natural_t = std::uint32_t;
using io_connect_t = io_object_t;
using IONotificationPortRef = struct IONotificationPort*;
using IOServiceInterestCallback = void (*)(void* refcon, io_service_t service,
                                           natural_t messageType, void* messageArgument);

// The system power messages (iokit_common_msg(0x270) ...).
inline constexpr natural_t kIOMessageCanSystemSleep = 0xE0000270;
inline constexpr natural_t kIOMessageSystemWillSleep = 0xE0000280;
inline constexpr natural_t kIOMessageSystemHasPoweredOn = 0xE0000300;
inline constexpr natural_t kIOMessageSystemWillPowerOn = 0xE0000320;

// Registers this program for system power messages until the login session
// ends (`simmac reboot`); registering again changes nothing. A message
// pending for this launch is delivered to `callback` before the call
// returns, with the root port as its service. The root port, or 0 (and
// nothing delivered) when the registration cannot be recorded.
io_connect_t IORegisterForSystemPower(void* refcon, IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback, io_object_t* notifier);
// Takes the registration back: later wakes no longer launch this program.
IOReturn IODeregisterForSystemPower(io_object_t* notifier);
void IONotificationPortDestroy(IONotificationPortRef notify);
IOReturn IOServiceClose(io_connect_t connect);
