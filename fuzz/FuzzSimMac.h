// The simulated Mac every fuzz target runs on: one temporary SIMMAC_ROOT per
// process holding the default machine without its cards' limits (so no
// input can hang it), put back to its first state before each input, and
// the checks of what the clock drivers may have changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/Machine.h"

namespace fuzzsupport {

// Creates the temporary root (removed at exit), points SIMMAC_ROOT at it and
// writes the default machine without limits. Safe to call more than once.
void initSimMac();

// Before each input: the default machine's checkpoint back in place (only
// when an input wrote another), the driver log rewound to it (emptied) and
// no system log.
void resetSimMac();

// The machine as it was first written.
const host::Machine& pristineMachine();

// What the drivers of `now` may differ in from the default machine: only
// registers on the write lists (the ATI PLL word; the NVIDIA PLL words),
// "RegValue" and the drivers' own state; an ATI PLL word never has a zero
// divider. Empty when `now` keeps to that, else what it broke.
std::string driverInvariantViolation(const host::Machine& now);

// Reads the machine as it is now and checks driverInvariantViolation; aborts the
// process (a crash for libFuzzer) with a message when anything is wrong.
void checkMachineOrAbort(std::string_view context);

// Equal as property lists, written out; unlike ==, a NaN equals itself.
bool samePropertyList(const cf::Value& a, const cf::Value& b);
// Whether the two write out as the same property list, judged without
// writing them: the same structure, keys in the same order, numbers of the
// same kind with the same integer or the same bits. True implies
// samePropertyList; false may still be the same text.
bool sameWhenWritten(const cf::Value& a, const cf::Value& b);
// A hash that values sameWhenWritten share.
std::size_t writtenHash(const cf::Value& value);

// Replaces the file's bytes in place (the inputs' own files, which no other
// process reads meanwhile).
void writeInputFile(const std::string& path, std::string_view bytes);

// Prints the message and aborts, so that libFuzzer keeps the input.
[[noreturn]] void fail(std::string_view what);

// A reader of the fuzzer's bytes for structured inputs; yields zeros once
// the bytes run out.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t u8();
    std::uint32_t u32();
    std::uint64_t u64();
    // Up to `max` bytes, the count taken from the next byte.
    std::string bytes(std::size_t max);

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace fuzzsupport
