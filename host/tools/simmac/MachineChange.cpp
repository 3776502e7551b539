// The console's changes to the machine, each one update under the machine
// lock that ends in a new checkpoint, or a refusal that writes nothing.
#include <iostream>

#include "SimmacCommands.h"

namespace simmac {

bool changeMachine(const std::function<std::string(host::Machine&)>& change) {
    std::string refusal, error;
    const bool done = host::updateMachine(
        [&](host::Machine& machine) {
            refusal = change(machine);
            return refusal.empty();
        },
        &error);
    if (done && refusal.empty()) return true;
    std::cerr << "simmac: " << (done ? refusal : error) << "\n";
    return false;
}

int changeDriverEntry(const std::string& driver,
                      const std::function<bool(host::RegistryEntry&)>& change,
                      const std::function<std::string(const host::RegistryEntry&)>& describe) {
    std::string error;
    std::string text;
    const bool done = host::updateMachine(
        [&](host::Machine& machine) {
            const std::optional<std::string> path = resolveDriver(machine, driver, &error);
            if (!path) return false;
            host::RegistryEntry& entry = *machine.find(*path);
            const bool changing = change(entry);
            text = *path + ": " + describe(entry);
            return changing;
        },
        &error);
    if (!done || text.empty()) {
        std::cerr << "simmac: " << error << "\n";
        return 1;
    }
    std::cout << text << "\n";
    return 0;
}

}  // namespace simmac
