// machine.plist on disk: reading with a shared parse cache, writing
// atomically, and the current machine of the simulated Mac.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "MachineStore.h"
#include "host/Log.h"
#include "host/SimMac.h"

namespace host {

namespace {

struct CachedFile {
    std::string bytes;
    std::shared_ptr<const Machine> machine;
};

std::mutex cacheMutex;
// Keyed by file path, so a new SIMMAC_ROOT never sees another root's machine.
std::map<std::string, CachedFile> cache;

// The whole file, or nothing with `absent` set when it does not exist.
std::optional<std::string> readBytes(const std::filesystem::path& path, bool* absent,
                                     std::string* error) {
    *absent = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            *absent = true;
        } else if (error) {
            *error = path.string() + ": " + std::strerror(errno);
        }
        return std::nullopt;
    }
    std::string bytes;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
        bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (error) *error = path.string() + ": " + std::strerror(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

std::shared_ptr<const Machine> parseBytes(const std::filesystem::path& path,
                                          const std::string& bytes, std::string* error) {
    std::string why;
    std::optional<cf::Value> plist = cf::parsePropertyList(bytes, &why);
    if (!plist) {
        if (error)
            *error =
                path.string() + ": not a property list" + (why.empty() ? "" : " (" + why + ")");
        return nullptr;
    }
    std::optional<Machine> machine = machineFromPropertyList(*plist, &why);
    if (!machine) {
        if (error) *error = path.string() + ": " + why;
        return nullptr;
    }
    return std::make_shared<const Machine>(std::move(*machine));
}

}  // namespace

std::shared_ptr<const Machine> readMachineFileCached(const std::filesystem::path& path,
                                                     bool* absent, std::string* error) {
    std::optional<std::string> bytes = readBytes(path, absent, error);
    if (!bytes) return nullptr;
    {
        std::lock_guard<std::mutex> guard(cacheMutex);
        auto it = cache.find(path.string());
        if (it != cache.end() && it->second.bytes == *bytes) return it->second.machine;
    }
    std::shared_ptr<const Machine> machine = parseBytes(path, *bytes, error);
    if (machine) {
        std::lock_guard<std::mutex> guard(cacheMutex);
        cache[path.string()] = CachedFile{std::move(*bytes), machine};
    }
    return machine;
}

bool writeMachineFileCached(const std::filesystem::path& path, const Machine& machine,
                            std::string* error) {
    std::string bytes = cf::toXMLPropertyList(machineToPropertyList(machine));
    std::string why;
    if (!writeFileAtomically(path, bytes, &why)) {
        if (error) *error = path.string() + ": " + why;
        return false;
    }
    std::lock_guard<std::mutex> guard(cacheMutex);
    cache[path.string()] = CachedFile{std::move(bytes), std::make_shared<const Machine>(machine)};
    return true;
}

std::optional<Machine> loadMachineFile(const std::filesystem::path& path, std::string* error) {
    bool absent = false;
    std::shared_ptr<const Machine> machine = readMachineFileCached(path, &absent, error);
    if (absent && error) *error = path.string() + ": no such file";
    if (!machine) return std::nullopt;
    return *machine;
}

bool saveMachineFile(const std::filesystem::path& path, const Machine& machine,
                     std::string* error) {
    return writeMachineFileCached(path, machine, error);
}

std::shared_ptr<const Machine> currentMachine(std::string* error) {
    std::filesystem::path path = machinePlistPath();
    bool absent = false;
    std::shared_ptr<const Machine> machine = readMachineFileCached(path, &absent, error);
    if (machine || !absent) return machine;
    // A fresh simulated Mac: create the default machine, under the lock so
    // that two first programs do not both write it.
    {
        MachineLock lock(path);
        if (!lock.locked()) {
            if (error) *error = lock.error();
            return nullptr;
        }
        if (!readMachineLocked(path, error)) return nullptr;
    }
    return readMachineFileCached(path, &absent, error);
}

void reportMachineProblem(const std::string& message) {
    static std::mutex mutex;
    static std::set<std::string> reported;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (!reported.insert(message).second) return;
    }
    NSLog("%s", message.c_str());
}

}  // namespace host
