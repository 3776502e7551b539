// Builders of what a test writes into its simulated Mac: machine files
// (registry entries, clock drivers with their faults and limits, ATI and
// NVIDIA cards as the Mac describes them) and the pane's saved settings.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/CoreFoundation.h"

namespace testsupport {

using Registers = std::map<std::string, std::uint32_t>;

inline constexpr const char* kDriverName = "name_halvorn_oddny_TarnwickDriver";
// The path of the clock driver under the top-level entry `entryName`.
inline std::string driverPath(const std::string& entryName) {
    // Appended in place: GCC 12 at -O2 -g takes `entryName + "/" + ...`
    // for a copy out of bounds (-Warray-bounds, a false positive).
    std::string path = entryName;
    path.append("/").append(kDriverName);
    return path;
}

cf::Data dataU32(std::uint32_t value);       // 4 bytes, little endian, as the Mac stores ids
cf::Data dataText(const std::string& text);  // the bytes and a terminating zero byte
inline cf::Value integer(std::int64_t v) { return cf::CFNumberCreate(cf::kCFNumberIntType, v); }
inline cf::Dictionary with(cf::Dictionary dict, const char* key, cf::Value value) {
    dict.set(key, std::move(value));
    return dict;
}
inline cf::Dictionary without(cf::Dictionary dict, const char* key) {
    dict.remove(key);
    return dict;
}

// The keys of a dictionary, in order.
inline std::vector<std::string> keysOf(const cf::Dictionary& dict) {
    std::vector<std::string> keys;
    for (const auto& item : dict.items()) keys.push_back(item.first);
    return keys;
}

cf::Dictionary entry(const std::string& name, cf::Dictionary properties,
                     std::vector<cf::Dictionary> children = {});
// A driver's "Driver" faults; each one given is set.
struct DriverFaults {
    std::optional<std::int64_t> busyMilliseconds = std::nullopt;
    std::optional<std::int64_t> refuseAfter = std::nullopt;
    std::vector<std::int64_t> refuseCommands = {};
};
cf::Dictionary driverFaults(const DriverFaults& faults);
// A clock driver instance: "Hardware" of `kind` ("ATI" or "NVIDIA") with
// `registers` ("PLL" or "0x..." hex keys), PowerOn the same values.
cf::Dictionary driverEntry(const std::string& kind, const Registers& registers,
                           std::optional<cf::Dictionary> faults = std::nullopt);
// The driver entry with its card's "Limits" (MHz): a write above them hangs
// the machine and ends the process that sent it.
cf::Dictionary withLimits(cf::Dictionary driver, double vpuMHz, double memoryMHz);
cf::Value machine(std::vector<cf::Dictionary> topLevelEntries);
// A device entry named `name` of `vendor` (its "name" property too), with
// the driver beneath it.
cf::Dictionary cardEntry(const std::string& name, std::uint32_t vendor, cf::Dictionary driver,
                         const std::string& slot = "");

// A card of a vendor no card class serves (Matrox) in `slot`, with a clock
// driver beneath it.
cf::Dictionary otherVendorCard(const std::string& entryName, const std::string& slot);

// ATI cards. The PLL divider word: reference divider, memory and core
// feedback dividers.
inline constexpr std::uint32_t pllWord(std::uint8_t refDiv, std::uint8_t memFBDiv,
                                       std::uint8_t vpuFBDiv) {
    return refDiv + (std::uint32_t{memFBDiv} << 8) + (std::uint32_t{vpuFBDiv} << 16);
}
// One ATI card of a machine file, texts stored as the Mac stores them (data
// with a terminating zero byte).
struct ATIDevice {
    // (Every member has its default, so that designated initializers may
    // name only some.)
    std::string entryName = "ATY,Card";
    std::uint16_t deviceID = 0x4E48;  // factor 1 for both clocks
    std::optional<std::string> rom = std::nullopt;
    std::optional<std::string> model = std::string("ATY,TestCard");  // the "model" property
    std::optional<std::string> name = std::nullopt;
    std::optional<std::string> slotName = std::string("SLOT-1");
    bool agpMaster = false;
    // Firmware clocks in kHz.
    std::optional<std::uint32_t> sclk = std::nullopt, mclk = std::nullopt, refclk = std::nullopt;
    std::uint32_t pll = pllWord(12, 100, 100);  // 225 MHz / 225 MHz at 27 MHz
    Registers registers = {};                   // besides "PLL"
    std::optional<cf::Dictionary> faults = std::nullopt;
    cf::Dictionary extraProperties = {};
    std::optional<std::pair<double, double>> limits = std::nullopt;  // VPU, memory (withLimits)
};
cf::Dictionary atiEntry(const ATIDevice& device);
cf::Value atiMachine(const std::vector<ATIDevice>& devices);
inline std::string driverPath(const ATIDevice& device) { return driverPath(device.entryName); }

// NVIDIA cards. An NV4x card at power-on: 27 MHz strap, core 405 MHz (P = 1,
// M = 1, N = 15, M2 = 1, N2 = 2), memory 351 MHz (P = 1, M = 1, N = 13,
// M2 = 1, N2 = 2); the control words have bit 31 set, which must survive
// every round trip.
inline constexpr std::uint32_t kNV4xCoreControl = 0x80010A05;
inline constexpr std::uint32_t kNV4xCoreCoefficients = 0x02010F01;
inline constexpr std::uint32_t kNV4xMemoryControl = 0x80010E0C;
inline constexpr std::uint32_t kNV4xMemoryCoefficients = 0x02010D01;
// An NV4x coefficient word of M, N, M2 and N2.
inline constexpr std::uint32_t coefficients(std::uint32_t m, std::uint32_t n, std::uint32_t m2,
                                            std::uint32_t n2) {
    return m | n << 8 | m2 << 16 | n2 << 24;
}
// A pre-NV4x card at power-on: core M = 1, N = 37, P = 1; memory M = 1,
// N = 30, P = 0 (249.75 and 405 MHz on the 13.5 MHz crystal).
inline constexpr std::uint32_t kPreCorePLL = 0x00012501;
inline constexpr std::uint32_t kPreMemoryPLL = 0x00001E01;
Registers nv4xRegisters(std::uint32_t strap = 0x00400000);
Registers preNV4xRegisters(std::uint32_t strap = 0);
// A top-level NVIDIA device entry with its driver beneath.
cf::Dictionary nvidiaEntry(const std::string& entryName, std::uint32_t deviceID,
                           const std::string& slot, const Registers& registers,
                           std::optional<cf::Dictionary> faults = std::nullopt,
                           std::optional<std::string> model = std::string("NVIDIA GeForce"));

// The pane's saved settings: one card's entry ("Slot", "Model", "VPU",
// "Memory" and the stock clocks given, as floats) and the domain.
cf::Dictionary savedCardEntry(const std::string& slot, const std::string& model, float vpu,
                              float memory, std::optional<float> stockVPU = std::nullopt,
                              std::optional<float> stockMemory = std::nullopt);
cf::Dictionary savedDomain(bool setAtStartup, std::vector<cf::Dictionary> entries);

}  // namespace testsupport
