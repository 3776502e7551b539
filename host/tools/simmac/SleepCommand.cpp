// simmac sleep: the machine goes to sleep; every command to a driver times
// out until simmac wake.
#include <iostream>

#include "SimmacCommands.h"

namespace simmac {

int sleepMachine() {
    const bool done = changeMachine([](host::Machine& machine) -> std::string {
        if (machine.hung)
            return "the machine hangs (simmac show says why); only simmac reboot ends that";
        if (machine.asleep) return "the machine is asleep already";
        machine.asleep = true;
        return {};
    });
    if (!done) return 1;
    std::cout << "asleep: every command times out until simmac wake\n";
    return 0;
}

}  // namespace simmac
