// Serialising changes to machine.plist across processes: lock, re-read,
// change, write back atomically, unlock.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "MachineStore.h"
#include "host/SimMac.h"

namespace host {

MachineLock::MachineLock(const std::filesystem::path& machinePath) {
    std::error_code ec;
    std::filesystem::create_directories(machinePath.parent_path(), ec);
    std::filesystem::path lockPath = machinePath;
    lockPath += ".lock";
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error_ = lockPath.string() + ": " + std::strerror(errno);
        return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        error_ = lockPath.string() + ": cannot lock: " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return;
    }
}

MachineLock::~MachineLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the lock
}

std::optional<Machine> readMachineLocked(const std::filesystem::path& path, std::string* error) {
    bool absent = false;
    std::shared_ptr<const Machine> machine = readMachineFileCached(path, &absent, error);
    if (machine) return *machine;
    if (!absent) return std::nullopt;
    Machine fresh = defaultMachine();
    if (!writeMachineFileCached(path, fresh, error)) return std::nullopt;
    return fresh;
}

bool updateMachine(const std::function<bool(Machine&)>& change, std::string* error) {
    std::filesystem::path path = machinePlistPath();
    MachineLock lock(path);
    if (!lock.locked()) {
        if (error) *error = lock.error();
        return false;
    }
    std::optional<Machine> machine = readMachineLocked(path, error);
    if (!machine) return false;
    if (!change(*machine)) return true;
    return writeMachineFileCached(path, *machine, error);
}

bool replaceMachine(const Machine& machine, std::string* error) {
    std::filesystem::path path = machinePlistPath();
    MachineLock lock(path);
    if (!lock.locked()) {
        if (error) *error = lock.error();
        return false;
    }
    return writeMachineFileCached(path, machine, error);
}

}  // namespace host
