// simmac limit: show or change the clocks a card holds stably, above which
// a write hangs the machine.
#include <cstdio>
#include <iostream>

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
    std::string error;
    std::string path;
    host::ClockLimits after;
    bool done = host::updateMachine(
        [&](host::Machine& machine) {
            std::optional<std::string> found = resolveDriver(machine, driver, &error);
            if (!found) return false;
            path = *found;
            host::ClockLimits& limits = machine.find(path)->hardware->limits;
            const bool changing = options.clear || options.vpu || options.memory;
            if (options.clear) limits = host::ClockLimits{};
            if (options.vpu) limits.vpu = *options.vpu;
            if (options.memory) limits.memory = *options.memory;
            after = limits;
            return changing;
        },
        &error);
    if (!done || path.empty()) {
        std::cerr << "simmac: " << error << "\n";
        return 1;
    }
    std::cout << path << ": " << describe(after) << "\n";
    return 0;
}

}  // namespace simmac
