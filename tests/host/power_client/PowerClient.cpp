// A program that registers for system power messages, as a login item
// would, for the tests of simmac wake. Usage: host_test_power_client FILE.
// Launched with a message, it starts a helper that would outlive it, takes
// a while, and then appends "woke <message> <its pid> <the helper's pid>" to
// FILE; launched without one it appends "registered <its pid>".
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "host/IOPMLib.h"

namespace {

void powerChanged(void* refcon, io_service_t, natural_t messageType, void*) {
    *static_cast<natural_t*>(refcon) = messageType;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    natural_t message = 0;
    IONotificationPortRef port = nullptr;
    io_object_t notifier = IO_OBJECT_NULL;
    const io_connect_t root = IORegisterForSystemPower(&message, &port, powerChanged, &notifier);
    if (root == 0) return 1;
    std::FILE* out = std::fopen(argv[1], "a");
    if (!out) return 1;
    if (message == 0) {
        std::fprintf(out, "registered %d\n", static_cast<int>(::getpid()));
    } else {
        const pid_t helper = ::fork();
        if (helper == 0) {
            ::sleep(60);
            ::_exit(0);
        }
        // simmac wake must wait for this.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::fprintf(out, "woke 0x%08X %d %d\n", message, static_cast<int>(::getpid()),
                     static_cast<int>(helper));
    }
    std::fclose(out);
    IONotificationPortDestroy(port);
    IOServiceClose(root);
    return 0;
}
