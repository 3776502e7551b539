// machine.plist as any bytes: the loader either refuses the file with a
// message naming it, or yields a machine that writes back as itself and on
// which the registry calls find every entry by its path.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSimMac.h"
#include "host/IOKit.h"
#include "host/Machine.h"
#include "host/MachineInterface.h"
#include "host/SimMac.h"

namespace {

// More entries than this are only loaded, not walked through the registry,
// to keep each input quick.
constexpr std::size_t kEntriesToVisit = 64;

void checkRoundTrip(const host::Machine& machine) {
    const cf::Value plist = host::machineToPropertyList(machine);
    std::string error;
    std::optional<host::Machine> again = host::machineFromPropertyList(plist, &error);
    if (!again) fuzzsupport::fail("a loaded machine does not load again once written: " + error);
    if (!fuzzsupport::samePropertyList(host::machineToPropertyList(*again), plist))
        fuzzsupport::fail("a loaded machine changes when written and loaded again");
}

void checkRegistry(const host::Machine& machine) {
    std::vector<std::pair<std::string, const host::RegistryEntry*>> visited;
    machine.forEach([&](const std::string& path, const host::RegistryEntry& entry) {
        if (visited.size() < kEntriesToVisit) visited.emplace_back(path, &entry);
    });
    for (const auto& [path, entry] : visited) {
        if (machine.find(path) != entry)
            fuzzsupport::fail("entry path \"" + path + "\" finds another entry");
        // With the plane prefix: a plain path may itself begin like one
        // ("IOService:x" is the entry "x").
        io_registry_entry_t handle =
            IORegistryEntryFromPath(kIOMasterPortDefault, "IOService:/" + path);
        if (!handle) fuzzsupport::fail("the registry does not find \"" + path + "\"");
        std::string back;
        if (IORegistryEntryGetPath(handle, kIOServicePlane, &back) != kIOReturnSuccess ||
            back != "IOService:/" + path)
            fuzzsupport::fail("the registry names \"" + path + "\" as \"" + back + "\"");
        for (const auto& [key, value] : entry->properties.items()) {
            std::optional<cf::Value> read =
                IORegistryEntryCreateCFProperty(handle, key, kCFAllocatorDefault, 0);
            if (!read || !fuzzsupport::samePropertyList(*read, value))
                fuzzsupport::fail("property \"" + key + "\" of \"" + path + "\" reads wrong");
        }
        io_registry_entry_t parent = 0;
        const kern_return_t parentResult =
            IORegistryEntryGetParentEntry(handle, kIOServicePlane, &parent);
        if ((parentResult == kIOReturnSuccess) != host::parentPath(path).has_value())
            fuzzsupport::fail("parent of \"" + path + "\" is wrong");
        if (parent) IOObjectRelease(parent);
        IOObjectRelease(handle);
    }

    // Matching by name yields the drivers in file order.
    io_iterator_t iterator = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault,
                                     IOServiceNameMatching(host::kClockDriverName),
                                     &iterator) != kIOReturnSuccess)
        fuzzsupport::fail("matching failed on a machine that loads");
    std::vector<std::string> drivers = machine.driverPaths();
    std::size_t index = 0;
    while (io_object_t service = IOIteratorNext(iterator)) {
        std::string path;
        IORegistryEntryGetPath(service, kIOServicePlane, &path);
        if (index >= drivers.size() || path != "IOService:/" + drivers[index])
            fuzzsupport::fail("matching yields the drivers out of file order");
        // One read per driver: whatever the file holds, the driver answers
        // or refuses, and the file stays loadable. A driver that the file
        // says is busy is not waited for.
        if (index < 4) {
            const mach_timespec_t noWait{0, 0};
            if (IOServiceWaitQuiet(service, &noWait) == kIOReturnSuccess) {
                cf::Dictionary command;
                command.set("Command", cf::CFNumberCreate(cf::kCFNumberCharType, 0));
                command.set("Argument", cf::CFNumberCreate(cf::kCFNumberIntType, 0));
                IORegistryEntrySetCFProperties(service, command);
                std::string error;
                if (!host::loadMachineFile(host::machinePlistPath(), &error))
                    fuzzsupport::fail("a driver command left machine.plist unloadable: " + error);
            }
        }
        IOObjectRelease(service);
        ++index;
    }
    IOObjectRelease(iterator);
    if (index != drivers.size()) fuzzsupport::fail("matching missed drivers");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::initSimMac();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path path = host::machinePlistPath();
    std::string error;
    if (!host::writeFileAtomically(path, std::string(reinterpret_cast<const char*>(data), size),
                                   &error))
        fuzzsupport::fail("cannot write machine.plist: " + error);
    ::unlink(host::driverLogPath().c_str());

    std::optional<host::Machine> machine = host::loadMachineFile(path, &error);
    if (!machine) {
        if (error.rfind(path.string(), 0) != 0)
            fuzzsupport::fail("a refusal does not name the file: " + error);
        return 0;
    }
    // A file that says it was checkpointed from a journal, with no journal
    // there, is a machine rolled back: refused, never read as the file
    // alone. The registry is then checked on the same machine written as by
    // hand, without a mark.
    std::optional<host::CheckpointMark> mark;
    const std::optional<cf::Value> plist =
        cf::parsePropertyList(std::string_view(reinterpret_cast<const char*>(data), size), &error);
    if (!plist || !host::machineFromPropertyList(*plist, &error, &mark))
        fuzzsupport::fail("a machine file that loads does not parse again: " + error);
    if (mark && mark->journalOffset > 0) {
        if (host::currentMachine(&error) ||
            error.find("simmac init starts the machine over") == std::string::npos)
            fuzzsupport::fail("a checkpoint without its journal was not refused: " + error);
        if (!host::saveMachineFile(path, *machine, &error))
            fuzzsupport::fail("cannot write machine.plist: " + error);
    }
    checkRoundTrip(*machine);
    checkRegistry(*machine);
    return 0;
}
