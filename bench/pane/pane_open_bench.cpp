// Opening the pane on the default machine, as prefhost does it: loading the
// bundle, creating the controller (discovery, the ATI stock measurement,
// stock settings, help registration), loading its view and showing it in a
// window (offscreen). And one stepper click on the first card: one direct
// WriteATIPLL through the simulated driver. The driver has no busy time.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "host/AppKit.h"
#include "host/PreferencePanes.h"
#include "support/SimMacFixture.h"

namespace {

const std::string kPaneBundle = std::string(TARNWICK_BUNDLE_DIR) + "/TarnwickPref.prefPane";

struct ShownPane {
    std::unique_ptr<NSPreferencePane> pane;
    std::unique_ptr<QWidget> window;

    bool open() {
        std::string error;
        pane = host::loadPreferencePane(kPaneBundle, &error);
        if (!pane) return false;
        window = std::make_unique<QWidget>();
        NSApp.setMainWindow(window.get());
        NSView* view = pane->mainView();
        if (view == nullptr) return false;
        (new QVBoxLayout(window.get()))->addWidget(view);
        window->show();
        QApplication::processEvents();
        pane->didSelect();
        return true;
    }
    ~ShownPane() {
        pane.reset();
        NSApp.setMainWindow(nullptr);
    }
};

void BM_PaneOpen(benchmark::State& state) {
    testsupport::TempSimMac mac;
    {
        ShownPane warm;  // creates the default machine and loads the module once
        if (!warm.open()) {
            state.SkipWithError("the pane does not open");
            return;
        }
    }
    for (auto _ : state) {
        ShownPane shown;
        if (!shown.open()) {
            state.SkipWithError("the pane does not open");
            return;
        }
        benchmark::DoNotOptimize(shown.window.get());
        state.PauseTiming();
        shown.pane.reset();
        shown.window.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_PaneOpen)->Unit(benchmark::kMillisecond);

void BM_StepperClick(benchmark::State& state) {
    testsupport::TempSimMac mac;
    ShownPane shown;
    if (!shown.open()) {
        state.SkipWithError("the pane does not open");
        return;
    }
    NSStepper* stepper = shown.pane->outlet<NSStepper>("vpuStepper");
    if (stepper == nullptr) {
        state.SkipWithError("no stepper");
        return;
    }
    int direction = 1;
    for (auto _ : state) {
        stepper->click(direction);  // up, then back down: one command each
        direction = -direction;
    }
}
BENCHMARK(BM_StepperClick)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
