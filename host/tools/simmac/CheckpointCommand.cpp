// simmac checkpoint: machine.plist rewritten to hold the machine as it is
// now, journal included, so that a script reading the file sees it.
#include <iostream>

#include "SimmacCommands.h"
#include "host/SimMac.h"

namespace simmac {

int checkpointMachine() {
    std::string error;
    if (!host::checkpointMachine(&error)) {
        std::cerr << "simmac: " << error << "\n";
        return 1;
    }
    std::cout << host::machinePlistPath().string() << ": the machine as it is now\n";
    return 0;
}

}  // namespace simmac
