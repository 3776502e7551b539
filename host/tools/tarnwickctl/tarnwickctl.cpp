// tarnwickctl: the Tarnwick pane from a terminal. Every run is one session of
// the pane: it is opened exactly as prefhost opens it (the pane restores the
// saved clocks unless --option-key), acted on through its own controls (the
// steppers and their action, the default button, the startup checkbox, the
// card table), printed as the pane would show it, and quit the way System
// Preferences quits, so the pane saves its settings and login item.
//
// Without an explicit QT_QPA_PLATFORM it runs on Qt's offscreen platform: a
// terminal tool never opens windows, display or not.
//
// One pane session at a time: when prefhost or another tarnwickctl has the
// pane open, it waits for that session to end, up to TARNWICKCTL_SESSION_WAIT
// seconds (default 10).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QMainWindow>

#include "CommandLine.h"
#include "PaneOutcome.h"
#include "PaneSession.h"
#include "ToolMain.h"
#include "host/AppKit.h"
#include "host/Log.h"
#include "host/SimMac.h"

namespace {

// tarnwickctl's own names for the shared statuses.
constexpr int kOK = kPaneOK;
constexpr int kUsage = kPaneUsage;
constexpr int kConfigFailed = kPaneChangeRefused;
constexpr int kSessionBusy = kPaneSessionBusy;

constexpr const char* kWaitVariable = "TARNWICKCTL_SESSION_WAIT";
constexpr double kDefaultWaitSeconds = 10;
constexpr double kLongestWaitSeconds = 24 * 60 * 60;

// A clock as typed: decimal digits with an optional fraction (CLI11 alone
// takes "" as 0).
const CLI::Validator kMegahertz(
    [](const std::string& text) {
        const std::size_t point = text.find('.');
        const std::string whole = text.substr(0, point);
        const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
        const bool digits = (whole + fraction).find_first_not_of("0123456789") == std::string::npos;
        return digits && !(whole + fraction).empty() ? std::string()
                                                     : "\"" + text + "\" is not a clock in MHz";
    },
    "MHZ");

// How long to wait for another pane session to end, from the environment.
std::optional<double> waitSeconds() {
    const char* text = std::getenv(kWaitVariable);
    if (text == nullptr || *text == '\0') return kDefaultWaitSeconds;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > kLongestWaitSeconds) {
        std::fprintf(stderr,
                     "tarnwickctl: %s must be a number of seconds from 0 to %g, not \"%s\"\n",
                     kWaitVariable, kLongestWaitSeconds, text);
        return std::nullopt;
    }
    return seconds;
}

// Takes the pane session, waiting for another one to end. The status to
// exit with when it cannot.
std::optional<int> beginSession(PaneSessionLock& lock) {
    const std::optional<double> seconds = waitSeconds();
    if (!seconds) return kUsage;
    const auto wait = std::chrono::milliseconds(std::llround(*seconds * 1000));
    const PaneSessionLock::Result result = lock.acquire(wait, [&](pid_t holder) {
        std::fprintf(stderr,
                     "tarnwickctl: the pane is open in another session (%s); waiting up to %g s "
                     "for it to quit\n",
                     PaneSessionLock::holderText(holder).c_str(), *seconds);
    });
    if (result == PaneSessionLock::Result::kAcquired) return std::nullopt;
    if (result == PaneSessionLock::Result::kFailed) {
        std::fprintf(stderr, "tarnwickctl: %s\n", lock.error().c_str());
        return kUsage;
    }
    std::fprintf(stderr,
                 "tarnwickctl: the pane is still open in another session (%s) after %g s; quit "
                 "it first (or set %s to wait longer)\n",
                 PaneSessionLock::holderText(lock.holderPid()).c_str(), *seconds, kWaitVariable);
    return kSessionBusy;
}

// The pane's controls, by the names of the controller's outlets.
struct PaneControls {
    NSTableView* cardsTable = nullptr;
    NSStepper* vpuStepper = nullptr;
    NSStepper* memoryStepper = nullptr;
    NSButton* defaultButton = nullptr;
    NSButton* startupCheckbox = nullptr;
    std::map<std::string, NSTextField*, std::less<>> textFields;

    // Names of the outlets the pane did not connect.
    std::vector<std::string> find(const NSPreferencePane& pane) {
        std::vector<std::string> missing;
        auto get = [&](auto*& slot, const char* name) {
            using T = std::remove_pointer_t<std::remove_reference_t<decltype(slot)>>;
            slot = pane.outlet<T>(name);
            if (slot == nullptr) missing.emplace_back(name);
        };
        get(cardsTable, "cardsTable");
        get(vpuStepper, "vpuStepper");
        get(memoryStepper, "memoryStepper");
        for (const char* name :
             {"vpuTextField", "vpuPercentTextField", "memoryTextField", "memPercentTextField",
              "versionTextField", "memSizeTextField", "memTypeTextField", "busWidthTextField"})
            get(textFields[name], name);
        get(defaultButton, "defaultButton");
        get(startupCheckbox, "startupCheckbox");
        return missing;
    }
    // What a text field shows.
    const char* text(std::string_view outlet) const {
        return textFields.find(outlet)->second->stringValue().c_str();
    }
};

std::string percentText(const std::string& text) {
    if (text.empty() || text == "-") return text.empty() ? "-" : text;
    return (text[0] == '-' ? "" : "+") + text + " %";
}

// What the pane shows now: the card rows, then the selected card.
void printPane(const PaneControls& c) {
    std::printf("Tarnwick %s\n", c.text("versionTextField"));
    const int rows = c.cardsTable->numberOfRows();
    if (rows == 0) {
        std::printf("Cards: none\n");
    } else {
        std::printf("Cards:\n");
        std::vector<std::size_t> widths(static_cast<std::size_t>(c.cardsTable->numberOfColumns()),
                                        0);
        for (int r = 0; r < rows; ++r)
            for (std::size_t col = 0; col < widths.size(); ++col)
                widths[col] = std::max(widths[col],
                                       c.cardsTable->stringValue(r, static_cast<int>(col)).size());
        for (int r = 0; r < rows; ++r) {
            std::string line = (r == c.cardsTable->selectedRow() ? "* " : "  ") + std::to_string(r);
            for (std::size_t col = 0; col < widths.size(); ++col) {
                std::string cell = c.cardsTable->stringValue(r, static_cast<int>(col));
                if (col + 1 < widths.size()) cell.resize(widths[col], ' ');
                line += "  " + cell;
            }
            std::printf("%s\n", line.c_str());
        }
        std::printf("Card %d:\n", c.cardsTable->selectedRow());
        std::printf("  VPU clock      %s MHz  %s\n", c.text("vpuTextField"),
                    percentText(c.text("vpuPercentTextField")).c_str());
        std::printf("  Memory clock   %s MHz  %s\n", c.text("memoryTextField"),
                    percentText(c.text("memPercentTextField")).c_str());
        std::printf("  Steppers       %.3f / %.3f MHz, step %.3f MHz, up to %.3f / %.3f MHz\n",
                    c.vpuStepper->doubleValue(), c.memoryStepper->doubleValue(),
                    c.vpuStepper->increment(), c.vpuStepper->maxValue(),
                    c.memoryStepper->maxValue());
        std::printf("  Memory         %s MiB, %s, %s-bit bus\n", c.text("memSizeTextField"),
                    c.text("memTypeTextField"), c.text("busWidthTextField"));
        std::printf("  Back to stock  %s\n", c.defaultButton->isEnabled() ? "enabled" : "disabled");
    }
    std::printf("Set at startup   %s%s\n",
                c.startupCheckbox->state() != NSControlStateValueOff ? "on" : "off",
                c.startupCheckbox->isEnabled() ? "" : " (disabled)");
}

bool selectCard(const PaneControls& c, int row) {
    if (row < 0 || row >= c.cardsTable->numberOfRows()) {
        std::fprintf(stderr, "tarnwickctl: no card at row %d (the pane lists %d card%s)\n", row,
                     c.cardsTable->numberOfRows(), c.cardsTable->numberOfRows() == 1 ? "" : "s");
        return false;
    }
    c.cardsTable->selectRow(row);
    return true;
}

bool withinStepper(const NSStepper& stepper, double value, const char* what) {
    if (value >= stepper.minValue() && value <= stepper.maxValue()) return true;
    std::fprintf(stderr,
                 "tarnwickctl: %s %.3f MHz is outside the stepper's range %.3f to %.3f MHz\n", what,
                 value, stepper.minValue(), stepper.maxValue());
    return false;
}

int run(int argc, char** argv) {
    CLI::App cli{
        "tarnwickctl: the Tarnwick preference pane from a terminal. Each run opens the pane "
        "(restoring the saved clocks), acts, shows the pane and quits, which saves the "
        "settings and the login item, as quitting System Preferences does."};
    cli.require_subcommand(1);
    std::string panePath = (host::preferencePanesDir() / "TarnwickPref.prefPane").string();
    bool optionKey = false;
    cli.add_option("--pane", panePath, "The .prefPane bundle to open")->capture_default_str();
    cli.add_flag("--option-key", optionKey,
                 "Hold the Option key while the pane opens (the saved clocks are not restored)");

    std::optional<int> listRow;
    CLI::App* list = cli.add_subcommand("list", "Show the cards and the selected card");
    list->add_option("row", listRow, "Select this row first (default: the first)")
        ->check(tools::kDecimalInteger);

    int row = 0;
    double vpu = 0, memory = 0;
    CLI::App* set =
        cli.add_subcommand("set", "Step a card's clocks to VPU and MEM (MHz), as a stepper click");
    set->add_option("row", row, "The card's row")->required()->check(tools::kDecimalInteger);
    set->add_option("vpu", vpu, "VPU stepper value, MHz")->required()->check(kMegahertz);
    set->add_option("mem", memory, "Memory stepper value, MHz")->required()->check(kMegahertz);

    CLI::App* stock =
        cli.add_subcommand("stock", "Put a card back to its stock clocks (the default button)");
    stock->add_option("row", row, "The card's row")->required()->check(tools::kDecimalInteger);

    std::string startupChoice;
    CLI::App* startup =
        cli.add_subcommand("startup", "Apply the saved clocks at every login, or not");
    startup->add_option("state", startupChoice, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    if (const std::optional<int> status = tools::parseCommandLine(cli, argc, argv)) return *status;
    host::setLogProgramName("tarnwickctl");

    PaneSession session("tarnwickctl");
    if (!session.findPane(panePath, "or use --pane")) return kUsage;
    if (const std::optional<int> status = beginSession(session.sessionLock())) return *status;

    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    session.startQt(argv[0]);

    // The pane talks to the user only through alert sheets: print each one.
    int alerts = 0;
    host::setAlertObserver([&alerts](const NSAlertRecord& alert) {
        ++alerts;
        std::printf("Alert: %s\n", alert.messageText.c_str());
        if (alert.informativeText) std::printf("  %s\n", alert.informativeText->c_str());
        std::fflush(stdout);
    });

    QMainWindow window;
    if (!session.loadPane(window, optionKey)) return kUsage;

    // From here on the pane is open: every way out quits it properly.
    // The status tells the worst of what the session met: a machine that
    // could not be read, then a save that failed, then what was asked for.
    auto quit = [&](int status) {
        return session.quit(status, [] { host::setAlertObserver(nullptr); });
    };

    PaneControls c;
    const std::vector<std::string> missing =
        session.paneView() ? c.find(session.pane()) : std::vector<std::string>{"main view"};
    if (!missing.empty()) {
        std::string names;
        for (const auto& m : missing) names += (names.empty() ? "" : ", ") + m;
        std::fprintf(stderr, "tarnwickctl: the pane's view lacks %s\n", names.c_str());
        return quit(kUsage);
    }

    int status = kOK;
    if (*list) {
        if (listRow && !selectCard(c, *listRow)) return quit(kUsage);
    } else if (*set) {
        if (!selectCard(c, row)) return quit(kUsage);
        if (!withinStepper(*c.vpuStepper, vpu, "VPU") ||
            !withinStepper(*c.memoryStepper, memory, "Memory"))
            return quit(kUsage);
        const int alertsBefore = alerts;
        c.vpuStepper->setDoubleValue(vpu);
        c.memoryStepper->setDoubleValue(memory);
        c.vpuStepper->sendAction();
        if (alerts != alertsBefore) status = kConfigFailed;
    } else if (*stock) {
        if (!selectCard(c, row)) return quit(kUsage);
        if (!c.defaultButton->isEnabled()) {
            std::printf("Card %d already runs at its stock clocks.\n", row);
        } else {
            const int alertsBefore = alerts;
            c.defaultButton->performClick();
            if (alerts != alertsBefore) status = kConfigFailed;
        }
    } else if (*startup) {
        if (!c.startupCheckbox->isEnabled()) {
            std::fprintf(stderr,
                         "tarnwickctl: \"Set at startup\" is disabled (the pane found no cards)\n");
            printPane(c);
            return quit(kUsage);
        }
        const NSControlStateValue wanted =
            startupChoice == "on" ? NSControlStateValueOn : NSControlStateValueOff;
        if (c.startupCheckbox->state() != wanted) c.startupCheckbox->performClick();
    }
    printPane(c);
    return quit(status);
}

}  // namespace

int main(int argc, char** argv) { return tools::guardedMain("tarnwickctl", run, argc, argv); }
