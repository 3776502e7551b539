// NVIDIA PLL arithmetic: word layouts, frequency formulas, both searches and
// the lines the two-stage search writes to the system log.

#include <cmath>
#include <cstdlib>
#include <limits>
#include <regex>
#include <sstream>

#include "NVIDIAPLL.h"
#include "support/SimMacFixture.h"

using namespace NVIDIAPLL;
using testsupport::coefficients;

namespace {

struct Candidate {
    int diff, m, m2, n, n2;
};

// Every candidate line written after `offset` bytes of the system log.
std::vector<Candidate> candidateLines(const std::string& log, std::size_t offset = 0) {
    static const std::regex line(
        R"(diff (-?\d+) - m (-?\d+) - m2 (-?\d+) - n (-?\d+) - n2 (-?\d+)$)");
    std::vector<Candidate> out;
    std::istringstream in(log.substr(offset));
    std::string text;
    std::smatch match;
    while (std::getline(in, text)) {
        if (std::regex_search(text, match, line)) {
            out.push_back({std::stoi(match[1]), std::stoi(match[2]), std::stoi(match[3]),
                           std::stoi(match[4]), std::stoi(match[5])});
        }
    }
    return out;
}

class NVIDIAPLLTest : public ::testing::Test {
protected:
    testsupport::TempSimMac mac;
};

}  // namespace

TEST(NVIDIAPLLFormulas, FrequenciesInSigned32BitArithmetic) {
    // A one-stage word, or with `twoStage` a coefficient word and its P.
    const auto check = [](const char* what, bool twoStage, std::uint32_t word, std::uint8_t p,
                          std::uint16_t refClock, std::int32_t kHz) {
        SCOPED_TRACE(what);
        EXPECT_EQ(
            twoStage ? twoStageFrequency(word, p, refClock) : singleStageFrequency(word, refClock),
            kHz);
    };
    check("pre-NV4x, no post divider", false, 0x00004A05, 0, 13500, 199800);
    check("pre-NV4x, P in bits 16-19", false, 0x00015903, 0, 13500, 200250);
    check("pre-NV4x, division truncates before the shift", false, 0x00016407, 0, 14318, 102271);
    check("pre-NV4x, bits 20-31 not interpreted", false, 0xFFF15903, 0, 13500, 200250);
    check("pre-NV4x, P = 15", false, 0x000FFF01, 0, 27000, 210);
    check("pre-NV4x, M = 0 reads 0", false, 0x00001E00, 0, 13500, 0);
    check("NV4x, two stages", true, coefficients(2, 17, 2, 7), 1, 27000, 401625);
    check("NV4x, P = 0", true, coefficients(1, 13, 1, 2), 0, 27000, 702000);
    check("NV4x, largest word", true, coefficients(1, 255, 1, 255), 0, 27000, 1755675000);
    check("NV4x, truncating division", true, coefficients(3, 7, 4, 5), 2, 27000, 19687);
    check("NV4x, M = 0 reads 0", true, coefficients(0, 13, 1, 2), 0, 27000, 0);
    check("NV4x, M2 = 0 reads 0", true, coefficients(1, 13, 0, 2), 0, 27000, 0);
    check("NV4x, N2 = 0 is a stopped clock", true, coefficients(1, 13, 1, 0), 0, 27000, 0);
    EXPECT_FLOAT_EQ(megahertz(401625), 401.625f);
}

TEST(NVIDIAPLLFormulas, FieldsOfTheWords) {
    EXPECT_EQ(wordM(0x00015903), 3);
    EXPECT_EQ(wordN(0x00015903), 0x59);
    EXPECT_EQ(wordP(0xFFF15903), 1);
    EXPECT_EQ(controlP(0x80030A05), 3);
    EXPECT_EQ(controlP(0x80040A05), 0);
    const std::uint32_t w = coefficients(2, 17, 3, 23);
    EXPECT_EQ(coefficientM(w), 2);
    EXPECT_EQ(coefficientN(w), 17);
    EXPECT_EQ(coefficientM2(w), 3);
    EXPECT_EQ(coefficientN2(w), 23);
}

TEST(NVIDIAPLLSingleStage, KnownTargets) {
    const auto check = [](std::uint16_t refClock, std::uint8_t p, float target, std::uint32_t m,
                          std::uint32_t n, std::int32_t kHz) {
        SCOPED_TRACE(testing::Message() << refClock << " kHz, p " << int(p) << ", " << target);
        const std::uint32_t word = searchSingleStage(target, p, refClock);
        EXPECT_EQ(word, m | n << 8 | std::uint32_t(p) << 16);
        EXPECT_EQ(singleStageFrequency(word, refClock), kHz);
    };
    check(13500, 0, 200000.0f, 5, 74, 199800);
    check(13500, 1, 200000.0f, 3, 89, 200250);
    check(14318, 1, 250000.0f, 1, 35, 250565);
}

TEST(NVIDIAPLLSingleStage, TargetsWithoutAnswer) {
    const float inf = std::numeric_limits<float>::infinity();
    const auto check = [](const char* what, float target, std::uint8_t p, std::uint16_t refClock) {
        EXPECT_EQ(searchSingleStage(target, p, refClock), 0u) << what;
    };
    check("zero", 0.0f, 0, 13500);
    check("negative", -200000.0f, 0, 13500);
    check("below every pair (52 kHz at M 255, N 1)", 10.0f, 0, 13500);
    check("above every pair (255 x 14318 kHz)", 4000000.0f, 0, 14318);
    check("far beyond 32 bits", 1e20f, 0, 13500);
    check("infinite", inf, 0, 13500);
    check("minus infinite", -inf, 0, 13500);
    check("NaN", std::numeric_limits<float>::quiet_NaN(), 0, 13500);
    check("post divider wider than its four bits", 200000.0f, 16, 13500);
    check("no crystal", 200000.0f, 0, 0);
}

// The answer is the first pair in scan order (odd M outside, N inside) whose
// frequency is within 0.5 % of the target; checked here against a scan in
// double precision, away from the exact 0.5 % border.
TEST(NVIDIAPLLSingleStage, FirstPairWithinHalfPercentInScanOrder) {
    for (std::uint16_t refClock : {13500, 14318}) {
        for (std::uint8_t p : {0, 1, 2}) {
            // Whole kHz below 2^24, so every target is exact as a float.
            for (int kHz = 25000; kHz <= 900000; kHz += 7919) {
                const float target = static_cast<float>(kHz);
                SCOPED_TRACE(testing::Message() << refClock << " " << int(p) << " " << target);
                const std::uint32_t word = searchSingleStage(target, p, refClock);
                int firstM = 0, firstN = 0;
                for (int m = 1; m <= 255 && !firstM; m += 2) {
                    for (int n = 1; n <= 255; ++n) {
                        const double f = ((n * refClock) / m) >> p;
                        const double rel = std::fabs(target - f) / target;
                        if (rel <= 0.005 - 1e-6) {
                            firstM = m;
                            firstN = n;
                            break;
                        }
                    }
                }
                if (word == 0) {
                    EXPECT_EQ(firstM, 0);
                    continue;
                }
                EXPECT_EQ(wordM(word) % 2, 1);
                EXPECT_GE(wordN(word), 1);
                EXPECT_EQ(wordP(word), p);
                EXPECT_EQ(word >> 20, 0u);
                const double f = singleStageFrequency(word, refClock);
                // The search truncates the difference to whole kHz first.
                EXPECT_LE(std::fabs(target - f) / target, 0.005 + 1.0 / target);
                if (firstM) {
                    // No pair before the answer is clearly within 0.5 %.
                    EXPECT_TRUE(wordM(word) < firstM ||
                                (wordM(word) == firstM && wordN(word) <= firstN));
                }
            }
        }
    }
}

TEST_F(NVIDIAPLLTest, TwoStageKnownTargets) {
    const auto check = [](float target, std::uint32_t m, std::uint32_t m2, std::uint32_t n,
                          std::uint32_t n2, std::int32_t kHz) {
        SCOPED_TRACE(target);
        const auto words = searchTwoStage(target, 1, 0x80020A05, 27000);
        ASSERT_TRUE(words);
        // P replaced by 1, every other bit of the control word kept.
        EXPECT_EQ(words->pll1, 0x80010A05u);
        EXPECT_EQ(words->pll2, coefficients(m, n, m2, n2));
        EXPECT_EQ(twoStageFrequency(words->pll2, controlP(words->pll1), 27000), kHz);
    };
    check(400000.0f, 2, 2, 17, 7, 401625);
    check(350000.0f, 1, 1, 13, 2, 351000);
}

TEST_F(NVIDIAPLLTest, TwoStageWritesStartAndCandidateLines) {
    const auto words = searchTwoStage(350000.0f, 1, 0x80010A05, 27000);
    ASSERT_TRUE(words);
    const std::string log = mac.systemLog();
    // origPLL1 as a signed decimal, the target with six decimals.
    EXPECT_CONTAINS(log, "pll1In -2147415547 - freqIn 350000.000000\n");
    const auto lines = candidateLines(log);
    ASSERT_FALSE(lines.empty());
    // The accepted candidate is the last line written.
    EXPECT_EQ(lines.back().m, 1);
    EXPECT_EQ(lines.back().m2, 1);
    EXPECT_EQ(lines.back().n, 13);
    EXPECT_EQ(lines.back().n2, 2);
    EXPECT_EQ(lines.back().diff, 1000);
    EXPECT_CONTAINS(log, "diff 1000 - m 1 - m2 1 - n 13 - n2 2\n");
}

// Without a candidate within 0.5 % the closest one is kept, the first in
// scan order among equals; the candidate lines tell what was seen.
TEST_F(NVIDIAPLLTest, TwoStageKeepsClosestWhenNoneWithinHalfPercent) {
    for (float target : {1000.0f, 5000.0f, 2500.0f}) {
        SCOPED_TRACE(target);
        const std::size_t offset = mac.systemLog().size();
        const auto words = searchTwoStage(target, 1, 0x00010000, 27000);
        ASSERT_TRUE(words);
        const auto lines = candidateLines(mac.systemLog(), offset);
        ASSERT_FALSE(lines.empty());
        const Candidate* closest = &lines.front();
        for (const Candidate& c : lines) {
            EXPECT_GT(double(c.diff) / target, 0.005) << "an accepted candidate ends the search";
            if (c.diff < closest->diff) closest = &c;
        }
        EXPECT_EQ(words->pll2, coefficients(closest->m, closest->n, closest->m2, closest->n2));
    }
}

TEST_F(NVIDIAPLLTest, TwoStageWithoutAnyCandidate) {
    const auto check = [this](const char* what, float target, std::uint8_t p) {
        SCOPED_TRACE(what);
        const std::size_t offset = mac.systemLog().size();
        EXPECT_FALSE(searchTwoStage(target, p, 0x00010000, 27000));
        EXPECT_TRUE(candidateLines(mac.systemLog(), offset).empty());
    };
    check("too high for n2 <= 23 even at m = m2 = 1, n = 31", 20000000.0f, 0);
    check("too high once shifted by P", 10000000.0f, 1);
    check("beyond 32 bits", 3e9f, 0);
    check("infinite", std::numeric_limits<float>::infinity(), 1);
    check("NaN", std::numeric_limits<float>::quiet_NaN(), 1);
    check("negative", -400000.0f, 1);
    check("post divider wider than its two bits", 400000.0f, 4);
    EXPECT_FALSE(searchTwoStage(400000.0f, 1, 0x00010000, 0)) << "no crystal";
}

TEST_F(NVIDIAPLLTest, TwoStageTargetZeroDescribesAStoppedClock) {
    const auto words = searchTwoStage(0.0f, 2, 0x12345678, 27000);
    ASSERT_TRUE(words);
    EXPECT_EQ(words->pll1, 0x12365678u);
    EXPECT_EQ(words->pll2, coefficients(1, 1, 1, 0));
}

// Whatever the target, every candidate line obeys the constraints, and its
// difference is the one of its own coefficients.
TEST_F(NVIDIAPLLTest, EveryCandidateLineObeysTheConstraints) {
    std::size_t total = 0;
    for (std::uint8_t p : {0, 1, 2, 3}) {
        for (float target : {0.0f, 900.0f, 50000.0f, 123457.0f, 400000.0f, 1234567.0f, 9000000.0f,
                             2147483520.0f}) {
            SCOPED_TRACE(testing::Message() << int(p) << " " << target);
            const std::size_t offset = mac.systemLog().size();
            searchTwoStage(target, p, 0, 27000);
            const auto lines = candidateLines(mac.systemLog(), offset);
            total += lines.size();
            const std::int64_t t = static_cast<std::int64_t>(target);
            for (const Candidate& c : lines) {
                EXPECT_TRUE(c.m >= 1 && c.m <= 4 && c.m2 >= 1 && c.m2 <= 4 && c.n >= 1 &&
                            c.n <= 31);
                EXPECT_LE(c.n2, 23);
                EXPECT_LE(c.n2, c.n);
                EXPECT_LE(c.m2, c.m);
                EXPECT_GE(c.n2, 0);
                const std::int64_t f = (27000LL * c.n * c.n2 / (std::int64_t{c.m} * c.m2)) >> p;
                EXPECT_EQ(c.diff, std::llabs(f - t));
            }
        }
    }
    EXPECT_GT(total, 100u);
}
