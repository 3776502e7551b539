// Finding the clock driver that a simmac argument names.
#include "SimmacCommands.h"

namespace simmac {

namespace {

std::string textProperty(const host::RegistryEntry& entry, const char* key) {
    const cf::Value* value = entry.properties.get(key);
    if (!value) return {};
    if (const std::string* s = value->string()) return *s;
    const cf::Data* data = value->data();
    if (!data) return {};
    std::string text(data->begin(), data->end());
    return text.substr(0, text.find('\0'));
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::optional<std::string> resolveDriver(const host::Machine& machine, const std::string& driver,
                                         std::string* error) {
    std::string wanted = driver;
    if (startsWith(wanted, "IOService:")) wanted.erase(0, 10);
    while (!wanted.empty() && wanted.front() == '/') wanted.erase(0, 1);
    std::vector<std::string> paths = machine.driverPaths();
    for (const std::string& path : paths)
        if (path == wanted) return path;

    std::vector<std::string> matches;
    for (const std::string& path : paths) {
        std::optional<std::string> cardPath = host::parentPath(path);
        const host::RegistryEntry* card = cardPath ? machine.find(*cardPath) : nullptr;
        bool named =
            !wanted.empty() && (startsWith(path, wanted) ||
                                (card && (startsWith(card->name, wanted) || *cardPath == wanted ||
                                          textProperty(*card, "name") == wanted ||
                                          textProperty(*card, "AAPL,slot-name") == wanted)));
        if (named) matches.push_back(path);
    }
    if (matches.size() == 1) return matches.front();
    if (error) {
        if (matches.empty()) {
            *error = "no clock driver matches \"" + driver + "\"; the drivers are:";
            for (const std::string& path : paths) *error += "\n  " + path;
        } else {
            *error = "\"" + driver + "\" matches more than one clock driver:";
            for (const std::string& path : matches) *error += "\n  " + path;
        }
    }
    return std::nullopt;
}

}  // namespace simmac
