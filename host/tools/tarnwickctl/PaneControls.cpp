#include "PaneControls.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace {

// A field that shows a clock: its text with the unit when it shows a number,
// alone when it says the clock is unknown.
std::string clockText(const std::string& text) {
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    const bool number = !text.empty() && end != text.c_str() && *end == '\0';
    return number ? text + " MHz" : text;
}

// A percentage field: signed, with its unit; "-" when there is none.
std::string percentText(const std::string& text) {
    if (text.empty() || text == "-") return "-";
    return (text[0] == '-' ? "" : "+") + text + " %";
}

std::string rowText(const PaneControls& c, int row) {
    std::string text = std::to_string(row);
    for (int col = 0; col < c.cardsTable->numberOfColumns(); ++col)
        text += " " + c.cardsTable->stringValue(row, col);
    return text;
}

}  // namespace

std::vector<std::string> PaneControls::find(const NSPreferencePane& pane) {
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

const std::string& PaneControls::text(std::string_view outlet) const {
    return textFields.find(outlet)->second->stringValue();
}

std::string megahertz(double value) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.2f MHz", value);
    return buffer;
}

std::string megahertzLimit(double value, bool lowest) {
    double shown = std::round(value * 100) / 100;
    if (lowest && shown < value) shown += 0.01;
    if (!lowest && shown > value) shown -= 0.01;
    return megahertz(shown);
}

void printPane(const PaneControls& c) {
    std::printf("Tarnwick %s\n", c.text("versionTextField").c_str());
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
        std::printf("  VPU clock      %s  %s\n", clockText(c.text("vpuTextField")).c_str(),
                    percentText(c.text("vpuPercentTextField")).c_str());
        std::printf("  Memory clock   %s  %s\n", clockText(c.text("memoryTextField")).c_str(),
                    percentText(c.text("memPercentTextField")).c_str());
        std::printf("  Steppers       %s / %s, step %s, up to %s / %s\n",
                    megahertz(c.vpuStepper->doubleValue()).c_str(),
                    megahertz(c.memoryStepper->doubleValue()).c_str(),
                    megahertz(c.vpuStepper->increment()).c_str(),
                    megahertzLimit(c.vpuStepper->maxValue(), false).c_str(),
                    megahertzLimit(c.memoryStepper->maxValue(), false).c_str());
        std::printf("  Memory         %s MiB, %s, %s-bit bus\n", c.text("memSizeTextField").c_str(),
                    c.text("memTypeTextField").c_str(), c.text("busWidthTextField").c_str());
        std::printf("  Back to stock  %s\n", c.defaultButton->isEnabled() ? "enabled" : "disabled");
    }
    std::printf("Set at startup   %s\n", startupState(c).c_str());
}

std::string cardsLine(const PaneControls& c) {
    const int rows = c.cardsTable->numberOfRows();
    if (rows == 0) return "no cards";
    std::string line = std::to_string(rows) + (rows == 1 ? " card: " : " cards: ");
    for (int r = 0; r < rows; ++r) line += (r > 0 ? ", " : "") + rowText(c, r);
    return line;
}

std::string shownCardLine(const PaneControls& c) {
    const int row = c.cardsTable->selectedRow();
    if (row < 0) return "no card shown";
    auto clock = [&](const char* name, const char* field, const char* percentField,
                     const NSStepper& stepper) {
        std::string text = std::string(name) + " " + clockText(c.text(field));
        if (const std::string percent = percentText(c.text(percentField)); percent != "-")
            text += " " + percent;
        return text + " (requested " + megahertz(stepper.doubleValue()) + ")";
    };
    std::string slotAndModel;
    for (int col = 0; col < c.cardsTable->numberOfColumns(); ++col)
        slotAndModel += (col > 0 ? ", " : "") + c.cardsTable->stringValue(row, col);
    return "card " + std::to_string(row) + " (" + slotAndModel +
           "): " + clock("VPU", "vpuTextField", "vpuPercentTextField", *c.vpuStepper) + ", " +
           clock("Memory", "memoryTextField", "memPercentTextField", *c.memoryStepper) +
           ", Back to stock " + (c.defaultButton->isEnabled() ? "enabled" : "disabled");
}

std::string startupState(const PaneControls& c) {
    return std::string(c.startupCheckbox->state() != NSControlStateValueOff ? "on" : "off") +
           (c.startupCheckbox->isEnabled() ? "" : " (disabled)");
}
