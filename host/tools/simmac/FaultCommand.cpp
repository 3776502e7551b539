// simmac fault: set or clear the simulated faults of one driver instance.
#include <iostream>

#include "SimmacCommands.h"

namespace simmac {

namespace {

std::string describe(const host::DriverState& state) {
    std::string text;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (state.busyMilliseconds)
        add("busy " + std::to_string(*state.busyMilliseconds) + " ms after each write");
    if (state.refuseAfter)
        add("refuses after " + std::to_string(*state.refuseAfter) + " accepted commands");
    if (state.refuseCommands) {
        std::string codes;
        for (std::int64_t c : *state.refuseCommands)
            codes += (codes.empty() ? "" : ", ") + std::to_string(c);
        add("refuses commands " + (codes.empty() ? std::string("(none)") : codes));
    }
    return text.empty() ? "no faults" : text;
}

// The ranges in which the faults mean something: a busy time of up to a
// day, a count of accepted commands in 31 bits, the one-byte command codes.
constexpr std::int64_t kMaxBusyMilliseconds = 24LL * 60 * 60 * 1000;
constexpr std::int64_t kMaxRefuseAfter = 0x7FFFFFFF;
constexpr std::int64_t kMaxCommandCode = 255;

// The first option outside its range, described; empty when all are within.
std::string outOfRange(const FaultOptions& options) {
    const auto within = [](std::int64_t value, std::int64_t max) {
        return value >= 0 && value <= max;
    };
    if (options.busyMilliseconds && !within(*options.busyMilliseconds, kMaxBusyMilliseconds))
        return "--busy takes 0 to " + std::to_string(kMaxBusyMilliseconds) + " ms (one day)";
    if (options.refuseAfter && !within(*options.refuseAfter, kMaxRefuseAfter))
        return "--refuse-after takes 0 to " + std::to_string(kMaxRefuseAfter);
    if (options.refuseCommands)
        for (std::int64_t code : *options.refuseCommands)
            if (!within(code, kMaxCommandCode))
                return "--refuse takes command codes 0 to " + std::to_string(kMaxCommandCode) +
                       ", not " + std::to_string(code);
    return {};
}

}  // namespace

int setFaults(const std::string& driver, const FaultOptions& options) {
    if (const std::string problem = outOfRange(options); !problem.empty()) {
        std::cerr << "simmac: " << problem << "\n";
        return 1;
    }
    return changeDriverEntry(
        driver,
        [&](host::RegistryEntry& entry) {
            host::DriverState& state = entry.driver;
            const bool changing = options.clear || options.busyMilliseconds ||
                                  options.refuseAfter || options.refuseCommands;
            if (changing) {
                if (options.clear) state = host::DriverState{};
                if (options.busyMilliseconds) state.busyMilliseconds = *options.busyMilliseconds;
                if (options.refuseAfter) state.refuseAfter = *options.refuseAfter;
                if (options.refuseCommands) state.refuseCommands = *options.refuseCommands;
                // New faults count from now on.
                state.acceptedCommands = 0;
                state.busyUntil = 0;
            }
            return changing;
        },
        [](const host::RegistryEntry& entry) { return describe(entry.driver); });
}

}  // namespace simmac
