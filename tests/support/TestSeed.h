// The seed of a randomised test: TARNWICK_TEST_SEED when set (to repeat a
// run), else a fresh one. It is printed at the start, so that a failing run
// can be repeated exactly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace testsupport {

inline std::uint64_t testSeed() {
    std::uint64_t seed;
    if (const char* text = std::getenv("TARNWICK_TEST_SEED"); text && *text) {
        seed = std::strtoull(text, nullptr, 0);
    } else {
        std::random_device device;
        seed = (static_cast<std::uint64_t>(device()) << 32) | device();
    }
    std::printf("TARNWICK_TEST_SEED=%llu\n", static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    return seed;
}

inline std::string seedTrace(std::uint64_t seed) {
    return "repeat with TARNWICK_TEST_SEED=" + std::to_string(seed);
}

// splitmix64: one well-mixed 64-bit value per input, so that a command can
// be recomputed from its round and index alone.
inline std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

}  // namespace testsupport
