#include "ATIModelTable.h"

#include <algorithm>
#include <initializer_list>

#include "Card.h"

namespace {

// One row: the part numbers that name the model exactly, and the device ids
// that name it when the ROM carries only the generic part number "XXXXX-".
struct ModelRule {
    std::initializer_list<const char*> parts;
    std::initializer_list<std::uint16_t> genericDevices;
    const char* model;
};

// Tried in this order; the first row that holds wins. Saved settings are
// matched by these texts, so they must never change.
const ModelRule kModelRules[] = {
    {{"A35804"}, {}, "Radeon X850 XT"},
    {{"A35801"}, {}, "Radeon X800 XT"},
    {{}, {0x3E50}, "Radeon X600 XT"},
    {{}, {0x5B62}, "Radeon X600 Pro"},
    {{"A14404"}, {}, "Radeon 9800 XT"},
    {{"A14403", "A14402", "A14401", "A07525"}, {}, "Radeon 9800 Pro"},
    {{"A06500"}, {}, "Radeon 9700 Pro"},
    {{"A58503"}, {}, "Radeon 9650"},
    {{"A13602"}, {}, "Radeon 9600 XT"},
    {{"A13601", "A58508"}, {}, "Radeon 9600 Pro"},
    {{"A58504"}, {0x4150}, "Radeon 9600"},
    {{"A27502", "A05802"}, {0x5961, 0x5962}, "Radeon 9200"},
    {{"99703-", "99702-"}, {}, "Radeon 9000 Pro"},
    {{"85710-"}, {}, "Radeon 8500"},
    {{"91701-"}, {0x5157}, "Radeon 7500"},
    {{"77702-", "77701-", "74901-", "73501-"}, {}, "Radeon"},
    {{"85501-", "85505-"}, {}, "Radeon 7000"},
    {{"72701-", "63001-"}, {0x5052, 0x5046, 0x5452}, "Rage 128 Pro"},
    {{"57502-", "57406-", "57407-", "57401-", "51809-", "57405-"}, {}, "Rage 128"},
    {{}, {0x4E50, 0x4E54}, "Mobility Radeon 9600/9700"},
    {{}, {0x4E56}, "Mobility Radeon 9550"},
    {{}, {0x5C63}, "Mobility Radeon 9200"},
    {{}, {0x4C66}, "Mobility Radeon 9000"},
    {{}, {0x4C57}, "Mobility Radeon 7500"},
    {{}, {0x4C59}, "Mobility Radeon"},
    {{}, {0x4C46}, "Mobility Rage 128"},
};

bool isGenericPartNumber(const std::string& part) {
    static constexpr char generic[] = "XXXXX-";
    return part.size() == 6 && std::equal(part.begin(), part.end(), generic, [](char a, char b) {
               // ASCII case folding only.
               auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; };
               return upper(a) == upper(b);
           });
}

}  // namespace

std::optional<std::string> atiROMPartNumber(const std::optional<std::string>& rom) {
    if (!rom) {
        return std::nullopt;
    }
    std::string text = cString(*rom);
    if (text.size() < 10) {
        return std::nullopt;
    }
    return text.substr(4, 6);
}

std::optional<std::string> atiModelFromTable(const std::optional<std::string>& rom,
                                             std::uint16_t deviceID) {
    if (!rom) {
        if (deviceID == 0x71C5) {
            return std::string("Mobility Radeon X1600");
        }
        return std::nullopt;
    }
    std::optional<std::string> part = atiROMPartNumber(rom);
    if (!part) {
        return std::nullopt;
    }
    const bool generic = isGenericPartNumber(*part);
    for (const ModelRule& rule : kModelRules) {
        for (const char* p : rule.parts) {
            if (*part == p) {
                return std::string(rule.model);
            }
        }
        if (generic) {
            for (std::uint16_t device : rule.genericDevices) {
                if (deviceID == device) {
                    return std::string(rule.model);
                }
            }
        }
    }
    return std::nullopt;
}
