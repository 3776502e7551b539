// The clock driver's rules as the design describes them, written out here
// rather than taken from the host, so that a mistake in the host's driver
// shows: which commands a driver accepts, what an accepted one changes and
// what a read publishes. The boundary test and the driver fuzzer both check
// the host against it (no GoogleTest here: the fuzzer links it too).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "host/CoreFoundation.h"

namespace driverrules {

// The registers each vendor's driver reads and writes.
inline constexpr std::array<std::uint32_t, 3> kATIReads{0xF8, 0x140, 0x158};
inline constexpr std::array<std::uint32_t, 7> kNVIDIAReads{0x101000, 0x4000,   0x4004,  0x4020,
                                                           0x4024,   0x680500, 0x680504};
inline constexpr std::array<std::uint32_t, 12> kNVIDIAWrites{0x4000, 0x4004, 0x4020,   0x4024,
                                                             0x402C, 0x4030, 0x4038,   0x403C,
                                                             0x4044, 0x4048, 0x680500, 0x680504};

template <std::size_t N>
bool listed(const std::array<std::uint32_t, N>& list, std::uint32_t offset) {
    return std::find(list.begin(), list.end(), offset) != list.end();
}

// An ATI PLL word holds the reference, memory and core dividers in its low
// three bytes; none may be zero.
inline bool hasZeroDivider(std::uint32_t word) {
    return (word & 0xFF) == 0 || (word & 0xFF00) == 0 || (word & 0xFF0000) == 0;
}

// A register's key in a machine file: "PLL" for the ATI divider word, else
// "0x" and upper-case hex digits.
inline std::string registerKey(std::uint32_t offset) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", offset);
    return text;
}

// Whether an accepted command may ever change the register `key`.
inline bool writable(bool ati, const std::string& key) {
    if (ati) return key == "PLL";
    return std::any_of(kNVIDIAWrites.begin(), kNVIDIAWrites.end(),
                       [&](std::uint32_t offset) { return registerKey(offset) == key; });
}

// What a driver must do with a command it accepts.
struct Accepted {
    std::int64_t command = 0;
    std::optional<std::pair<std::string, std::uint32_t>> write;  // the register and what it holds
    std::optional<std::string> read;                             // the register "RegValue" shows
};

inline std::optional<std::int64_t> integerOf(const cf::Dictionary& dict, const char* key) {
    const cf::Value* value = dict.get(key);
    if (!value || !value->number() || value->number()->isReal()) return std::nullopt;
    return value->number()->int64Value();
}

// What a driver of an ATI (else NVIDIA) card does with `properties`:
// nothing when it must refuse. Arguments are 32-bit words: the driver takes
// the low word of a wider integer.
inline std::optional<Accepted> accepted(bool ati, const cf::Value& properties) {
    const cf::Dictionary* dict = properties.dictionary();
    if (!dict) return std::nullopt;
    const std::optional<std::int64_t> code = integerOf(*dict, "Command");
    const std::optional<std::int64_t> argument = integerOf(*dict, "Argument");
    const std::optional<std::int64_t> argument2 = integerOf(*dict, "Argument2");
    if (!code || !argument) return std::nullopt;
    const auto word = static_cast<std::uint32_t>(*argument);
    Accepted done{*code, std::nullopt, std::nullopt};
    switch (*code) {
    case 0:
        if (!ati) return std::nullopt;
        done.read = "PLL";
        return done;
    case 1:
        if (!ati || !listed(kATIReads, word)) return std::nullopt;
        done.read = registerKey(word);
        return done;
    case 2:
        if (!ati || hasZeroDivider(word)) return std::nullopt;
        done.write = {"PLL", word & 0xFFFFFF};
        return done;
    case 11:
        if (ati || !listed(kNVIDIAReads, word)) return std::nullopt;
        done.read = registerKey(word);
        return done;
    case 12:
        if (ati || !argument2 || !listed(kNVIDIAWrites, word)) return std::nullopt;
        done.write = {registerKey(word), static_cast<std::uint32_t>(*argument2)};
        return done;
    default: return std::nullopt;
    }
}

}  // namespace driverrules
