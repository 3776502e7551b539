// simmac limit: show or change the clocks a card holds stably, above which
// a write hangs the machine.
#include <cstdio>

#include "SimmacCommands.h"

namespace simmac {

namespace {

std::string describe(const host::ClockLimits& limits) {
    auto clock = [](const char* name, const std::optional<double>& mhz) {
        char text[64] = "no limit";
        if (mhz) std::snprintf(text, sizeof text, "%.3f MHz", *mhz);
        return std::string(name) + " " + text;
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
