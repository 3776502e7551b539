#include "ActionScript.h"

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CardName.h"
#include "CommandLine.h"
#include "PaneOutcome.h"

const char* const kActionScriptHelp =
    "With - instead of a command, tarnwickctl reads actions from standard input, one a line, all "
    "in one pane session: list; select CARD; set CARD VPU MEM (both clocks typed, one change); "
    "up CARD vpu|memory and down CARD vpu|memory (one click on the arrow); stock CARD; startup "
    "on|off. CARD is a row (0, 1, ...) or a slot (AGP, SLOT-1, Built-in); a row is refused when "
    "the pane left a card out. Each action prints one line as soon as it is done: \"ok: N: "
    "ACTION: ...\" (N: its line number), \"failed: N: ACTION: ...\" (the card refused: the "
    "alert's text, then the card as shown) or \"refused: N: ACTION: why\" (a bad line: nothing "
    "done, the session goes on). Blank lines "
    "and # comments are skipped. At the end of input the pane saves and quits. Exit status: as "
    "for one command, where the actions' status is 2 when a card refused a change, else 1 when a "
    "line was refused, else 0.";

namespace {

// A line this long is no action: it is refused rather than kept whole.
constexpr std::size_t kLongestLine = 1024;

// One line without its end (nor a carriage return before it); nothing at
// the end of input.
std::optional<std::string> readLine(std::FILE* input, bool& tooLong) {
    std::string line;
    tooLong = false;
    int ch = 0;
    while ((ch = std::getc(input)) != EOF && ch != '\n') {
        if (line.size() < kLongestLine)
            line += static_cast<char>(ch);
        else
            tooLong = true;
    }
    if (ch == EOF && line.empty() && !tooLong) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::vector<std::string> wordsOf(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

std::string alertsText(const std::vector<NSAlertRecord>& alerts) {
    std::string text;
    for (const NSAlertRecord& alert : alerts) {
        text += (text.empty() ? "" : " / ") + alert.messageText;
        if (alert.informativeText) text += " " + *alert.informativeText;
    }
    return text;
}

struct Usage {
    const char* action;
    std::size_t words;
    const char* form;
};
constexpr Usage kUsages[] = {
    {"list", 1, "list"},
    {"select", 2, "select CARD"},
    {"set", 4, "set CARD VPU MEM"},
    {"up", 3, "up CARD vpu|memory"},
    {"down", 3, "down CARD vpu|memory"},
    {"stock", 2, "stock CARD"},
    {"startup", 2, "startup on|off"},
};

// Does the action of one line; `shows` is what the pane then shows, for
// the outcome line.
ActionResult perform(const std::vector<std::string>& w, const PaneControls& c, PaneActions& actions,
                     std::string& shows) {
    const Usage* usage = std::find_if(std::begin(kUsages), std::end(kUsages),
                                      [&](const Usage& u) { return w[0] == u.action; });
    auto refused = [](std::string why) { return ActionResult{kPaneUsage, std::move(why), {}}; };
    if (usage == std::end(kUsages))
        return refused("\"" + w[0] +
                       "\" is not an action (list, select, set, up, down, stock, startup)");
    if (w.size() != usage->words) return refused(std::string("give ") + usage->form);
    if (w.size() > 1 && w[0] != "startup")
        if (std::string why = cardNameProblem(w[1]); !why.empty()) return refused(why);

    ActionResult result;
    if (w[0] == "list") {
        shows =
            cardsLine(c) + "; shown: " + shownCardLine(c) + "; Set at startup " + startupState(c);
        return result;
    }
    if (w[0] == "select") {
        result = actions.select(w[1]);
    } else if (w[0] == "set") {
        std::string why;
        const std::optional<double> vpu = tools::parseDecimal(w[2], tools::kMegahertzRange, &why);
        const std::optional<double> memory =
            vpu ? tools::parseDecimal(w[3], tools::kMegahertzRange, &why) : std::nullopt;
        if (!memory) return refused(why);
        result = actions.set(w[1], *vpu, *memory);
    } else if (w[0] == "up" || w[0] == "down") {
        if (w[2] != "vpu" && w[2] != "memory") return refused(std::string("give ") + usage->form);
        result = actions.step(w[1], w[2] == "vpu" ? StepperClock::kVPU : StepperClock::kMemory,
                              w[0] == "up" ? 1 : -1);
    } else if (w[0] == "stock") {
        result = actions.stock(w[1]);
    } else {
        if (w[1] != "on" && w[1] != "off") return refused(std::string("give ") + usage->form);
        result = actions.startup(w[1] == "on");
        shows = "Set at startup " + startupState(c);
        return result;
    }
    shows = shownCardLine(c);
    return result;
}

}  // namespace

int runActionScript(std::FILE* input, PaneSession& session, const PaneControls& controls,
                    PaneActions& actions) {
    int status = kPaneOK;
    // A machine the pane could not act on at all: every action is refused.
    std::string hostError;
    if (session.hostError()) {
        hostError = session.checkMachine();
        if (hostError.empty()) hostError = "the simulated Mac's machine could not be read";
    }
    bool tooLong = false;
    int number = 0;
    while (const std::optional<std::string> line = readLine(input, tooLong)) {
        ++number;
        const std::vector<std::string> words = wordsOf(*line);
        if ((words.empty() && !tooLong) || (!words.empty() && words[0][0] == '#')) continue;
        std::string action;
        for (const std::string& word : words) action += (action.empty() ? "" : " ") + word;
        std::string shows;
        ActionResult result;
        if (tooLong) {
            result = {
                kPaneUsage, "longer than " + std::to_string(kLongestLine) + " characters", {}};
            action = action.substr(0, 40) + "...";
        } else if (!hostError.empty()) {
            result = {kPaneUsage, hostError, {}};
        } else {
            result = perform(words, controls, actions, shows);
        }

        std::string outcome = ": " + std::to_string(number) + ": " + action + ": ";
        if (result.status == kPaneUsage) {
            outcome = "refused" + outcome + result.note;
        } else if (result.status == kPaneChangeRefused) {
            outcome = "failed" + outcome + alertsText(result.alerts) + "; " + shows;
            if (const std::string machine = session.checkMachine(); !machine.empty())
                outcome += "; " + machine;
        } else {
            outcome = "ok" + outcome + (result.note.empty() ? "" : result.note + "; ") + shows;
        }
        std::printf("%s\n", outcome.c_str());
        std::fflush(stdout);
        status = std::max(status, result.status);
    }
    return status;
}
