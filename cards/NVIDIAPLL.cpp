#include "NVIDIAPLL.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "host/Log.h"

namespace NVIDIAPLL {

namespace {

// Float to int truncating toward zero, saturating where the hardware
// conversion would be undefined; NaN never reaches it (callers reject NaN).
std::int32_t truncateToInt(float value) {
    if (value >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

// The acceptance test shared by both searches: the relative difference is
// computed in single precision and compared in double precision.
bool withinHalfPercent(std::int32_t difference, float target) {
    const float ratio = static_cast<float>(difference) / target;
    return static_cast<double>(ratio) <= 0.005;
}

// The 32-bit product as the card's signed arithmetic has it (wrapping).
std::int32_t wrappingProduct(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    return static_cast<std::int32_t>(a * b * c);
}

}  // namespace

std::int32_t singleStageFrequency(std::uint32_t word, std::uint16_t refClock) {
    const std::int32_t m = wordM(word);
    if (m == 0) return 0;
    const std::int32_t product = wrappingProduct(wordN(word), refClock, 1);
    return (product / m) >> wordP(word);
}

std::int32_t twoStageFrequency(std::uint32_t coefficients, std::uint8_t p, std::uint16_t refClock) {
    const std::int32_t divisor = coefficientM2(coefficients) * coefficientM(coefficients);
    if (divisor == 0 || p > 31) return 0;
    const std::int32_t product =
        wrappingProduct(coefficientN2(coefficients), coefficientN(coefficients), refClock);
    return (product / divisor) >> p;
}

float megahertz(std::int32_t kilohertz) { return static_cast<float>(kilohertz) / 1000.0f; }

std::uint32_t searchSingleStage(float targetKHz, std::uint8_t p, std::uint16_t refClock) {
    // A NaN target would make every conversion below undefined; it has no
    // answer anyway. P must fit its four bits of the word.
    if (std::isnan(targetKHz) || p > 15 || refClock == 0) return 0;

    std::int32_t best = truncateToInt(targetKHz);
    for (std::int32_t m = 1; m <= 255; m += 2) {
        for (std::int32_t n = 1; n <= 255; ++n) {
            const std::int32_t f = ((n * refClock) / m) >> p;
            const std::int32_t d = truncateToInt(std::fabs(targetKHz - static_cast<float>(f)));
            if (d < best) {
                if (d == 0 || withinHalfPercent(d, targetKHz)) {
                    return static_cast<std::uint32_t>(m) | static_cast<std::uint32_t>(n) << 8 |
                           static_cast<std::uint32_t>(p) << 16;
                }
                best = d;
            }
        }
    }
    return 0;
}

std::optional<TwoStageWords> searchTwoStage(float targetKHz, std::uint8_t p, std::uint32_t origPLL1,
                                            std::uint16_t refClock) {
    NSLog("pll1In %d - freqIn %f\n", static_cast<int>(origPLL1), static_cast<double>(targetKHz));

    // Targets whose truncation does not fit a non-negative 32-bit int have
    // no meaningful candidate, and their differences would overflow.
    if (!(targetKHz > -1.0f && targetKHz < 2147483648.0f) || p > 3 || refClock == 0) {
        return std::nullopt;
    }
    const std::int32_t t = static_cast<std::int32_t>(targetKHz);
    const std::uint32_t v = static_cast<std::uint32_t>(t) << p;
    const std::uint32_t pll1 = (origPLL1 & ~kControlPMask) | static_cast<std::uint32_t>(p) << 16;

    std::optional<TwoStageWords> out;
    std::int64_t bestDiff = std::numeric_limits<std::int64_t>::max();
    for (std::uint32_t m = 1; m <= 4; ++m) {
        for (std::uint32_t m2 = 1; m2 <= 4; ++m2) {
            for (std::uint32_t n = 1; n <= 31; ++n) {
                // The dividend wraps in 32 bits; the quotient of two floats
                // plus 0.5 in double is below 2^32 / refClock, so the
                // conversion to uint32 is always defined.
                const float dividend = static_cast<float>(m * m2 * v);
                const float divisor = static_cast<float>(n * refClock);
                const double rounded = static_cast<double>(dividend / divisor) + 0.5;
                const std::uint32_t n2 =
                    static_cast<std::uint16_t>(static_cast<std::uint32_t>(rounded));
                if (!(n2 <= 23 && n2 <= n && m2 <= m)) continue;

                const std::int32_t f =
                    static_cast<std::int32_t>(
                        (refClock * static_cast<std::int32_t>(n) * static_cast<std::int32_t>(n2)) /
                        static_cast<std::int32_t>(m * m2)) >>
                    p;
                const std::int32_t diff = std::abs(f - t);
                NSLog("diff %d - m %d - m2 %d - n %d - n2 %d\n", diff, static_cast<int>(m),
                      static_cast<int>(m2), static_cast<int>(n), static_cast<int>(n2));

                const TwoStageWords words{pll1, m | n << 8 | m2 << 16 | n2 << 24};
                if (diff == 0 || withinHalfPercent(diff, targetKHz)) return words;
                if (diff < bestDiff) {
                    out = words;
                    bestDiff = diff;
                }
            }
        }
    }
    return out;
}

}  // namespace NVIDIAPLL
