// The simulated graphics cards: which registers a clock driver answers for
// each family, and the clocks that their PLL words produce.
#pragma once

#include <cstdint>
#include <optional>

namespace host {

// Registers the clock driver reads and writes, by byte offset.
bool atiReadableRegister(std::uint32_t offset);     // 0xF8, 0x140, 0x158
bool nvidiaReadableRegister(std::uint32_t offset);  // strap and PLL words
bool nvidiaWritableRegister(std::uint32_t offset);  // PLL words only

// Register offsets of the NVIDIA cards.
inline constexpr std::uint32_t kNVStrap = 0x101000;
inline constexpr std::uint32_t kNVCoreControl = 0x4000;
inline constexpr std::uint32_t kNVCoreCoefficients = 0x4004;
inline constexpr std::uint32_t kNVMemControl = 0x4020;
inline constexpr std::uint32_t kNVMemCoefficients = 0x4024;
inline constexpr std::uint32_t kNVCorePLL = 0x680500;
inline constexpr std::uint32_t kNVMemPLL = 0x680504;

// ATI PLL divider word: reference divider in bits 0-7, memory feedback
// divider in bits 8-15, core feedback divider in bits 16-23.
struct ATIDividers {
    std::uint8_t refDiv = 0;
    std::uint8_t memFBDiv = 0;
    std::uint8_t vpuFBDiv = 0;
};
ATIDividers atiDividers(std::uint32_t pllWord);
std::uint32_t atiPLLWord(const ATIDividers& dividers);

// NVIDIA cards with the two-stage PLL layout, by PCI device id.
bool isNV4xDevice(std::uint16_t deviceID);
// The reference crystal in kHz the strap register selects; 0 for an NV4x
// card whose strap lacks bit 22.
std::int32_t nvidiaCrystalKHz(std::uint32_t strap, bool nv4x);
// Clocks in kHz, in signed 32-bit integer arithmetic as the card computes
// them; nothing when a divider field is 0.
std::optional<std::int32_t> nvidiaPreNV4xKHz(std::uint32_t pllWord, std::int32_t refClockKHz);
std::optional<std::int32_t> nvidiaNV4xKHz(std::uint32_t control, std::uint32_t coefficients,
                                          std::int32_t refClockKHz);

}  // namespace host
