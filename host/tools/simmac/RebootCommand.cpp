// simmac reboot: a power cycle. Every card gets its power-on registers back
// and every driver instance starts afresh (no answer published, not busy).
#include <iostream>

#include "SimmacCommands.h"

namespace simmac {

int rebootMachine() {
    std::size_t cards = 0;
    std::string error;
    bool done = host::updateMachine(
        [&](host::Machine& machine) {
            machine.forEachMutable([&](const std::string&, host::RegistryEntry& entry) {
                if (!entry.hardware) return;
                entry.hardware->registers = entry.hardware->powerOn;
                entry.driver.acceptedCommands = 0;
                entry.driver.busyUntil = 0;
                entry.properties.remove("RegValue");
                ++cards;
            });
            return true;
        },
        &error);
    if (!done) {
        std::cerr << "simmac: " << error << "\n";
        return 1;
    }
    std::cout << "rebooted: " << cards << (cards == 1 ? " card" : " cards")
              << " back at power-on\n";
    return 0;
}

}  // namespace simmac
