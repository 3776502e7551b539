// The startup tool at login, as a process: one ATI card whose saved clocks
// are 20 divider units away (21 commands: the divider read and 20 gradual
// steps), against runs with nothing to restore and with no card at all (process
// start and settings I/O alone). The driver has no busy time.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>

#include "ReapplyGuard.h"
#include "host/IOPMLib.h"
#include "support/CardSupport.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

const std::string kStartup = std::string(TARNWICK_BUNDLE_DIR_DEFAULT) +
                             "/TarnwickStartup.app/Contents/MacOS/TarnwickStartup";

void runStartup(benchmark::State& state) {
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(kStartup.c_str()), nullptr};
    if (posix_spawn(&pid, kStartup.c_str(), nullptr, nullptr, argv, environ) != 0) {
        state.SkipWithError("cannot start TarnwickStartup");
        return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        state.SkipWithError("TarnwickStartup did not exit with 0");
}

// Saved clocks `distance` divider units above the card's 100 / 100 (2.25 MHz
// a unit); with no card the machine has no clock driver at all.
void startupRun(benchmark::State& state, bool withCard, int distance) {
    testsupport::TempSimMac mac;
    const cf::Value machine = withCard ? atiMachine({ATIDevice{}}) : testsupport::machine({});
    const float saved = static_cast<float>(100 + distance) * 2.25f;
    std::filesystem::path prefs = mac.root() / "Library" / "Preferences";
    std::filesystem::create_directories(prefs);
    std::string error;
    cf::writePropertyListFileAtomically(
        (prefs / (std::string(kTarnwickPrefDomain) + ".plist")).string(),
        testsupport::savedDomain(true, {testsupport::savedCardEntry("SLOT-1", "ATY,TestCard", saved,
                                                                    saved, 225.0f, 225.0f)}),
        &error);
    const std::filesystem::path driverLog = mac.root() / "Library" / "Logs" / "driver.jsonl";
    double commands = 0;
    for (auto _ : state) {
        state.PauseTiming();
        mac.writeMachine(machine);  // the card back at its power-on dividers
        std::filesystem::remove(driverLog);
        state.ResumeTiming();
        runStartup(state);
        state.PauseTiming();
        commands += static_cast<double>(mac.driverLog().size());
        state.ResumeTiming();
    }
    state.counters["commands"] = benchmark::Counter(commands, benchmark::Counter::kAvgIterations);
    if (commands > 0) {
        state.counters["time_per_command"] =
            benchmark::Counter(commands, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    }
}

void BM_StartupRestoreTwentySteps(benchmark::State& state) { startupRun(state, true, 20); }
void BM_StartupNothingToRestore(benchmark::State& state) { startupRun(state, true, 0); }
void BM_StartupNoCard(benchmark::State& state) { startupRun(state, false, 0); }

// What the guard adds to a reapply that programs a card: the check for an
// unfinished one, the record written before the first write and cleared at
// the end (all in the startup tool's own process).
void BM_GuardAroundOneWrite(benchmark::State& state) {
    testsupport::TempSimMac mac;
    mac.writeMachine(atiMachine({ATIDevice{}}));
    const CardList cards = discoverATICards();
    for (auto _ : state) {
        reapplyGuarded(Reapplier::StartupTool, kReapplyAtLogin, [&] {
            cards.front()->writePropertiesWithCommand(WriteATIPLL, ATIDevice{}.pll);
        });
    }
}

// The same write without the guard, for the difference.
void BM_OneWriteUnguarded(benchmark::State& state) {
    testsupport::TempSimMac mac;
    mac.writeMachine(atiMachine({ATIDevice{}}));
    const CardList cards = discoverATICards();
    for (auto _ : state) cards.front()->writePropertiesWithCommand(WriteATIPLL, ATIDevice{}.pll);
}

// Registering for wake, as the startup tool does at every launch (once
// registered, it only reads the registrations).
void BM_RegisterForWake(benchmark::State& state) {
    testsupport::TempSimMac mac;
    mac.writeMachine(atiMachine({}));
    for (auto _ : state) {
        bool woke = false;
        IONotificationPortRef port = nullptr;
        io_object_t notifier = IO_OBJECT_NULL;
        const io_connect_t root = IORegisterForSystemPower(
            &woke, &port, [](void*, io_service_t, natural_t, void*) {}, &notifier);
        IONotificationPortDestroy(port);
        IOServiceClose(root);
    }
}

}  // namespace

BENCHMARK(BM_GuardAroundOneWrite)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_OneWriteUnguarded)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RegisterForWake)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_StartupRestoreTwentySteps)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StartupNothingToRestore)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StartupNoCard)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
