// IORegisterForSystemPower and its companions over the login session's
// power clients: registering records the program, and a message pending for
// this launch (`simmac wake` started it) reaches the callback at once.
#include "host/IOPMLib.h"

#include <cstdlib>
#include <mutex>

#include "host/Log.h"
#include "host/PowerClients.h"

struct IONotificationPort {
    IOServiceInterestCallback callback = nullptr;
    void* refcon = nullptr;
};

namespace {

// The root port and notifier handles this process hands out; nothing else
// answers to them.
constexpr io_connect_t kRootPowerDomain = 0x2000;
constexpr io_object_t kPowerNotifier = 0x2001;

// The message `simmac wake` left for this launch, taken once.
std::optional<natural_t> takePendingMessage() {
    static std::mutex mutex;
    std::lock_guard guard(mutex);
    const char* text = std::getenv(host::kPowerMessageVariable);
    if (!text) return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 16);
    const bool valid = *text != '\0' && *end == '\0' && value <= 0xFFFFFFFFUL;
    ::unsetenv(host::kPowerMessageVariable);
    if (!valid) return std::nullopt;
    return static_cast<natural_t>(value);
}

}  // namespace

io_connect_t IORegisterForSystemPower(void* refcon, IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback, io_object_t* notifier) {
    if (!thePortRef || !callback || !notifier) return 0;
    *thePortRef = nullptr;
    *notifier = IO_OBJECT_NULL;
    std::string error;
    std::optional<host::PowerClient> self = host::thisPowerClient(&error);
    if (!self || !host::addPowerClient(*self, &error)) {
        NSLog("IORegisterForSystemPower: not registered: %s\n", error.c_str());
        return 0;
    }
    *thePortRef = new IONotificationPort{callback, refcon};
    *notifier = kPowerNotifier;
    if (std::optional<natural_t> message = takePendingMessage())
        callback(refcon, kRootPowerDomain, *message, nullptr);
    return kRootPowerDomain;
}

IOReturn IODeregisterForSystemPower(io_object_t* notifier) {
    if (!notifier || *notifier != kPowerNotifier) return kIOReturnBadArgument;
    std::string error;
    std::optional<host::PowerClient> self = host::thisPowerClient(&error);
    if (!self || !host::removePowerClient(*self, &error)) {
        NSLog("IODeregisterForSystemPower: %s\n", error.c_str());
        return kIOReturnError;
    }
    *notifier = IO_OBJECT_NULL;
    return kIOReturnSuccess;
}

void IONotificationPortDestroy(IONotificationPortRef notify) { delete notify; }

IOReturn IOServiceClose(io_connect_t connect) {
    return connect == kRootPowerDomain ? kIOReturnSuccess : kIOReturnBadArgument;
}
