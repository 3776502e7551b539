// The startup tool's build of ATICard: creation reads no memory facts, so
// identification sends ReadATIPLL only and memSize, busWidth and memType
// stay 0.
#include "ATICard.h"

std::optional<std::string> ATICard::readMemoryFactsAtCreation() { return std::nullopt; }
