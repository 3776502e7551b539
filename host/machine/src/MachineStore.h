// Inside the host: machine.plist under the machine lock, and the parse
// cache that every reader of the file shares.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "host/Machine.h"
#include "host/MachineInterface.h"

namespace host {

// The machine the file `path` holds now. nullptr with `absent` set when
// there is no file; nullptr with a message when it is refused. Parsed again
// only when the bytes differ from the last ones seen for this path.
std::shared_ptr<const Machine> readMachineFileCached(const std::filesystem::path& path,
                                                     bool* absent, std::string* error);
// Writes the machine atomically and remembers it as the file's content.
bool writeMachineFileCached(const std::filesystem::path& path, const Machine& machine,
                            std::string* error);

// An exclusive lock on machine.plist, held from construction to destruction.
// It is an flock on "machine.plist.lock" beside the file, so it serialises
// every process (and every thread, each locking through its own descriptor).
class MachineLock {
public:
    explicit MachineLock(const std::filesystem::path& machinePath);
    ~MachineLock();
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    bool locked() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

// With the lock held: the machine as the file holds it, created from the
// default machine (and written) when there is no file.
std::optional<Machine> readMachineLocked(const std::filesystem::path& path, std::string* error);

}  // namespace host
