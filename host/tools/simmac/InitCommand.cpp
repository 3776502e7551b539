// simmac init: a new machine.plist from a preset or a checked file.
#include <iostream>

#include "SimmacCommands.h"
#include "host/SimMac.h"

namespace simmac {

int initMachine(const std::optional<std::string>& preset,
                const std::optional<std::string>& fromFile) {
    std::optional<host::Machine> machine;
    std::string source;
    if (fromFile) {
        std::string error;
        machine = host::loadMachineFile(*fromFile, &error);
        if (!machine) {
            std::cerr << "simmac: " << error << "\n";
            return 1;
        }
        source = *fromFile;
    } else {
        std::string name = preset.value_or("default");
        machine = host::presetMachine(name);
        if (!machine) {
            std::cerr << "simmac: no preset \"" << name << "\"; the presets are:";
            for (const std::string& known : host::presetNames()) std::cerr << " " << known;
            std::cerr << "\n";
            return 1;
        }
        source = "preset \"" + name + "\"";
    }
    std::string error;
    if (!host::replaceMachine(*machine, &error)) {
        std::cerr << "simmac: " << error << "\n";
        return 1;
    }
    std::cout << host::machinePlistPath().string() << ": created from " << source << " ("
              << machine->driverPaths().size() << " clock drivers)\n";
    return 0;
}

}  // namespace simmac
