// One command's round trip as the card classes make it: wait for the driver
// to be quiet, set the command properties, read back "RegValue". The driver
// has no busy time, so this measures the registry and the driver: the lock,
// reading what the journal gained, appending the command's record and, every
// so many records, a checkpoint.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "host/IOKit.h"
#include "host/Machine.h"
#include "host/MachineControl.h"
#include "support/SimMacFixture.h"

namespace {

cf::Dictionary command(std::int64_t code, std::int64_t argument) {
    cf::Dictionary dict;
    dict.set("Command", cf::CFNumberCreate(cf::kCFNumberCharType, code));
    dict.set("Argument", cf::CFNumberCreate(cf::kCFNumberIntType, argument));
    return dict;
}

// `code` and `argument` are the command; a write alternates between
// `argument` and `argument2` so that every command changes the card.
void roundTrip(benchmark::State& state, std::int64_t code, std::int64_t argument,
               std::optional<std::int64_t> alternate = std::nullopt) {
    testsupport::TempSimMac mac;
    std::string error;
    if (!host::replaceMachine(host::defaultMachine(), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    io_iterator_t iterator = 0;
    IOServiceGetMatchingServices(kIOMasterPortDefault,
                                 IOServiceNameMatching(host::kClockDriverName), &iterator);
    // The default machine's second driver is the NV4x card; the first the ATI card.
    io_object_t ati = IOIteratorNext(iterator);
    io_object_t nvidia = IOIteratorNext(iterator);
    io_object_t driver = code == 11 ? nvidia : ati;
    const cf::Value properties = command(code, argument);
    const cf::Value alternateProperties = command(code, alternate.value_or(argument));
    bool flip = false;
    const mach_timespec_t waitTime{1, 0};

    std::vector<double> micros;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        IOReturn waited = IOServiceWaitQuiet(driver, &waitTime);
        IOReturn set =
            IORegistryEntrySetCFProperties(driver, flip ? alternateProperties : properties);
        flip = alternate.has_value() && !flip;
        std::optional<cf::Value> value =
            IORegistryEntryCreateCFProperty(driver, "RegValue", kCFAllocatorDefault, 0);
        if (alternate) value = cf::Data{};  // a write publishes no answer
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
        if (waited != kIOReturnSuccess || set != kIOReturnSuccess || !value) {
            state.SkipWithError("the command failed");
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    if (!micros.empty()) {
        std::nth_element(micros.begin(),
                         micros.begin() + static_cast<std::ptrdiff_t>(micros.size() / 2),
                         micros.end());
        state.counters["median_us"] = micros[micros.size() / 2];
    }
}

void BM_ReadATIPLL(benchmark::State& state) { roundTrip(state, 0, 0); }
void BM_ReadNVIDIARegister(benchmark::State& state) { roundTrip(state, 11, 0x4004); }

// A write changes the card: its record carries the register it set.
void BM_WriteATIPLL(benchmark::State& state) { roundTrip(state, 2, 0x00A9970C, 0x00AA970C); }

BENCHMARK(BM_ReadATIPLL)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadNVIDIARegister)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteATIPLL)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
