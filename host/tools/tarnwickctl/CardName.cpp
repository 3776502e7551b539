#include "CardName.h"

#include <cctype>
#include <vector>

namespace {

constexpr int kSlotColumn = 0;

bool isRow(const std::string& text) {
    const std::size_t from = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() <= from) return false;
    for (std::size_t i = from; i < text.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// The slots of the table's cards, as a list in a message.
std::string slotList(const NSTableView& table) {
    std::string list;
    for (int row = 0; row < table.numberOfRows(); ++row)
        list += (row > 0 ? ", " : "") + table.stringValue(row, kSlotColumn);
    return list.empty() ? "no card" : list;
}

std::string leftOutText(long cardsLeftOut) {
    return std::to_string(cardsLeftOut) + (cardsLeftOut == 1 ? " card" : " cards") +
           " could not be read and " + (cardsLeftOut == 1 ? "was" : "were") + " left out";
}

}  // namespace

std::string cardNameProblem(const std::string& text) {
    if (isRow(text)) return {};
    const unsigned char first = text.empty() ? 0 : static_cast<unsigned char>(text[0]);
    if (first != 0 && !std::isdigit(first) && first != '-' && first != '+' && !std::isspace(first))
        return {};
    return "\"" + text +
           "\" is not a whole number (a card's row) nor a slot name (AGP, SLOT-1, Built-in ...)";
}

const CLI::Validator kCardName(cardNameProblem, "CARD");

std::optional<int> findCard(const NSTableView& table, const std::string& name, long cardsLeftOut,
                            std::string* why) {
    const int rows = table.numberOfRows();
    if (isRow(name)) {
        if (cardsLeftOut > 0) {
            *why = leftOutText(cardsLeftOut) + ", so the rows have moved: name the card by its " +
                   "slot (the pane lists " + slotList(table) + ")";
            return std::nullopt;
        }
        // Past six digits no row can exist, and the text needs no conversion.
        const int row = name.size() <= 6 ? std::stoi(name) : -1;
        if (row >= 0 && row < rows) return row;
        *why = "no card at row " + name + " (the pane lists " + std::to_string(rows) +
               (rows == 1 ? " card" : " cards") + (rows > 0 ? ": " + slotList(table) : "") + ")";
        return std::nullopt;
    }
    std::vector<int> found;
    for (int row = 0; row < rows; ++row)
        if (table.stringValue(row, kSlotColumn) == name) found.push_back(row);
    if (found.size() == 1) return found.front();
    if (found.empty()) {
        *why = "no card in slot \"" + name + "\" (the pane lists " + slotList(table) + ")";
        if (cardsLeftOut > 0) *why += "; " + leftOutText(cardsLeftOut);
    } else {
        std::string list;
        for (int row : found) list += (list.empty() ? "" : ", ") + std::to_string(row);
        *why = std::to_string(found.size()) + " cards are in slot \"" + name + "\" (rows " + list +
               "): name the card by its row";
    }
    return std::nullopt;
}
