// The clocks a simulated card runs at: what its PLL registers produce from
// the reference clock its entry states. `simmac show` prints them, and the
// clock driver holds them against the card's limits.
#pragma once

#include <optional>
#include <string>

#include "host/Machine.h"

namespace host {

// MHz; nothing for a clock whose PLL is stopped (a divider of 0, or no
// crystal).
struct CardClocks {
    std::optional<double> vpu;
    std::optional<double> memory;
};

// An ATI card's reference clock in MHz: "ATY,RefCLK" in kHz (tenths of that
// on X1 cards), 27 MHz when the card does not say.
double atiReferenceMHz(const RegistryEntry* card);
// Whether an NVIDIA card has the two-stage PLLs: by its "device-id", else,
// without one, by whether it has the NV4x coefficient register.
bool usesNV4xPLLs(const Hardware& hardware, const RegistryEntry* card);

// `card` is the device entry above the driver, or nullptr.
CardClocks cardClocks(const Hardware& hardware, const RegistryEntry* card);
// The clocks of the card behind the driver at `driverPath`; nothing at all
// when there is no such driver.
CardClocks cardClocks(const Machine& machine, const std::string& driverPath);

// Whether a clock lies above its limit.
bool exceedsLimits(const CardClocks& clocks, const ClockLimits& limits);

}  // namespace host
