// The I/O Registry calls over machine.plist. Handles are 32-bit numbers in a
// table of this process; each names an entry by its path (or is an
// iterator), and the table starts afresh when SIMMAC_ROOT changes.
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/IOKit.h"
#include "host/Log.h"
#include "host/MachineInterface.h"
#include "host/SimMac.h"

namespace {

using host::Machine;
using host::RegistryEntry;

struct RegistryObject {
    bool iterator = false;
    std::shared_ptr<const std::string>
        path;                        // entry objects: shared, so handing it out costs no copy
    std::vector<std::string> items;  // iterators: entry paths still to come
    std::size_t next = 0;
};

class HandleTable {
public:
    io_object_t add(RegistryObject object) {
        std::lock_guard<std::mutex> guard(mutex_);
        syncRoot();
        if (++last_ == 0) ++last_;
        objects_[last_] = std::move(object);
        return last_;
    }
    // The entry path of an entry object; nothing for an iterator or none.
    std::shared_ptr<const std::string> entryPath(io_object_t handle) {
        std::lock_guard<std::mutex> guard(mutex_);
        syncRoot();
        auto it = objects_.find(handle);
        if (it == objects_.end() || it->second.iterator) return nullptr;
        return it->second.path;
    }
    // The next path of an iterator, or nothing at its end.
    std::optional<std::string> advance(io_object_t handle) {
        std::lock_guard<std::mutex> guard(mutex_);
        syncRoot();
        auto it = objects_.find(handle);
        if (it == objects_.end() || !it->second.iterator) return std::nullopt;
        RegistryObject& object = it->second;
        if (object.next >= object.items.size()) return std::nullopt;
        return object.items[object.next++];
    }
    bool remove(io_object_t handle) {
        std::lock_guard<std::mutex> guard(mutex_);
        syncRoot();
        return objects_.erase(handle) != 0;
    }

private:
    // Handles of another simulated Mac mean nothing here.
    void syncRoot() {
        const std::string& root = host::simmacRootText();
        if (root != root_) {
            objects_.clear();
            root_ = root;
        }
    }

    std::mutex mutex_;
    std::string root_;
    std::unordered_map<io_object_t, RegistryObject> objects_;
    io_object_t last_ = 0x1000;
};

HandleTable& handles() {
    static HandleTable table;
    return table;
}

std::shared_ptr<const std::string> entryPath(io_object_t handle) {
    return handles().entryPath(handle);
}

RegistryObject entryObject(std::string path) {
    return RegistryObject{false, std::make_shared<const std::string>(std::move(path)), {}, 0};
}

// The registry's entries and properties as they are now (its registers
// and driver states may lag: nothing here reads them).
std::shared_ptr<const Machine> registryNow() {
    std::string error;
    std::shared_ptr<const Machine> machine = host::currentRegistry(&error);
    if (!machine) host::logOnce(error);
    return machine;
}

bool matches(const std::string& path, const RegistryEntry& entry, const cf::Dictionary& matching) {
    for (const auto& [key, value] : matching.items()) {
        if (key == "IONameMatch") {
            if (const std::string* name = value.string()) {
                if (*name != entry.name) return false;
            } else if (const cf::Array* names = value.array()) {
                if (std::none_of(names->begin(), names->end(), [&](const cf::Value& n) {
                        return n.string() && *n.string() == entry.name;
                    }))
                    return false;
            } else {
                return false;
            }
        } else if (key == "IOProviderClass") {
            if (!value.string() || !entry.className || *entry.className != *value.string())
                return false;
        } else if (key == "IOPathMatch") {
            if (!value.string() || *value.string() != "IOService:/" + path) return false;
        } else {
            return false;
        }
    }
    return true;
}

// A driver publishes "RegValue" to each sender alone, as if it kept one
// per client: each thread reads the answer to its own last command of that
// driver when that was an accepted read, else nothing. So another process's
// read can never come in between, and a command that failed leaves no
// answer to be taken for its own. Kept for every driver this thread's last
// command reached (nothing: no answer), so that reading it back needs no
// look at the machine.
std::map<std::string, std::optional<cf::Value>, std::less<>>& ownAnswers() {
    // By entry path, for the root they were given on.
    thread_local std::map<std::string, std::optional<cf::Value>, std::less<>> answers;
    thread_local std::string root;
    if (const std::string& now = host::simmacRootText(); now != root) {
        answers.clear();
        root = now;
    }
    return answers;
}

std::string withoutPlanePrefix(std::string path) {
    constexpr std::string_view prefix = "IOService:";
    if (path.compare(0, prefix.size(), prefix) == 0) path.erase(0, prefix.size());
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    return path;
}

}  // namespace

CFMutableDictionaryRef IOServiceNameMatching(const char* name) {
    if (!name) return std::nullopt;
    cf::Dictionary matching;
    matching.set("IONameMatch", std::string(name));
    return matching;
}

kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFMutableDictionaryRef matching,
                                           io_iterator_t* existing) {
    if (!existing) return kIOReturnBadArgument;
    *existing = IO_OBJECT_NULL;
    if (masterPort != kIOMasterPortDefault || !matching) return kIOReturnBadArgument;
    std::shared_ptr<const Machine> machine = registryNow();
    if (!machine) return kIOReturnError;
    RegistryObject iterator;
    iterator.iterator = true;
    machine->forEach([&](const std::string& path, const RegistryEntry& entry) {
        if (matches(path, entry, *matching)) iterator.items.push_back(path);
    });
    *existing = handles().add(std::move(iterator));
    return kIOReturnSuccess;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    std::optional<std::string> path = handles().advance(iterator);
    if (!path) return IO_OBJECT_NULL;
    return handles().add(entryObject(std::move(*path)));
}

kern_return_t IOObjectRelease(io_object_t object) {
    return handles().remove(object) ? kIOReturnSuccess : kIOReturnBadArgument;
}

kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const char* plane,
                                            io_registry_entry_t* parent) {
    if (!parent) return kIOReturnBadArgument;
    *parent = IO_OBJECT_NULL;
    if (!plane || std::string_view(plane) != kIOServicePlane) return kIOReturnBadArgument;
    std::shared_ptr<const std::string> path = entryPath(entry);
    if (!path) return kIOReturnBadArgument;
    std::optional<std::string> above = host::parentPath(*path);
    if (!above) return kIOReturnNoDevice;  // the registry root is nobody's card
    *parent = handles().add(entryObject(std::move(*above)));
    return kIOReturnSuccess;
}

std::optional<cf::Value> IORegistryEntryCreateCFProperty(io_registry_entry_t entry,
                                                         const std::string& key, CFAllocatorRef,
                                                         IOOptionBits) {
    std::shared_ptr<const std::string> path = entryPath(entry);
    if (!path) return std::nullopt;
    if (key == "RegValue") {
        auto own = ownAnswers().find(*path);
        if (own != ownAnswers().end()) return own->second;
    }
    std::shared_ptr<const Machine> machine = registryNow();
    if (!machine) return std::nullopt;
    const RegistryEntry* found = machine->find(*path);
    if (!found) return std::nullopt;
    // A driver no command of this thread reached has no answer for it.
    if (key == "RegValue" && found->isClockDriver()) return std::nullopt;
    const cf::Value* value = found->properties.get(key);
    if (!value) return std::nullopt;
    return *value;
}

namespace {
std::function<void()>& driverWaitHook() {
    thread_local std::function<void()> hook;
    return hook;
}
void runDriverWaitHook() {
    if (driverWaitHook()) driverWaitHook()();
}
}  // namespace

namespace host {
void setDriverWaitHook(std::function<void()> hook) { driverWaitHook() = std::move(hook); }
}  // namespace host

kern_return_t IORegistryEntrySetCFProperties(io_registry_entry_t entry,
                                             const cf::Value& properties) {
    std::shared_ptr<const std::string> path = entryPath(entry);
    if (!path) return kIOReturnBadArgument;
    std::optional<std::uint32_t> answer;
    bool toClockDriver = false;
    IOReturn result = host::sendDriverCommand(*path, properties, &answer, &toClockDriver);
    runDriverWaitHook();
    // Only an accepted read leaves an answer.
    if (answer) {
        const std::uint32_t v = *answer;
        ownAnswers().insert_or_assign(
            *path,
            cf::Data{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                     static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
    } else if (toClockDriver) {
        ownAnswers().insert_or_assign(*path, std::nullopt);
    } else {
        ownAnswers().erase(*path);
    }
    return result;
}

kern_return_t IOServiceWaitQuiet(io_service_t service, const mach_timespec_t* waitTime) {
    using namespace std::chrono;
    std::shared_ptr<const std::string> path = entryPath(service);
    if (!path) return kIOReturnBadArgument;
    std::optional<steady_clock::time_point> deadline;
    if (waitTime) {
        auto wait = seconds(waitTime->tv_sec) + nanoseconds(std::max(waitTime->tv_nsec, 0));
        deadline = steady_clock::now() + duration_cast<steady_clock::duration>(wait);
    }
    // Ask again between naps: another process may extend the busy time, or
    // clear the fault.
    constexpr milliseconds kLongestNap{100};
    for (;;) {
        const host::QuietState state = host::driverQuietState(*path);
        if (state.result != kIOReturnSuccess) {
            ownAnswers().erase(*path);
            return state.result;
        }
        if (state.quiet) return kIOReturnSuccess;

        steady_clock::duration nap = kLongestNap;
        // Compared in milliseconds: a busy time near the end of time would
        // overflow in the clock's nanoseconds.
        if (!state.stuck && state.busyForMs < kLongestNap.count())
            nap = milliseconds(state.busyForMs);
        if (deadline) {
            steady_clock::time_point t = steady_clock::now();
            if (t >= *deadline) {
                // The command this wait was for never reaches the driver.
                ownAnswers().erase(*path);
                return kIOReturnTimeout;
            }
            nap = std::min(nap, *deadline - t);
        }
        // A host that keeps its windows drawn does so between naps short
        // enough to feel live.
        if (driverWaitHook()) {
            runDriverWaitHook();
            nap = std::min<steady_clock::duration>(nap, milliseconds(15));
        }
        std::this_thread::sleep_for(nap);
    }
}

io_registry_entry_t IORegistryEntryFromPath(mach_port_t masterPort, const std::string& path) {
    if (masterPort != kIOMasterPortDefault) return IO_OBJECT_NULL;
    std::string plain = withoutPlanePrefix(path);
    std::shared_ptr<const Machine> machine = registryNow();
    if (!machine || plain.empty() || !machine->find(plain)) return IO_OBJECT_NULL;
    return handles().add(entryObject(std::move(plain)));
}

kern_return_t IORegistryEntryGetPath(io_registry_entry_t entry, const char* plane,
                                     std::string* path) {
    if (!path || !plane || std::string_view(plane) != kIOServicePlane) return kIOReturnBadArgument;
    std::shared_ptr<const std::string> p = entryPath(entry);
    if (!p) return kIOReturnBadArgument;
    *path = std::string(kIOServicePlane) + ":/" + *p;
    return kIOReturnSuccess;
}
