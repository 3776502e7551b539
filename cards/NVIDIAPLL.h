// NVIDIA PLL arithmetic: the register word layouts, the frequencies the words
// produce and the searches for the words of a requested frequency. Pure
// arithmetic; the card (NVIDIACard) owns the hardware side.
#pragma once

#include <cstdint>
#include <optional>

namespace NVIDIAPLL {

// Pre-NV4x PLL word: M in bits 0-7, N in 8-15, P in 16-19.
constexpr std::uint8_t wordM(std::uint32_t word) { return word & 0xFF; }
constexpr std::uint8_t wordN(std::uint32_t word) { return (word >> 8) & 0xFF; }
constexpr std::uint8_t wordP(std::uint32_t word) { return (word >> 16) & 0xF; }

// NV4x control word: only P, in bits 16-17, is interpreted.
constexpr std::uint8_t controlP(std::uint32_t control) { return (control >> 16) & 0x3; }
constexpr std::uint32_t kControlPMask = 0x3u << 16;

// NV4x coefficient word: M in bits 0-7, N in 8-15, M2 in 16-23, N2 in 24-31.
constexpr std::uint8_t coefficientM(std::uint32_t word) { return word & 0xFF; }
constexpr std::uint8_t coefficientN(std::uint32_t word) { return (word >> 8) & 0xFF; }
constexpr std::uint8_t coefficientM2(std::uint32_t word) { return (word >> 16) & 0xFF; }
constexpr std::uint8_t coefficientN2(std::uint32_t word) { return (word >> 24) & 0xFF; }

// Frequencies in kHz, in the card's own signed 32-bit arithmetic (truncating
// division, then a shift right by P). A zero divider field gives 0 instead
// of a division by zero.
std::int32_t singleStageFrequency(std::uint32_t word, std::uint16_t refClock);
std::int32_t twoStageFrequency(std::uint32_t coefficients, std::uint8_t p, std::uint16_t refClock);
// kHz to MHz in single precision.
float megahertz(std::int32_t kilohertz);

// Pre-NV4x search: odd M (1, 3, ... 255) outside, N (1 ... 255) inside; the
// first word whose frequency lies within 0.5 % of the target. 0 when no
// pair gets there (also for a target of 0, a negative or NaN target, a
// post divider that does not fit the word's four bits, or refClock 0).
std::uint32_t searchSingleStage(float targetKHz, std::uint8_t p, std::uint16_t refClock);

struct TwoStageWords {
    std::uint32_t pll1;  // control word: origPLL1 with P replaced
    std::uint32_t pll2;  // coefficient word
};

// NV4x search over m, m2 (1 ... 4) and n (1 ... 31), n2 derived; writes the
// search start line and one line per candidate that passes the constraints.
// The first candidate within 0.5 % wins, else the closest (the first among
// equals). Nothing when no candidate passed (targets too high for any n2,
// targets outside 0 ... 2^31 kHz, NaN, p above 3, refClock 0).
std::optional<TwoStageWords> searchTwoStage(float targetKHz, std::uint8_t p, std::uint32_t origPLL1,
                                            std::uint16_t refClock);

}  // namespace NVIDIAPLL
