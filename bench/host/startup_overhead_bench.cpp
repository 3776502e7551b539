// What the simulated driver adds to a login: the startup tool on the default
// machine with nothing to change (its saved clocks are the cards' clocks, so
// it only reads), against a minimal program (`int main() { return 0; }`)
// and the same number of read round trips made in this process; beside
// them a C++ program that starts iostreams. All are timed in turn, round
// by round, so that the machine's load falls on each alike.
//
// overhead = startup tool / (minimal program + commands x read round trip);
// one would mean the driver costs no more per command inside the tool than
// in a tight loop, and the tool no more to start than a program that does
// nothing. overhead_vs_iostream puts the iostream program in its place.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "host/IOKit.h"
#include "host/SimMac.h"
#include "support/SimMacFixture.h"

namespace {

const std::string kStartup = std::string(TARNWICK_BUNDLE_DIR_DEFAULT) +
                             "/TarnwickStartup.app/Contents/MacOS/TarnwickStartup";
const std::string kMinimal = MINIMAL_PROGRAM_PATH;
const std::string kIostream = BARE_PROGRAM_PATH;

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Runs the program and waits for it; false unless it exits with 0.
bool run(const std::string& program) {
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(),
                     values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

std::size_t journalRecords() {
    std::string bytes = testsupport::readFile(host::driverLogPath());
    return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
}

void BM_StartupNothingToChangeAgainstMinimalProgram(benchmark::State& state) {
    testsupport::TempSimMac mac;
    // The first run finds no saved settings and records every card's stock
    // clocks; from then on each run finds the cards as saved.
    if (!run(kStartup)) {
        state.SkipWithError("the startup tool failed");
        return;
    }
    io_iterator_t iterator = 0;
    IOServiceGetMatchingServices(kIOMasterPortDefault,
                                 IOServiceNameMatching("name_halvorn_oddny_TarnwickDriver"),
                                 &iterator);
    const io_object_t ati = IOIteratorNext(iterator);  // the default machine's first card
    IOObjectRelease(iterator);
    cf::Dictionary readPLL;
    readPLL.set("Command", cf::CFNumberCreate(cf::kCFNumberCharType, 0));
    readPLL.set("Argument", cf::CFNumberCreate(cf::kCFNumberIntType, 0));
    const mach_timespec_t waitTime{1, 0};

    std::vector<double> minimal, iostream, startup, roundTrip;
    std::size_t commands = 0;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        const bool minimalRan = run(kMinimal);
        minimal.push_back(millisecondsSince(start));

        start = Clock::now();
        const bool iostreamRan = run(kIostream);
        iostream.push_back(millisecondsSince(start));

        const std::size_t before = journalRecords();
        start = Clock::now();
        const bool startupRan = run(kStartup);
        startup.push_back(millisecondsSince(start));
        commands = journalRecords() - before;

        // As many read round trips as the tool made, as the card classes
        // make them: wait, set, read back.
        start = Clock::now();
        bool readsDone = true;
        for (std::size_t i = 0; i < commands; ++i) {
            readsDone = readsDone && IOServiceWaitQuiet(ati, &waitTime) == kIOReturnSuccess &&
                        IORegistryEntrySetCFProperties(ati, readPLL) == kIOReturnSuccess &&
                        IORegistryEntryCreateCFProperty(ati, "RegValue", kCFAllocatorDefault, 0);
        }
        roundTrip.push_back(commands ? millisecondsSince(start) / static_cast<double>(commands)
                                     : 0);
        if (!minimalRan || !iostreamRan || !startupRan || !readsDone) {
            state.SkipWithError("a program or a read failed");
            break;
        }
    }
    IOObjectRelease(ati);
    const double minimalMs = median(minimal), iostreamMs = median(iostream),
                 startupMs = median(startup), readMs = median(roundTrip);
    const double driverMs = static_cast<double>(commands) * readMs;
    state.counters["minimal_ms"] = minimalMs;
    state.counters["iostream_ms"] = iostreamMs;
    state.counters["startup_ms"] = startupMs;
    state.counters["commands"] = static_cast<double>(commands);
    state.counters["read_us"] = readMs * 1000;
    state.counters["overhead"] = startupMs / (minimalMs + driverMs);
    state.counters["overhead_vs_iostream"] = startupMs / (iostreamMs + driverMs);
}

}  // namespace

BENCHMARK(BM_StartupNothingToChangeAgainstMinimalProgram)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(200);
BENCHMARK_MAIN();
