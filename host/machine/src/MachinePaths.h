// Inside the machine: the paths of the machine's files under the current
// simulated Mac root, worked out once per root rather than at every command.
#pragma once

#include <string>

namespace host {

struct MachinePaths {
    std::string root;
    std::string machine;     // machine.plist, the checkpoint
    std::string lock;        // machine.plist.lock
    std::string journal;     // Library/Logs/driver.jsonl
    std::string oldJournal;  // Library/Logs/driver.jsonl.old, the journal before the last rotation
};

// The paths for $SIMMAC_ROOT (or the default root) as it is set now; the
// reference stays valid on this thread until the root changes.
const MachinePaths& machinePaths();

}  // namespace host
