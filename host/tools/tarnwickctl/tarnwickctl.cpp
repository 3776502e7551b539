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
// `tarnwickctl -` does a whole script of actions in one session
// (ActionScript.h).
//
// One pane session at a time: when prefhost or another tarnwickctl has the
// pane open, it waits for that session to end, up to TARNWICKCTL_SESSION_WAIT
// seconds (default 10).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <QMainWindow>

#include "ActionScript.h"
#include "CardName.h"
#include "CommandLine.h"
#include "PaneActions.h"
#include "PaneControls.h"
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

// How long to wait for another pane session to end, from the environment.
std::optional<double> waitSeconds() {
    const char* text = std::getenv(kWaitVariable);
    if (text == nullptr || *text == '\0') return kDefaultWaitSeconds;
    std::string why;
    const std::optional<double> seconds = tools::parseDecimal(
        text, tools::DecimalRange{"a number of seconds", "s", kLongestWaitSeconds, true}, &why);
    if (!seconds)
        std::fprintf(stderr, "tarnwickctl: %s must be a number of seconds from 0 to %g: %s\n",
                     kWaitVariable, kLongestWaitSeconds, why.c_str());
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

int run(int argc, char** argv) {
    CLI::App cli{
        "tarnwickctl: the Tarnwick preference pane from a terminal. Each run opens the pane "
        "(restoring the saved clocks), acts, shows the pane and quits, which saves the "
        "settings and the login item, as quitting System Preferences does. CARD is a card's "
        "row or its slot, as tarnwickctl list shows them; a row is refused when the pane left "
        "a card out (its driver did not answer), since the rows below it have moved."};
    cli.footer(kActionScriptHelp);
    cli.require_subcommand(0, 1);
    std::string panePath = (host::preferencePanesDir() / "TarnwickPref.prefPane").string();
    bool optionKey = false;
    cli.add_option("--pane", panePath, "The .prefPane bundle to open")->capture_default_str();
    cli.add_flag("--option-key", optionKey,
                 "Hold the Option key while the pane opens (the saved clocks are not restored)");
    // "-" cannot be a CLI11 subcommand: it is the one value of a positional.
    std::string script;
    CLI::Option* scriptOption =
        cli.add_option("actions", script, "- : read actions from standard input (below)")
            ->check(CLI::Validator(
                [](const std::string& text) {
                    return text == "-" ? std::string()
                                       : "\"" + text +
                                             "\" is not a command (list, set, stock, startup, or "
                                             "- to read actions from standard input)";
                },
                "-"));

    std::optional<std::string> listCard;
    CLI::App* list = cli.add_subcommand("list", "Show the cards and the selected card");
    list->add_option("card", listCard, "Select this card first (default: the first row)")
        ->check(kCardName);

    std::string card;
    double vpu = 0, memory = 0;
    CLI::App* set = cli.add_subcommand(
        "set", "Set a card's clocks to VPU and MEM (MHz), typed into the fields: one change");
    set->add_option("card", card, "The card's row or slot")->required()->check(kCardName);
    set->add_option("vpu", vpu, "VPU clock, MHz")->required()->check(tools::kMegahertz);
    set->add_option("mem", memory, "Memory clock, MHz")->required()->check(tools::kMegahertz);

    CLI::App* stock =
        cli.add_subcommand("stock", "Put a card back to its stock clocks (the default button)");
    stock->add_option("card", card, "The card's row or slot")->required()->check(kCardName);

    std::string startupChoice;
    CLI::App* startup =
        cli.add_subcommand("startup", "Apply the saved clocks at every login, or not");
    startup->add_option("state", startupChoice, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    if (const std::optional<int> status = tools::parseCommandLine(cli, argc, argv)) return *status;
    const bool scripted = scriptOption->count() > 0;
    if (scripted == (cli.get_subcommands().size() == 1)) {
        std::fprintf(stderr, scripted ? "tarnwickctl: give either - or a command, not both\n"
                                      : "tarnwickctl: A subcommand is required (list, set, stock, "
                                        "startup), or - to read actions from standard input\n");
        return kUsage;
    }
    host::setLogProgramName("tarnwickctl");

    PaneSession session("tarnwickctl");
    if (!session.findPane(panePath, "or use --pane")) return kUsage;
    if (const std::optional<int> status = beginSession(session.sessionLock())) return *status;

    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    session.startQt(argv[0]);

    // The pane talks to the user only through alert sheets: print each one
    // as it comes (a script's actions carry theirs on their outcome lines).
    if (!scripted)
        host::setAlertObserver([](const NSAlertRecord& alert) {
            std::printf("Alert: %s\n", alert.messageText.c_str());
            if (alert.informativeText) std::printf("  %s\n", alert.informativeText->c_str());
            std::fflush(stdout);
        });

    QMainWindow window;
    if (!session.loadPane(window, optionKey)) return kUsage;

    // From here on the pane is open: every way out quits it properly.
    // The status tells the worst of what the session met (PaneOutcome).
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
    // No card to act on: a machine asleep or hung is a host error, not a
    // card missing at some row.
    if (c.cardsTable->numberOfRows() == 0) session.checkMachine();
    PaneActions actions(c, session.pane().valueForKey("unreadCardCount").value_or(0));

    if (scripted) {
        for (const NSAlertRecord& alert : host::shownAlerts())
            std::printf("alert: %s%s\n", alert.messageText.c_str(),
                        alert.informativeText ? (" " + *alert.informativeText).c_str() : "");
        std::fflush(stdout);
        return quit(runActionScript(stdin, session, c, actions));
    }
    // The pane can do nothing here; its outcome says why.
    if (session.hostError()) {
        if (*list) printPane(c);
        return quit(kOK);
    }

    ActionResult result;
    if (*list) {
        if (listCard) result = actions.select(*listCard);
    } else if (*set) {
        result = actions.set(card, vpu, memory);
    } else if (*stock) {
        result = actions.stock(card);
    } else if (*startup) {
        result = actions.startup(startupChoice == "on");
    }
    if (result.status == kUsage) {
        std::fprintf(stderr, "tarnwickctl: %s\n", result.note.c_str());
        if (*startup) printPane(c);
        return quit(kUsage);
    }
    if (result.status == kConfigFailed) session.checkMachine();
    if (!result.note.empty())
        std::printf("Card %d %s.\n", c.cardsTable->selectedRow(), result.note.c_str());
    printPane(c);
    return quit(result.status);
}

}  // namespace

int main(int argc, char** argv) { return tools::guardedMain("tarnwickctl", run, argc, argv); }
