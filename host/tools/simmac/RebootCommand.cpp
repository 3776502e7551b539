// simmac reboot: a power cycle. Every card gets its power-on registers back,
// every driver instance starts afresh (no answer published, not busy), a
// hang or sleep ends, and so does the login session with the programs it
// registered for power messages.
#include <iostream>

#include "SimmacCommands.h"
#include "host/PowerClients.h"

namespace simmac {

int rebootMachine() {
    std::size_t cards = 0;
    std::optional<host::MachineHang> hang;
    const bool done = changeMachine([&](host::Machine& machine) {
        cards = machine.powerOnCards();
        hang = machine.hung;
        machine.hung.reset();
        machine.asleep = false;
        return std::string();
    });
    if (!done) return 1;
    std::cout << "rebooted: " << cards << (cards == 1 ? " card" : " cards")
              << " back at power-on\n";
    if (hang) std::cout << "the hang by command " << hang->seq << " is over\n";
    if (std::string error; !host::clearPowerClients(&error)) {
        std::cerr << "simmac: the login session's registrations for power messages stay: " << error
                  << "\n";
        return 1;
    }
    return 0;
}

}  // namespace simmac
