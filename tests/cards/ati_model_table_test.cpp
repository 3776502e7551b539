// The model names of ATI cards, from the ROM part number and device id, for
// every row of the table, through cards created on the simulated Mac.

#include "ATIModelTable.h"
#include "support/CardSupport.h"
#include "support/SimMacFixture.h"

using namespace testsupport;

namespace {

struct ModelCase {
    std::optional<std::string> rom;
    std::uint16_t deviceID;
    std::optional<std::string> modelProperty;
    std::optional<std::string> expected;  // nothing: no card
};

const std::optional<std::string> kNone;
const std::string kProperty = "ATY,Fallback";

std::vector<ModelCase> modelCases() {
    std::vector<ModelCase> cases = {
        {"113-A35804-100", 0x4E48, kProperty, "Radeon X850 XT"},
        {"113-A35801-100", 0x4E48, kProperty, "Radeon X800 XT"},
        {"113-xxxxx-100", 0x3E50, kProperty, "Radeon X600 XT"},
        {"113-xxxxx-134", 0x5B62, kProperty, "Radeon X600 Pro"},
        {"113-XXXXX-134", 0x5B62, kProperty, "Radeon X600 Pro"},
        {"113-A14404-100", 0x4E48, kProperty, "Radeon 9800 XT"},
        {"113-A58504-100", 0x4E50, kProperty, "Radeon 9600"},  // row 11 before row 20
        {"113-xxxxx-169", 0x4150, kProperty, "Radeon 9600"},
        {"113-xXxXx-169", 0x4E50, kProperty, "Mobility Radeon 9600/9700"},
        {"113-A27502-124", 0x4242, kProperty, "Radeon 9200"},
        {"113-A05802-100", 0x4242, kProperty, "Radeon 9200"},
        {"113-xxxxx-100", 0x5961, kProperty, "Radeon 9200"},
        {"113-xxxxx-100", 0x5962, kProperty, "Radeon 9200"},
        {"113-85710-100", 0x4242, kProperty, "Radeon 8500"},
        {"113-91701-100", 0x4242, kProperty, "Radeon 7500"},
        {"113-xxxxx-100", 0x5157, kProperty, "Radeon 7500"},
        {"113-xxxxx-100", 0x5052, kProperty, "Rage 128 Pro"},
        {"113-xxxxx-100", 0x5046, kProperty, "Rage 128 Pro"},
        {"113-xxxxx-100", 0x5452, kProperty, "Rage 128 Pro"},
        {"113-xxxxx-100", 0x4E54, kProperty, "Mobility Radeon 9600/9700"},
        {"113-xxxxx-100", 0x4E56, kProperty, "Mobility Radeon 9550"},
        {"113-xxxxx-100", 0x5C63, kProperty, "Mobility Radeon 9200"},
        {"113-xxxxx-100", 0x4C66, kProperty, "Mobility Radeon 9000"},
        {"113-xxxxx-100", 0x4C57, kProperty, "Mobility Radeon 7500"},
        {"113-xxxxx-100", 0x4C59, kProperty, "Mobility Radeon"},
        {"113-XXXXX-100", 0x4C46, kProperty, "Mobility Rage 128"},
        // Rule 27 and the other fallbacks.
        {"113-A99999-000", 0x4E48, kProperty, kProperty},
        {"113-A99999-000", 0x4E48, kNone, kNone},
        {"113-a35804-100", 0x4E48, kProperty, kProperty},  // part numbers are case-sensitive
        {"113-xxxxx-169", 0x5159, kProperty, kProperty},
        {"113-xxxxy-100", 0x4C46, kProperty, kProperty},
        {"113-A3580", 0x4E48, kProperty, kProperty},  // too short for a part number
        {"113-A3580", 0x71C5, kProperty, kProperty},
        {kNone, 0x71C5, kProperty, "Mobility Radeon X1600"},
        {kNone, 0x71C5, kNone, "Mobility Radeon X1600"},
        {kNone, 0x4150, kProperty, kProperty},
        {kNone, 0x4150, kNone, kNone},
    };
    const std::pair<std::vector<const char*>, const char*> partRows[] = {
        {{"A14403", "A14402", "A14401", "A07525"}, "Radeon 9800 Pro"},
        {{"A06500"}, "Radeon 9700 Pro"},
        {{"A58503"}, "Radeon 9650"},
        {{"A13602"}, "Radeon 9600 XT"},
        {{"A13601", "A58508"}, "Radeon 9600 Pro"},
        {{"99703-", "99702-"}, "Radeon 9000 Pro"},
        {{"77702-", "77701-", "74901-", "73501-"}, "Radeon"},
        {{"85501-", "85505-"}, "Radeon 7000"},
        {{"72701-", "63001-"}, "Rage 128 Pro"},
        {{"57502-", "57406-", "57407-", "57401-", "51809-", "57405-"}, "Rage 128"},
    };
    for (const auto& [parts, model] : partRows) {
        for (const char* part : parts) {
            cases.push_back({std::string("113-") + part + "123", 0x4242, kProperty, model});
        }
    }
    return cases;
}

TEST(ATIModelTable, EveryRowThroughCardsOfTheSimulatedMac) {
    const std::vector<ModelCase> cases = modelCases();
    std::vector<ATIDevice> devices;
    for (std::size_t i = 0; i < cases.size(); ++i)
        devices.push_back({.entryName = "ATY,Card" + std::to_string(i),
                           .deviceID = cases[i].deviceID,
                           .rom = cases[i].rom,
                           .model = cases[i].modelProperty,
                           .slotName = "CASE-" + std::to_string(i)});
    TempSimMac mac;
    mac.writeMachine(atiMachine(devices));
    CardList cards = discoverATICards();
    std::map<std::string, std::optional<std::string>> modelBySlot;
    for (const auto& card : cards) modelBySlot[*card->slot()] = card->model();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("ROM " + cases[i].rom.value_or("(none)") + ", device " +
                     std::to_string(cases[i].deviceID));
        auto found = modelBySlot.find("CASE-" + std::to_string(i));
        if (!cases[i].expected) {
            EXPECT_EQ(found, modelBySlot.end());
        } else {
            ASSERT_NE(found, modelBySlot.end());
            EXPECT_EQ(found->second, cases[i].expected);
        }
    }
}

TEST(ATIModelTable, PartNumberIsTakenFromTheCForm) {
    EXPECT_EQ(atiROMPartNumber(std::string("113-A27502-124\0", 15)), "A27502");
    EXPECT_EQ(atiROMPartNumber(std::string("113-99703-")), "99703-");
    // A zero byte inside the first ten characters ends the text early.
    EXPECT_EQ(atiROMPartNumber(std::string("113-A27\000502-124", 15)), std::nullopt);
    EXPECT_EQ(atiROMPartNumber(std::nullopt), std::nullopt);
}

}  // namespace
