// The machine model: registry entries found by path, register keys, and a
// power cycle of the cards. Its property-list form is in MachineFile.cpp.
#include "host/Machine.h"

#include <chrono>

namespace host {

namespace {

constexpr std::string_view kUpperHex = "0123456789ABCDEF";

template <typename Entries, typename Visit>
void visitEntries(Entries& entries, const std::string& parent, const Visit& visit) {
    for (auto& entry : entries) {
        std::string path = parent.empty() ? entry.name : parent + "/" + entry.name;
        visit(path, entry);
        visitEntries(entry.children, path, visit);
    }
}

template <typename EntryT>
EntryT* findIn(std::vector<EntryT>& entries, std::string_view path) {
    std::size_t slash = path.find('/');
    std::string_view head = path.substr(0, slash);
    for (auto& entry : entries) {
        if (entry.name != head) continue;
        if (slash == std::string_view::npos) return &entry;
        return findIn(entry.children, path.substr(slash + 1));
    }
    return nullptr;
}

}  // namespace

std::string registerKey(std::uint32_t offset) {
    std::string digits;
    do {
        digits.insert(digits.begin(), kUpperHex[offset & 0xF]);
        offset >>= 4;
    } while (offset != 0);
    return "0x" + digits;
}

std::optional<std::string> canonicalRegisterKey(std::string_view key) {
    if (key == kPLLRegisterKey) return std::string(kPLLRegisterKey);
    if (key.size() < 3 || key[0] != '0' || (key[1] != 'x' && key[1] != 'X')) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : key.substr(2)) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFULL) return std::nullopt;
    }
    return registerKey(static_cast<std::uint32_t>(value));
}

bool RegisterKeyLess::operator()(const std::string& a, const std::string& b) const {
    bool aPLL = a == kPLLRegisterKey, bPLL = b == kPLLRegisterKey;
    if (aPLL || bPLL) return aPLL && !bPLL;
    // Canonical keys have no leading zeros, so the shorter is the smaller.
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

const char* hardwareKindName(HardwareKind kind) {
    return kind == HardwareKind::ATI ? "ATI" : "NVIDIA";
}

std::uint32_t Hardware::read(const std::string& key) const {
    auto it = registers.find(key);
    return it == registers.end() ? 0 : it->second;
}

bool DriverState::empty() const {
    return !busyMilliseconds && !refuseAfter && !refuseCommands && acceptedCommands == 0 &&
           busyUntil == 0;
}

const RegistryEntry* Machine::find(std::string_view path) const {
    return findIn(const_cast<std::vector<RegistryEntry>&>(entries), path);
}

RegistryEntry* Machine::find(std::string_view path) { return findIn(entries, path); }

void Machine::forEach(
    const std::function<void(const std::string&, const RegistryEntry&)>& visit) const {
    visitEntries(entries, "", visit);
}

void Machine::forEachMutable(const std::function<void(const std::string&, RegistryEntry&)>& visit) {
    visitEntries(entries, "", visit);
}

std::vector<std::string> Machine::driverPaths() const {
    std::vector<std::string> paths;
    forEach([&](const std::string& path, const RegistryEntry& entry) {
        if (entry.isClockDriver()) paths.push_back(path);
    });
    return paths;
}

std::size_t Machine::powerOnCards() {
    std::size_t cards = 0;
    forEachMutable([&](const std::string&, RegistryEntry& entry) {
        if (!entry.hardware) return;
        entry.hardware->registers = entry.hardware->powerOn;
        entry.driver.acceptedCommands = 0;
        entry.driver.busyUntil = 0;
        entry.properties.remove("RegValue");
        ++cards;
    });
    return cards;
}

std::optional<std::string> parentPath(std::string_view path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::nullopt;
    return std::string(path.substr(0, slash));
}

std::int64_t wallClockMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace host
