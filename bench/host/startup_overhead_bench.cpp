// What the simulated driver adds to a login: the startup tool on the default
// machine with nothing to change (its saved clocks are the cards' clocks, so
// it only reads), against a bare C++ program and the same number of read
// round trips made in this process. The three are timed in turn, round by
// round, so that the machine's load falls on all of them alike.
//
// overhead = startup tool / (bare program + commands x read round trip);
// one would mean the driver costs no more per command inside the tool than
// in a tight loop, and the tool no more to start than a bare program.
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
const std::string kBare = BARE_PROGRAM_PATH;

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

void BM_StartupNothingToChangeAgainstBareProgram(benchmark::State& state) {
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

    std::vector<double> bare, startup, roundTrip;
    std::size_t commands = 0;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        const bool bareRan = run(kBare);
        bare.push_back(millisecondsSince(start));

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
        if (!bareRan || !startupRan || !readsDone) {
            state.SkipWithError("a program or a read failed");
            break;
        }
    }
    IOObjectRelease(ati);
    const double bareMs = median(bare), startupMs = median(startup), readMs = median(roundTrip);
    state.counters["bare_ms"] = bareMs;
    state.counters["startup_ms"] = startupMs;
    state.counters["commands"] = static_cast<double>(commands);
    state.counters["read_us"] = readMs * 1000;
    state.counters["overhead"] = startupMs / (bareMs + static_cast<double>(commands) * readMs);
}

}  // namespace

BENCHMARK(BM_StartupNothingToChangeAgainstBareProgram)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(200);
BENCHMARK_MAIN();
