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

// Below every pair: 13500 kHz / 255 is the lowest frequency.
void BM_SingleStageNoCandidateBelow(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(NVIDIAPLL::searchSingleStage(10.0f, 0, 13500));
    }
}
BENCHMARK(BM_SingleStageNoCandidateBelow);

// Above every pair: 255 x 14318 kHz is the highest frequency.
void BM_SingleStageNoCandidateAbove(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(NVIDIAPLL::searchSingleStage(4000000.0f, 0, 14318));
    }
}
BENCHMARK(BM_SingleStageNoCandidateAbove);

// 1 MHz with P = 1: all 310 candidates pass the constraints, none lies
// within 0.5 %; 311 log lines per search.
void BM_TwoStageNoCandidateWithinHalfPercent(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(NVIDIAPLL::searchTwoStage(1000.0f, 1, 0x00010000, 27000));
    }
}
BENCHMARK(BM_TwoStageNoCandidateWithinHalfPercent);

// Too high for any n2: the full scan of 496 triples with only the start
// line logged, i.e. the arithmetic without the candidate lines.
void BM_TwoStageFullScanNoCandidateLines(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(NVIDIAPLL::searchTwoStage(20000000.0f, 0, 0x00010000, 27000));
    }
}
BENCHMARK(BM_TwoStageFullScanNoCandidateLines);

// A typical request: 400 MHz, accepted at m = 2, m2 = 2, n = 17 (57 lines).
void BM_TwoStageTypical(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(NVIDIAPLL::searchTwoStage(400000.0f, 1, 0x00010000, 27000));
    }
}
BENCHMARK(BM_TwoStageTypical);

// One log line as the searches write it: what each candidate line costs.
void BM_OneLogLine(benchmark::State& state) {
    for (auto _ : state) {
        NSLog("diff %d - m %d - m2 %d - n %d - n2 %d\n", 1000, 1, 1, 13, 2);
    }
}
BENCHMARK(BM_OneLogLine);

}  // namespace

BENCHMARK_MAIN();
