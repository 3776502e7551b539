#include "MachinePaths.h"

#include "host/SimMac.h"

namespace host {

const MachinePaths& machinePaths() {
    thread_local MachinePaths paths;
    const std::string& root = simmacRootText();
    if (!paths.root.empty() && paths.root == root) return paths;
    paths = MachinePaths{root, machinePlistPath().string(), machinePlistPath().string() + ".lock",
                         driverLogPath().string(), driverLogPath().string() + ".old"};
    return paths;
}

}  // namespace host
