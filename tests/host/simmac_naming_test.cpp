// simmac takes a card the way a person names it: the driver's path or a
// unique prefix, the card entry, and the card as the pane lists it, by slot
// or by row. Checked through the command that reached the named driver.

#include <cctype>

#include "support/Child.h"
#include "support/SimMacFixture.h"

namespace {

using namespace testsupport;

const std::string kATI = driverPath("ATY,R350@10");
const std::string kSlot1 = driverPath("NVDA,A@1");
const std::string kIntel = driverPath("2nd,Intel@2");  // a vendor the pane does not list
const std::string kBuiltIn = driverPath("NVDA,B@3");

cf::Dictionary card(const std::string& name, std::uint32_t vendor, const char* kind,
                    cf::Dictionary extra) {
    extra.set("vendor-id", dataU32(vendor));
    const Registers registers = std::string(kind) == "ATI" ? Registers{{"PLL", 0x64640C}}
                                                           : Registers{{"0x101000", 0x400000}};
    return entry(name, extra, {driverEntry(kind, registers)});
}

// Rows of the pane: 0 the AGP card, 1 SLOT-1, 2 the built-in card (the
// Intel card has no row).
cf::Value namingMachine() {
    cf::Dictionary agp, slot1, slot3;
    agp.set("AGP_Master", dataU32(1));
    slot1.set("AAPL,slot-name", dataText("SLOT-1"));
    slot3.set("AAPL,slot-name", dataText("SLOT-3"));
    return machine(
        {card("ATY,R350@10", 0x1002, "ATI", agp), card("NVDA,A@1", 0x10DE, "NVIDIA", slot1),
         card("2nd,Intel@2", 0x8086, "NVIDIA", slot3), card("NVDA,B@3", 0x10DE, "NVIDIA", {})});
}

struct Naming {
    std::string argument;
    std::string driver;                   // the driver named; empty: refused
    std::vector<std::string> candidates;  // listed when refused
};

void PrintTo(const Naming& n, std::ostream* os) { *os << n.argument; }

class SimmacNaming : public ::testing::TestWithParam<Naming> {};

TEST_P(SimmacNaming, ReachesTheNamedDriverOrRefusesListingTheCandidates) {
    TempSimMac mac;
    mac.writeMachine(namingMachine());
    const Naming& n = GetParam();
    const bool ati = n.driver == kATI;
    const RunResult r = simmac({"command", n.argument, ati ? "0" : "11", ati ? "0" : "0x101000"});
    const auto log = mac.driverLog();
    if (!n.driver.empty()) {
        EXPECT_EQ(r.status, 0) << r.output;
        ASSERT_EQ(log.size(), 1u) << r.output;
        EXPECT_EQ(log[0].driver, n.driver);
        EXPECT_EQ(log[0].result, 0u);
        return;
    }
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(log.empty()) << "nothing reached any driver";
    for (const std::string& candidate : n.candidates)
        EXPECT_CONTAINS(r.output, candidate) << candidate << "\n" << r.output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimmacNaming,
    ::testing::Values(Naming{"AGP", kATI, {}}, Naming{"SLOT-1", kSlot1, {}},
                      Naming{"Built-in", kBuiltIn, {}}, Naming{"0", kATI, {}},
                      Naming{"1", kSlot1, {}}, Naming{"SLOT-3", kIntel, {}},
                      Naming{"/NVDA,B@3", kBuiltIn, {}}, Naming{"IOService:/" + kSlot1, kSlot1, {}},
                      // Row 2 is the built-in card, and "2" also begins the Intel card's path.
                      Naming{"2", "", {kBuiltIn + "  (row 2, slot Built-in)", kIntel}},
                      Naming{"NVDA", "", {kSlot1 + "  (row 1, slot SLOT-1)", kBuiltIn}},
                      // No fourth row; slots are compared as the pane compares them.
                      Naming{"3", "", {kATI + "  (row 0, slot AGP)", kSlot1, kIntel, kBuiltIn}},
                      Naming{"agp", "", {kATI}}),
    [](const auto& info) {
        std::string name;
        for (char c : info.param.argument + "_" + std::to_string(info.index))
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(SimmacNamingFault, SetsTheFaultsOfTheCardInTheAGPSlot) {
    TempSimMac mac;
    mac.writeMachine(namingMachine());
    const RunResult r = simmac({"fault", "AGP", "--busy", "20"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_CONTAINS(r.output, kATI + ": busy 20 ms");
    const cf::Value machine = mac.readMachine();
    const cf::Dictionary& ati = *machine.dictionary()->get("Entries")->array()->at(0).dictionary();
    const cf::Dictionary& driver = *ati.get("Children")->array()->at(0).dictionary();
    ASSERT_NE(driver.get("Driver"), nullptr);
    EXPECT_EQ(*driver.get("Driver"), cf::Value(driverFaults({.busyMilliseconds = 20})));
}

}  // namespace
