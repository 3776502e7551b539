// A simulated Mac named on the command line or in SIMMAC_ROOT must exist
// before simmac acts on it; see namedMachineExists.
#include <cstdlib>
#include <filesystem>

#include "SimmacCommands.h"
#include "host/SimMac.h"

namespace simmac {

bool namedMachineExists(std::string* error) {
    const char* named = std::getenv("SIMMAC_ROOT");
    if (named == nullptr || *named == '\0') return true;
    const std::filesystem::path root = host::simmacRoot();
    const std::filesystem::path machine = host::machinePlistPath();
    std::error_code ec;
    std::string missing;
    if (!std::filesystem::exists(root, ec))
        missing = "no such folder";
    else if (!std::filesystem::is_directory(root, ec))
        missing = "not a folder";
    // A link or anything else in machine.plist's place is for the machine's
    // reader to refuse, and so is a journal without its machine.plist (a
    // machine thrown away); only a folder without either has no machine.
    else if (!std::filesystem::exists(std::filesystem::symlink_status(machine, ec)) &&
             !std::filesystem::exists(std::filesystem::symlink_status(host::driverLogPath(), ec)) &&
             !std::filesystem::exists(
                 std::filesystem::symlink_status(host::driverLogPath().string() + ".old", ec)))
        missing = "the folder has no machine.plist";
    if (missing.empty()) return true;
    *error = "no simulated Mac at " + root.string() + " (" + missing +
             "); to create one there: simmac --root " + root.string() + " init";
    return false;
}

}  // namespace simmac
