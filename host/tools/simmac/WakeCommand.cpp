// simmac wake: the cards power up again with their power-on registers, as at
// a reboot, but the login session goes on: every program registered for
// power messages is launched with kIOMessageSystemHasPoweredOn and runs to
// its end before simmac returns.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "ProgramLauncher.h"
#include "SimmacCommands.h"
#include "host/IOPMLib.h"
#include "host/PowerClients.h"

namespace simmac {

namespace {

// Longer than any client should need; one that takes longer is stopped, so
// that nothing it started stays running.
constexpr std::chrono::milliseconds kClientTimeLimit{60'000};

std::string hexMessage(std::uint32_t message) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", message);
    return text;
}

std::string outcomeText(const tools::LaunchResult& result) {
    if (result.notStarted) return std::string("not started: ") + std::strerror(*result.notStarted);
    if (result.timedOut)
        return "still running after " + std::to_string(kClientTimeLimit.count()) +
               " ms; ended with SIGKILL";
    if (result.lost) return std::string("lost: ") + std::strerror(*result.lost);
    return tools::waitStatusText(result.waitStatus);
}

}  // namespace

int wakeMachine() {
    std::size_t cards = 0;
    const bool done = changeMachine([&](host::Machine& machine) -> std::string {
        if (!machine.asleep) return "the machine is not asleep";
        cards = machine.powerOnCards();
        machine.asleep = false;
        return {};
    });
    if (!done) return 1;
    std::cout << "woke: " << cards << (cards == 1 ? " card" : " cards") << " back at power-on\n";

    std::string error;
    const std::optional<std::vector<host::PowerClient>> clients = host::readPowerClients(&error);
    if (!clients) {
        std::cerr << "simmac: the programs registered for wake are unknown: " << error << "\n";
        return 1;
    }
    if (clients->empty()) std::cout << "wake: no program registered for power messages\n";
    const std::string message = hexMessage(kIOMessageSystemHasPoweredOn);
    for (const host::PowerClient& client : *clients) {
        const tools::LaunchResult result = tools::runContained(
            {client.program, client.arguments, {{host::kPowerMessageVariable, message}}},
            kClientTimeLimit);
        std::cout << "wake: " << client.program << " " << outcomeText(result) << std::endl;
    }
    return 0;
}

}  // namespace simmac
