// Finding the clock driver that a simmac argument names: by its path, or by
// the names a person sees for its card, among them the slot and the row the
// pane lists it under.
#include <algorithm>
#include <cstring>

#include "SimmacCommands.h"
#include "host/Foundation.h"
#include "host/SimMac.h"

namespace simmac {

namespace {

// The vendors whose cards the pane lists (PCI vendor ids).
constexpr std::uint32_t kATIVendor = 0x1002;
constexpr std::uint32_t kNVIDIAVendor = 0x10DE;

std::string textProperty(const host::RegistryEntry& entry, const char* key) {
    const cf::Value* value = entry.properties.get(key);
    if (!value) return {};
    if (const std::string* s = value->string()) return s->substr(0, s->find('\0'));
    const cf::Data* data = value->data();
    if (!data) return {};
    std::string text(data->begin(), data->end());
    return text.substr(0, text.find('\0'));
}

// As the Mac stores ids: up to four bytes, little endian; or a number.
std::uint32_t u32Property(const host::RegistryEntry& entry, const char* key) {
    const cf::Value* value = entry.properties.get(key);
    if (!value) return 0;
    if (const cf::Number* number = value->number()) return number->uint32Value();
    const cf::Data* data = value->data();
    std::uint32_t result = 0;
    if (data) std::memcpy(&result, data->data(), std::min<std::size_t>(data->size(), 4));
    return result;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The slot text of a card in no AGP and no named slot: the installed pane's,
// as the pane shows it, or its English text when no pane is installed.
const std::string& builtInSlotText() {
    static const std::string text = [] {
        const auto pane = NSBundle::bundleWithPath(
            (host::preferencePanesDir() / "TarnwickPref.prefPane").string());
        return pane ? pane->localizedStringForKey("BUILT-IN_CARD", "Built-in")
                    : std::string("Built-in");
    }();
    return text;
}

// A clock driver with its card as the pane would list it.
struct DriverCard {
    std::string path;
    const host::RegistryEntry* card = nullptr;  // the parent entry
    std::optional<std::string> cardPath;
    std::optional<int> row;  // the pane's row, counted from 0 as tarnwickctl shows rows
    std::string slot;        // as the pane shows it; empty for a card the pane does not list
};

std::vector<DriverCard> driverCards(const host::Machine& machine) {
    std::vector<DriverCard> drivers;
    int rows = 0;
    for (const std::string& path : machine.driverPaths()) {
        DriverCard d;
        d.path = path;
        d.cardPath = host::parentPath(path);
        d.card = d.cardPath ? machine.find(*d.cardPath) : nullptr;
        // The pane's cards: a driver under a card entry of a vendor it serves,
        // in the order name matching finds the drivers.
        const std::uint32_t vendor = d.card ? u32Property(*d.card, "vendor-id") : 0;
        if (vendor == kATIVendor || vendor == kNVIDIAVendor) {
            d.row = rows++;
            if (d.card->properties.get("AGP_Master") || d.card->properties.get("IOAGPCommandValue"))
                d.slot = "AGP";
            else if (d.card->properties.get("AAPL,slot-name"))
                d.slot = textProperty(*d.card, "AAPL,slot-name");
            else
                d.slot = builtInSlotText();
        }
        drivers.push_back(std::move(d));
    }
    return drivers;
}

std::optional<int> rowNumber(const std::string& text) {
    if (text.empty() || text.size() > 6) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    return std::stoi(text);
}

bool names(const DriverCard& d, const std::string& wanted) {
    if (wanted.empty()) return false;
    if (startsWith(d.path, wanted)) return true;
    if (d.row && (d.slot == wanted || d.row == rowNumber(wanted))) return true;
    return d.card && (startsWith(d.card->name, wanted) || *d.cardPath == wanted ||
                      textProperty(*d.card, "name") == wanted ||
                      textProperty(*d.card, "AAPL,slot-name") == wanted);
}

std::string describe(const DriverCard& d) {
    std::string line = "\n  " + d.path;
    if (d.row) line += "  (row " + std::to_string(*d.row) + ", slot " + d.slot + ")";
    return line;
}

}  // namespace

std::optional<std::string> resolveDriver(const host::Machine& machine, const std::string& driver,
                                         std::string* error) {
    std::string wanted = driver;
    if (startsWith(wanted, "IOService:")) wanted.erase(0, 10);
    while (!wanted.empty() && wanted.front() == '/') wanted.erase(0, 1);
    const std::vector<DriverCard> drivers = driverCards(machine);
    for (const DriverCard& d : drivers)
        if (d.path == wanted) return d.path;

    std::vector<const DriverCard*> matches;
    for (const DriverCard& d : drivers)
        if (names(d, wanted)) matches.push_back(&d);
    if (matches.size() == 1) return matches.front()->path;
    if (error) {
        if (matches.empty()) {
            *error = "no clock driver matches \"" + driver + "\"; the drivers are:";
            for (const DriverCard& d : drivers) *error += describe(d);
        } else {
            *error = "\"" + driver + "\" matches more than one clock driver:";
            for (const DriverCard* d : matches) *error += describe(*d);
        }
    }
    return std::nullopt;
}

}  // namespace simmac
