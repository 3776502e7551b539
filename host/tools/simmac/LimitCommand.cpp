// simmac limit: show or change the clocks a card holds stably, above which
// a write hangs the machine.
#include "SimmacCommands.h"

namespace simmac {

namespace {

std::string describe(const host::ClockLimits& limits) {
    auto clock = [](const char* name, const std::optional<double>& limit) {
        return std::string(name) + " " + (limit ? mhz(*limit) : std::string("no limit"));
    };
    return clock("core", limits.vpu) + ", " + clock("memory", limits.memory);
}

}  // namespace

int setLimits(const std::string& driver, const LimitOptions& options) {
    return changeDriverEntry(
        driver,
        [&](host::RegistryEntry& entry) {
            host::ClockLimits& limits = entry.hardware->limits;
            if (options.clear) limits = host::ClockLimits{};
            if (options.vpu) limits.vpu = *options.vpu;
            if (options.memory) limits.memory = *options.memory;
            return options.clear || options.vpu || options.memory;
        },
        [](const host::RegistryEntry& entry) { return describe(entry.hardware->limits); });
}

}  // namespace simmac
