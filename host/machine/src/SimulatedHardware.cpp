// Register files of the simulated cards and the clocks their PLLs produce.
#include "host/SimulatedHardware.h"

#include <algorithm>
#include <array>

namespace host {

namespace {

constexpr std::array<std::uint32_t, 3> kATIReadable{0xF8, 0x140, 0x158};
constexpr std::array<std::uint32_t, 7> kNVIDIAReadable{0x101000, 0x4000,   0x4004,  0x4020,
                                                       0x4024,   0x680500, 0x680504};
constexpr std::array<std::uint32_t, 12> kNVIDIAWritable{0x4000, 0x4004, 0x4020,   0x4024,
                                                        0x402C, 0x4030, 0x4038,   0x403C,
                                                        0x4044, 0x4048, 0x680500, 0x680504};
constexpr std::array<std::uint16_t, 7> kNV4xDevices{0x0040, 0x0041, 0x0045, 0x0092,
                                                    0x009D, 0x00F2, 0x0141};

template <typename List, typename T>
bool listed(const List& list, T value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

bool atiReadableRegister(std::uint32_t offset) { return listed(kATIReadable, offset); }
bool nvidiaReadableRegister(std::uint32_t offset) { return listed(kNVIDIAReadable, offset); }
bool nvidiaWritableRegister(std::uint32_t offset) { return listed(kNVIDIAWritable, offset); }
bool isNV4xDevice(std::uint16_t deviceID) { return listed(kNV4xDevices, deviceID); }

ATIDividers atiDividers(std::uint32_t pllWord) {
    return ATIDividers{static_cast<std::uint8_t>(pllWord & 0xFF),
                       static_cast<std::uint8_t>((pllWord >> 8) & 0xFF),
                       static_cast<std::uint8_t>((pllWord >> 16) & 0xFF)};
}

std::uint32_t atiPLLWord(const ATIDividers& d) {
    return static_cast<std::uint32_t>(d.refDiv) | static_cast<std::uint32_t>(d.memFBDiv) << 8 |
           static_cast<std::uint32_t>(d.vpuFBDiv) << 16;
}

std::int32_t nvidiaCrystalKHz(std::uint32_t strap, bool nv4x) {
    if (nv4x) return (strap & 0x400000) ? 27000 : 0;
    return (strap & 0x40) ? 14318 : 13500;
}

std::optional<std::int32_t> nvidiaPreNV4xKHz(std::uint32_t pllWord, std::int32_t refClockKHz) {
    std::int32_t m = static_cast<std::int32_t>(pllWord & 0xFF);
    std::int32_t n = static_cast<std::int32_t>((pllWord >> 8) & 0xFF);
    std::int32_t p = static_cast<std::int32_t>((pllWord >> 16) & 0xF);
    if (m == 0) return std::nullopt;
    // N <= 255 and the crystal <= 27000 kHz keep the product inside 32 bits.
    return ((n * refClockKHz) / m) >> p;
}

std::optional<std::int32_t> nvidiaNV4xKHz(std::uint32_t control, std::uint32_t coefficients,
                                          std::int32_t refClockKHz) {
    std::int32_t p = static_cast<std::int32_t>((control >> 16) & 0x3);
    std::int32_t m = static_cast<std::int32_t>(coefficients & 0xFF);
    std::int32_t n = static_cast<std::int32_t>((coefficients >> 8) & 0xFF);
    std::int32_t m2 = static_cast<std::int32_t>((coefficients >> 16) & 0xFF);
    std::int32_t n2 = static_cast<std::int32_t>((coefficients >> 24) & 0xFF);
    if (m == 0 || m2 == 0) return std::nullopt;
    // The card multiplies in 32 bits and wraps; unsigned arithmetic gives the
    // same bits without undefined behaviour.
    std::uint32_t product = static_cast<std::uint32_t>(n2) * static_cast<std::uint32_t>(n) *
                            static_cast<std::uint32_t>(refClockKHz);
    return (static_cast<std::int32_t>(product) / (m2 * m)) >> p;
}

}  // namespace host
