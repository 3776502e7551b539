// The NVIDIA PLL searches at their worst: the single-stage search with no
// accepted pair scans all 128 x 255 pairs; the two-stage search with no
// candidate within 0.5 % judges (and logs) every candidate. The system log
// goes to a temporary simulated Mac; run with stderr redirected, as NSLog
// echoes there too.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "NVIDIAPLL.h"
#include "host/Log.h"
#include "support/SimMacFixture.h"

namespace {

// A private SIMMAC_ROOT for the log lines, removed at exit.
const testsupport::TempSimMac mac;

// The single-stage search for `frequency` (kHz) on a crystal (kHz).
void BM_SingleStage(benchmark::State& state, float frequency, std::uint16_t crystal) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(NVIDIAPLL::searchSingleStage(frequency, 0, crystal));
    }
}
// Below every pair: 13500 kHz / 255 is the lowest frequency.
BENCHMARK_CAPTURE(BM_SingleStage, NoCandidateBelow, 10.0f, std::uint16_t{13500});
// Above every pair: 255 x 14318 kHz is the highest frequency.
BENCHMARK_CAPTURE(BM_SingleStage, NoCandidateAbove, 4000000.0f, std::uint16_t{14318});

// The two-stage search for `frequency` (kHz) at post divider `p`, on the
// 27 MHz crystal.
void BM_TwoStage(benchmark::State& state, float frequency, std::uint8_t p) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(NVIDIAPLL::searchTwoStage(frequency, p, 0x00010000, 27000));
    }
}
// 1 MHz with P = 1: all 310 candidates pass the constraints, none lies
// within 0.5 %; 311 log lines per search.
BENCHMARK_CAPTURE(BM_TwoStage, NoCandidateWithinHalfPercent, 1000.0f, std::uint8_t{1});
// Too high for any n2: the full scan of 496 triples with only the start
// line logged, i.e. the arithmetic without the candidate lines.
BENCHMARK_CAPTURE(BM_TwoStage, FullScanNoCandidateLines, 20000000.0f, std::uint8_t{0});
// A typical request: 400 MHz, accepted at m = 2, m2 = 2, n = 17 (57 lines).
BENCHMARK_CAPTURE(BM_TwoStage, Typical, 400000.0f, std::uint8_t{1});

// One log line as the searches write it: what each candidate line costs.
void BM_OneLogLine(benchmark::State& state) {
    for (auto _ : state) {
        NSLog("diff %d - m %d - m2 %d - n %d - n2 %d\n", 1000, 1, 1, 13, 2);
    }
}
BENCHMARK(BM_OneLogLine);

}  // namespace

BENCHMARK_MAIN();
