// simmac sleep: the machine goes to sleep; every command to a driver times
// out until simmac wake.
#include <iostream>

#include "SimmacCommands.h"

namespace simmac {

int sleepMachine() {
    std::string refusal, error;
    bool done = host::updateMachine(
        [&](host::Machine& machine) {
            if (machine.hung)
                refusal = "the machine hangs (simmac show says why); only simmac reboot ends that";
            else if (machine.asleep)
                refusal = "the machine is asleep already";
            if (!refusal.empty()) return false;
            machine.asleep = true;
            return true;
        },
        &error);
    if (!done || !refusal.empty()) {
        std::cerr << "simmac: " << (done ? refusal : error) << "\n";
        return 1;
    }
    std::cout << "asleep: every command times out until simmac wake\n";
    return 0;
}

}  // namespace simmac
