// The ATI model table: the model name of an ATI card from the part number in
// its ROM identification text and its PCI device id.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The ROM part number: the six characters from zero-based position 4 of the
// ROM text's C form, or nothing when the text is absent or too short to hold
// one (then no part or generic test matches).
std::optional<std::string> atiROMPartNumber(const std::optional<std::string>& rom);

// The table's model name for this ROM text (as read, C form or not) and
// device id, or nothing when the card is to take its "model" property.
std::optional<std::string> atiModelFromTable(const std::optional<std::string>& rom,
                                             std::uint16_t deviceID);
