// simmac wake: the cards power up again with their power-on registers, as at
// a reboot, but the login session goes on: every program registered for
// power messages is launched with kIOMessageSystemHasPoweredOn and runs to
// its end before simmac returns.
#include <iostream>

#include "SimmacCommands.h"
#include "host/IOPMLib.h"
#include "host/PowerClients.h"

namespace simmac {

namespace {

// Longer than any client should need; one that takes longer is stopped, so
// that nothing it started stays running.
constexpr std::chrono::seconds kClientTimeLimit{60};

}  // namespace

int wakeMachine() {
    std::size_t cards = 0;
    std::string refusal, error;
    bool done = host::updateMachine(
        [&](host::Machine& machine) {
            if (!machine.asleep) {
                refusal = "the machine is not asleep";
                return false;
            }
            cards = machine.powerOnCards();
            machine.asleep = false;
            return true;
        },
        &error);
    if (!done || !refusal.empty()) {
        std::cerr << "simmac: " << (done ? refusal : error) << "\n";
        return 1;
    }
    std::cout << "woke: " << cards << (cards == 1 ? " card" : " cards") << " back at power-on\n";

    std::optional<std::vector<host::PowerClientLaunch>> runs =
        host::launchPowerClients(kIOMessageSystemHasPoweredOn, kClientTimeLimit, &error);
    if (!runs) {
        std::cerr << "simmac: the programs registered for wake are unknown: " << error << "\n";
        return 1;
    }
    if (runs->empty()) std::cout << "wake: no program registered for power messages\n";
    for (const host::PowerClientLaunch& run : *runs)
        std::cout << "wake: " << run.client.program << " " << run.outcome << "\n";
    return 0;
}

}  // namespace simmac
