// The machine's property-list form: strict checking on the way in (one
// message naming entry and key, never a partial machine) and a stable layout
// on the way out; and machine files as they are, without a journal, which
// `simmac init --from` and the tests read.
#include <cmath>
#include <set>

#include "MachineStore.h"
#include "host/RegularFile.h"
#include "host/SimMac.h"

namespace host {

namespace {

// Where in the file a problem sits, for the one message a refused file gets.
struct Place {
    std::string entry;  // entry path, or a description when the entry has no usable name

    std::string at(std::string_view key) const {
        if (entry.empty()) return "key \"" + std::string(key) + "\"";
        return "entry \"" + entry + "\", key \"" + std::string(key) + "\"";
    }
};

bool fail(std::string* error, const Place& place, std::string_view key, std::string_view why) {
    if (error) *error = place.at(key) + ": " + std::string(why);
    return false;
}

std::optional<std::int64_t> integerOf(const cf::Value* value) {
    if (!value) return std::nullopt;
    const cf::Number* number = value->number();
    if (!number || number->isReal()) return std::nullopt;
    return number->int64Value();
}

// A clock in MHz: any number, finite and above 0.
bool readMegahertz(const cf::Value& value, const Place& place, std::string_view key,
                   std::optional<double>& out, std::string* error) {
    const cf::Number* number = value.number();
    if (!number) return fail(error, place, key, "not a number");
    const double mhz = number->doubleValue();
    if (!std::isfinite(mhz) || mhz <= 0) return fail(error, place, key, "not a clock above 0 MHz");
    out = mhz;
    return true;
}

// A "VPU" or "Memory" clock of a dictionary; any other key is unknown there.
bool readClock(std::string_view key, const cf::Value& item, const Place& place,
               const std::string& where, std::optional<double>& vpu, std::optional<double>& memory,
               std::string* error) {
    if (key != "VPU" && key != "Memory") return fail(error, place, where, "unknown key");
    return readMegahertz(item, place, where, key == "VPU" ? vpu : memory, error);
}

bool readLimits(const cf::Value& value, const Place& place, ClockLimits& out, std::string* error) {
    const cf::Dictionary* dict = value.dictionary();
    if (!dict) return fail(error, place, "Hardware/Limits", "not a dictionary");
    for (const auto& [key, item] : dict->items())
        if (!readClock(key, item, place, "Hardware/Limits/" + key, out.vpu, out.memory, error))
            return false;
    return true;
}

bool readRegisterFile(const cf::Value& value, const Place& place, std::string_view key,
                      RegisterFile& out, std::string* error) {
    const cf::Dictionary* dict = value.dictionary();
    if (!dict) return fail(error, place, key, "not a dictionary");
    for (const auto& [name, registerValue] : dict->items()) {
        std::string subKey = std::string(key) + "/" + name;
        std::optional<std::string> canonical = canonicalRegisterKey(name);
        if (!canonical)
            return fail(error, place, subKey,
                        "not a register name (\"PLL\" or \"0x\" and hex digits)");
        std::optional<std::int64_t> v = integerOf(&registerValue);
        if (!v) return fail(error, place, subKey, "not an integer");
        if (*v < 0 || *v > 0xFFFFFFFFLL)
            return fail(error, place, subKey, "not a 32-bit unsigned value");
        if (!out.emplace(*canonical, static_cast<std::uint32_t>(*v)).second)
            return fail(error, place, subKey, "the same register is listed twice");
    }
    return true;
}

bool readHardware(const cf::Value& value, const Place& place, Hardware& out, std::string* error) {
    const cf::Dictionary* dict = value.dictionary();
    if (!dict) return fail(error, place, "Hardware", "not a dictionary");
    for (const auto& [key, item] : dict->items()) {
        if (key != "Kind" && key != "Registers" && key != "PowerOn" && key != "Limits")
            return fail(error, place, "Hardware/" + key, "unknown key");
    }
    const cf::Value* kind = dict->get("Kind");
    if (!kind) return fail(error, place, "Hardware/Kind", "missing");
    if (!kind->string()) return fail(error, place, "Hardware/Kind", "not a string");
    if (*kind->string() == "ATI") {
        out.kind = HardwareKind::ATI;
    } else if (*kind->string() == "NVIDIA") {
        out.kind = HardwareKind::NVIDIA;
    } else {
        return fail(error, place, "Hardware/Kind", "neither \"ATI\" nor \"NVIDIA\"");
    }
    const cf::Value* registers = dict->get("Registers");
    if (!registers) return fail(error, place, "Hardware/Registers", "missing");
    if (!readRegisterFile(*registers, place, "Hardware/Registers", out.registers, error))
        return false;
    if (const cf::Value* powerOn = dict->get("PowerOn")) {
        if (!readRegisterFile(*powerOn, place, "Hardware/PowerOn", out.powerOn, error))
            return false;
    } else {
        out.powerOn = out.registers;
    }
    if (const cf::Value* limits = dict->get("Limits"))
        return readLimits(*limits, place, out.limits, error);
    return true;
}

bool readHang(const cf::Value& value, const Place& root, MachineHang& out, std::string* error) {
    const cf::Dictionary* dict = value.dictionary();
    if (!dict) return fail(error, root, "Hung", "not a dictionary");
    for (const auto& [key, item] : dict->items()) {
        const std::string where = "Hung/" + key;
        if (key == "Driver") {
            if (!item.string()) return fail(error, root, where, "not a string");
            out.driver = *item.string();
        } else if (key == "Seq") {
            std::optional<std::int64_t> seq = integerOf(&item);
            if (!seq || *seq < 0) return fail(error, root, where, "not an integer of 0 or more");
            out.seq = static_cast<std::uint64_t>(*seq);
        } else if (!readClock(key, item, root, where, out.vpu, out.memory, error)) {
            return false;
        }
    }
    if (!dict->get("Driver")) return fail(error, root, "Hung/Driver", "missing");
    return true;
}

bool readDriverState(const cf::Value& value, const Place& place, DriverState& out,
                     std::string* error) {
    const cf::Dictionary* dict = value.dictionary();
    if (!dict) return fail(error, place, "Driver", "not a dictionary");
    for (const auto& [key, item] : dict->items()) {
        std::string where = "Driver/" + key;
        if (key == "RefuseCommands") {
            const cf::Array* codes = item.array();
            if (!codes) return fail(error, place, where, "not an array");
            std::vector<std::int64_t> list;
            for (const cf::Value& code : *codes) {
                std::optional<std::int64_t> c = integerOf(&code);
                if (!c) return fail(error, place, where, "holds something other than an integer");
                list.push_back(*c);
            }
            out.refuseCommands = std::move(list);
            continue;
        }
        if (key != "BusyMilliseconds" && key != "RefuseAfter" && key != "AcceptedCommands" &&
            key != "BusyUntil")
            return fail(error, place, where, "unknown key");
        std::optional<std::int64_t> v = integerOf(&item);
        if (!v) return fail(error, place, where, "not an integer");
        if (*v < 0) return fail(error, place, where, "negative");
        if (key == "BusyMilliseconds")
            out.busyMilliseconds = *v;
        else if (key == "RefuseAfter")
            out.refuseAfter = *v;
        else if (key == "AcceptedCommands")
            out.acceptedCommands = *v;
        else
            out.busyUntil = *v;
    }
    return true;
}

bool readEntries(const cf::Value& value, const Place& owner, std::string_view key,
                 const std::string& parent, std::vector<RegistryEntry>& out, std::string* error);

bool readEntry(const cf::Value& value, const std::string& parent, std::size_t index,
               RegistryEntry& out, std::string* error) {
    std::string anonymous = "#" + std::to_string(index + 1) +
                            (parent.empty() ? " of the top level" : " under " + parent);
    Place place{anonymous};
    const cf::Dictionary* dict = value.dictionary();
    if (!dict) {
        if (error) *error = "entry " + anonymous + ": not a dictionary";
        return false;
    }
    const cf::Value* name = dict->get("Name");
    if (!name) return fail(error, place, "Name", "missing");
    if (!name->string()) return fail(error, place, "Name", "not a string");
    if (name->string()->empty()) return fail(error, place, "Name", "empty");
    if (name->string()->find('/') != std::string::npos)
        return fail(error, place, "Name", "contains '/'");
    // A path is a C string on the Mac: no path could name such an entry.
    if (name->string()->find('\0') != std::string::npos)
        return fail(error, place, "Name", "contains a zero character");
    out.name = *name->string();
    place.entry = parent.empty() ? out.name : parent + "/" + out.name;

    for (const auto& [k, item] : dict->items()) {
        if (k == "Name") continue;
        if (k == "Class") {
            if (!item.string()) return fail(error, place, k, "not a string");
            out.className = *item.string();
        } else if (k == "Properties") {
            if (!item.dictionary()) return fail(error, place, k, "not a dictionary");
            out.properties = *item.dictionary();
        } else if (k == "Children") {
            if (!readEntries(item, place, k, place.entry, out.children, error)) return false;
        } else if (k == "Hardware") {
            if (!out.isClockDriver())
                return fail(error, place, k,
                            std::string("only a ") + kClockDriverName + " entry drives a card");
            Hardware hardware;
            if (!readHardware(item, place, hardware, error)) return false;
            out.hardware = std::move(hardware);
        } else if (k == "Driver") {
            if (!out.isClockDriver())
                return fail(error, place, k,
                            std::string("only a ") + kClockDriverName + " entry has driver faults");
            if (!readDriverState(item, place, out.driver, error)) return false;
        } else {
            return fail(error, place, k, "unknown key");
        }
    }
    if (out.isClockDriver() && !out.hardware)
        return fail(error, place, "Hardware", "missing on a clock driver");
    return true;
}

bool readEntries(const cf::Value& value, const Place& owner, std::string_view key,
                 const std::string& parent, std::vector<RegistryEntry>& out, std::string* error) {
    const cf::Array* array = value.array();
    if (!array) return fail(error, owner, key, "not an array");
    std::set<std::string> names;
    out.reserve(array->size());
    for (std::size_t i = 0; i < array->size(); ++i) {
        RegistryEntry entry;
        if (!readEntry((*array)[i], parent, i, entry, error)) return false;
        if (!names.insert(entry.name).second) {
            Place place{parent.empty() ? entry.name : parent + "/" + entry.name};
            return fail(error, place, "Name", "a sibling entry has the same name");
        }
        out.push_back(std::move(entry));
    }
    return true;
}

cf::Value registersToPropertyList(const RegisterFile& registers) {
    cf::Dictionary dict;
    for (const auto& [key, value] : registers)
        dict.set(key, cf::Number::integer(cf::kCFNumberSInt64Type, value));
    return dict;
}

cf::Value integer(std::int64_t v) { return cf::Number::integer(cf::kCFNumberSInt64Type, v); }

cf::Value megahertz(double v) { return cf::Number::real(cf::kCFNumberDoubleType, v); }

void setClocks(cf::Dictionary& dict, const std::optional<double>& vpu,
               const std::optional<double>& memory) {
    if (vpu) dict.set("VPU", megahertz(*vpu));
    if (memory) dict.set("Memory", megahertz(*memory));
}

cf::Value entryToPropertyList(const RegistryEntry& entry) {
    cf::Dictionary dict;
    dict.set("Name", entry.name);
    if (entry.className) dict.set("Class", *entry.className);
    dict.set("Properties", entry.properties);
    if (!entry.children.empty()) {
        cf::Array children;
        for (const RegistryEntry& child : entry.children)
            children.push_back(entryToPropertyList(child));
        dict.set("Children", std::move(children));
    }
    if (entry.hardware) {
        cf::Dictionary hardware;
        hardware.set("Kind", hardwareKindName(entry.hardware->kind));
        hardware.set("Registers", registersToPropertyList(entry.hardware->registers));
        hardware.set("PowerOn", registersToPropertyList(entry.hardware->powerOn));
        if (!entry.hardware->limits.empty()) {
            cf::Dictionary limits;
            setClocks(limits, entry.hardware->limits.vpu, entry.hardware->limits.memory);
            hardware.set("Limits", std::move(limits));
        }
        dict.set("Hardware", std::move(hardware));
    }
    if (!entry.driver.empty()) {
        const DriverState& d = entry.driver;
        cf::Dictionary driver;
        if (d.busyMilliseconds) driver.set("BusyMilliseconds", integer(*d.busyMilliseconds));
        if (d.refuseAfter) driver.set("RefuseAfter", integer(*d.refuseAfter));
        if (d.refuseCommands) {
            cf::Array codes;
            for (std::int64_t c : *d.refuseCommands) codes.push_back(integer(c));
            driver.set("RefuseCommands", std::move(codes));
        }
        if (d.acceptedCommands) driver.set("AcceptedCommands", integer(d.acceptedCommands));
        if (d.busyUntil) driver.set("BusyUntil", integer(d.busyUntil));
        dict.set("Driver", std::move(driver));
    }
    return dict;
}

}  // namespace

std::optional<Machine> machineFromPropertyList(const cf::Value& plist, std::string* error,
                                               std::optional<CheckpointMark>* mark) {
    const cf::Dictionary* top = plist.dictionary();
    if (!top) {
        if (error) *error = "the top level is not a dictionary";
        return std::nullopt;
    }
    Place root{};
    std::optional<std::int64_t> seq, journalOffset;
    std::optional<MachineHang> hung;
    bool asleep = false;
    for (const auto& [key, item] : top->items()) {
        if (key == "Seq" || key == "JournalOffset") {
            std::optional<std::int64_t> v = integerOf(&item);
            if (!v) {
                fail(error, root, key, "not an integer");
                return std::nullopt;
            }
            if (*v < 0) {
                fail(error, root, key, "negative");
                return std::nullopt;
            }
            (key == "Seq" ? seq : journalOffset) = *v;
        } else if (key == "Hung") {
            if (!readHang(item, root, hung.emplace(), error)) return std::nullopt;
        } else if (key == "Asleep") {
            if (!item.boolean()) {
                fail(error, root, key, "not a boolean");
                return std::nullopt;
            }
            asleep = *item.boolean();
        } else if (key != "Entries") {
            fail(error, root, key, "unknown key");
            return std::nullopt;
        }
    }
    if (journalOffset && !seq) {
        fail(error, root, "JournalOffset", "without \"Seq\"");
        return std::nullopt;
    }
    const cf::Value* entries = top->get("Entries");
    if (!entries) {
        fail(error, root, "Entries", "missing");
        return std::nullopt;
    }
    Machine machine;
    if (!readEntries(*entries, root, "Entries", "", machine.entries, error)) return std::nullopt;
    machine.hung = std::move(hung);
    machine.asleep = asleep;
    machine.forEachMutable([](const std::string&, RegistryEntry& entry) {
        if (entry.isClockDriver()) entry.properties.remove("RegValue");
    });
    if (mark) {
        mark->reset();
        if (seq)
            *mark = CheckpointMark{static_cast<std::uint64_t>(*seq),
                                   static_cast<std::uint64_t>(journalOffset.value_or(0))};
    }
    return machine;
}

cf::Value machineToPropertyList(const Machine& machine, const std::optional<CheckpointMark>& mark) {
    cf::Array entries;
    for (const RegistryEntry& entry : machine.entries)
        entries.push_back(entryToPropertyList(entry));
    cf::Dictionary top;
    if (mark) {
        top.set("Seq", integer(static_cast<std::int64_t>(mark->seq)));
        top.set("JournalOffset", integer(static_cast<std::int64_t>(mark->journalOffset)));
    }
    if (machine.hung) {
        cf::Dictionary hung;
        hung.set("Driver", machine.hung->driver);
        setClocks(hung, machine.hung->vpu, machine.hung->memory);
        hung.set("Seq", integer(static_cast<std::int64_t>(machine.hung->seq)));
        top.set("Hung", std::move(hung));
    }
    if (machine.asleep) top.set("Asleep", true);
    top.set("Entries", std::move(entries));
    return top;
}

std::optional<Machine> parseMachineFile(const std::filesystem::path& path, std::string_view bytes,
                                        std::string* error, std::optional<CheckpointMark>* mark) {
    std::string why;
    std::optional<cf::Value> plist = cf::parsePropertyList(bytes, &why);
    if (!plist) {
        if (error)
            *error =
                path.string() + ": not a property list" + (why.empty() ? "" : " (" + why + ")");
        return std::nullopt;
    }
    std::optional<Machine> machine = machineFromPropertyList(*plist, &why, mark);
    if (!machine && error) *error = path.string() + ": " + why;
    return machine;
}

std::optional<Machine> loadMachineFile(const std::filesystem::path& path, std::string* error) {
    bool absent = false;
    const std::optional<std::string> bytes =
        readRegularFile(path, Links::Follow, kMachineFileBytes, error, &absent);
    if (!bytes) {
        if (absent && error) *error = path.string() + ": no such file";
        return std::nullopt;
    }
    return parseMachineFile(path, *bytes, error, nullptr);
}

bool saveMachineFile(const std::filesystem::path& path, const Machine& machine,
                     std::string* error) {
    return writeFileAtomically(path, cf::toXMLPropertyList(machineToPropertyList(machine)), error);
}

}  // namespace host
