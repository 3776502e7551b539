// The pane when things go wrong: a card whose driver does not answer, a
// machine that cannot be read, saved clocks no pane could have set, login
// items in a form the pane does not know, and what the pane then reports of
// its session (valueForKey) to the program that hosts it.

#include <cmath>
#include <cstdlib>
#include <functional>

#include "support/OpenPane.h"

using namespace testsupport;

namespace {

const std::filesystem::path kPreferences = std::filesystem::path("Library") / "Preferences";

std::vector<std::string> slotsOf(const cf::Array& cards) {
    std::vector<std::string> found;
    for (const cf::Value& entry : cards) found.push_back(stringOf(*entry.dictionary(), "Slot"));
    return found;
}

// A card in the middle of three whose driver stops answering while the card
// is created: the pane leaves it out without programming it, and at quit
// its saved entry is kept unchanged in its place; the entry of a card that
// is gone is dropped.
TEST(PaneFaults, ACardWhoseDriverDoesNotAnswerIsLeftOutAndKeepsItsEntry) {
    // The middle card is an ATI card (`ati`) or an NV4x card whose driver
    // refuses after `refuseAfter` commands; the read that fails, and the
    // commands that reach that driver.
    const auto check = [](const char* what, bool ati, std::int64_t refuseAfter,
                          const char* failedRead, const std::vector<Command>& commands) {
        SCOPED_TRACE(what);
        TempSimMac mac;
        const cf::Dictionary faults = driverFaults({.refuseAfter = refuseAfter});
        const std::string faultyEntry = ati ? "ATY,CardB" : "NVDA,Card";
        mac.writeMachine(machine(
            {atiEntry({.entryName = "ATY,CardA"}),
             ati ? atiEntry({.entryName = "ATY,CardB", .slotName = "SLOT-2", .faults = faults})
                 : nv4xEntry("NVDA,Card", "SLOT-2", faults),
             atiEntry({.entryName = "ATY,CardC", .slotName = "SLOT-3"})}));
        cf::Dictionary kept = savedCardEntry("SLOT-2", ati ? "ATY,TestCard" : "NVIDIA GeForce 6800",
                                             247.5f, 234.0f, 225.0f, 225.0f);
        if (!ati) kept.set("Stock GPLL", cf::CFNumberCreate(cf::kCFNumberSInt64Type, 0x80010A05));
        writePaneDomain(true,
                        {savedCardEntry("SLOT-9", "Gone", 300.0f, 300.0f, 300.0f, 300.0f), kept,
                         savedCardEntry("SLOT-1", "ATY,TestCard", 247.5f, 225.0f, 225.0f, 225.0f)});

        OpenPane pane;
        ASSERT_TRUE(pane.loaded());
        ASSERT_EQ(pane.table().numberOfRows(), 2);
        EXPECT_EQ(pane.table().stringValue(0, 0), "SLOT-1");
        EXPECT_EQ(pane.table().stringValue(1, 0), "SLOT-3");
        EXPECT_EQ(pane.sessionValue("unreadCardCount"), 1);
        EXPECT_EQ(pane.sessionValue("machineUnreadable"), 0);
        const auto alerts = host::shownAlerts();
        ASSERT_EQ(alerts.size(), 1u);
        EXPECT_EQ(alerts[0].messageText, paneString("CARD_UNREAD_MESSAGE"));
        EXPECT_EQ(alerts[0].informativeText, paneString("CARD_UNREAD_INFO_TEXT"));
        const std::string driver = driverPath(faultyEntry);
        EXPECT_EQ(mac.commands(0, driver), commands);
        EXPECT_CONTAINS(mac.systemLog(), "Tarnwick: card of IOService:/" + driver +
                                             " not used: " + failedRead + " failed\n");

        pane.quit();
        EXPECT_EQ(pane.sessionValue("lastSaveSucceeded"), 1);
        const cf::Array cards = savedCards();
        ASSERT_EQ(slotsOf(cards), (std::vector<std::string>{"SLOT-3", "SLOT-2", "SLOT-1"}));
        EXPECT_EQ(cf::toXMLPropertyList(cards[1]), cf::toXMLPropertyList(kept));
    };
    check("ATI, memory size read refused", true, 1, "ReadATIRegister 0xF8",
          {{0, 0}, {1, 0xF8, {}, false}});
    check("ATI, SDRAM mode read refused", true, 3, "ReadATIRegister 0x158",
          {{0, 0}, {1, 0xF8}, {1, 0x140}, {1, 0x158, {}, false}});
    check("NV4x, core control word refused", false, 2, "ReadNVIDIARegister 0x4000",
          {nvRead(0x101000), nvRead(0x101000), nvRead(0x4000, false)});
}

// A machine that cannot be read is not a machine without cards: the pane
// says so and at quit writes neither its settings nor the login item. A
// machine without a clock driver still saves an empty "Cards".
TEST(PaneFaults, AnUnreadableMachineIsSaidSoAndCostsNoSavedSetting) {
    const auto check = [](const char* what, const std::function<void(const TempSimMac&)>& setUp,
                          bool unreadable) {
        SCOPED_TRACE(what);
        TempSimMac mac;
        writePaneDomain(true,
                        {savedCardEntry("SLOT-1", "ATY,TestCard", 247.5f, 234.0f, 225.0f, 225.0f)});
        writeLoginItems(cf::Array{});
        const std::string paneBefore = readFile(domainFile(kPaneDomain));
        const std::string loginBefore = readFile(domainFile("loginwindow"));
        setUp(mac);

        OpenPane pane;
        ASSERT_TRUE(pane.loaded());
        EXPECT_EQ(pane.table().numberOfRows(), 0);
        EXPECT_FALSE(pane.button("startupCheckbox").isEnabled());
        EXPECT_EQ(pane.sessionValue("machineUnreadable"), unreadable ? 1 : 0);
        const auto alerts = host::shownAlerts();
        ASSERT_EQ(alerts.size(), 1u);
        const std::string prefix = unreadable ? "MACHINE_UNREADABLE" : "NO_CARD";
        EXPECT_EQ(alerts[0].messageText, paneString(prefix + "_MESSAGE"));
        EXPECT_EQ(alerts[0].informativeText, paneString(prefix + "_INFO_TEXT"));
        EXPECT_NE(alerts[0].messageText, "Key not found");

        pane.quit();
        EXPECT_EQ(pane.sessionValue("lastSaveSucceeded"), unreadable ? 0 : 1);
        if (unreadable) {
            EXPECT_EQ(readFile(domainFile(kPaneDomain)), paneBefore);
            EXPECT_EQ(readFile(domainFile("loginwindow")), loginBefore);
            EXPECT_CONTAINS(mac.systemLog(),
                            "Tarnwick: the machine could not be read; settings and "
                            "login item not saved\n");
        } else {
            EXPECT_TRUE(savedCards().empty());
        }
    };
    check(
        "not a property list",
        [](const TempSimMac& mac) { writeFile(mac.root() / "machine.plist", "garbage\n"); }, true);
    check(
        "a folder in its place",
        [](const TempSimMac& mac) {
            std::filesystem::create_directories(mac.root() / "machine.plist");
        },
        true);
    check(
        "no clock driver", [](const TempSimMac& mac) { mac.writeMachine(machine({})); }, false);
}

// Saved clocks no pane could have set reach no card, on either path: with
// the Option key their stock clocks are not taken either.
TEST(PaneFaults, SavedClocksNoPaneCouldHaveSetAreNotApplied) {
    for (const bool optionKey : {false, true}) {
        SCOPED_TRACE(optionKey ? "Option key" : "restoring");
        TempSimMac mac;
        mac.writeMachine(machine({atiEntry({.entryName = "ATY,CardA"}),
                                  atiEntry({.entryName = "ATY,CardB", .slotName = "SLOT-2"})}));
        // A stock of 180 MHz would show as 25 % above stock if it were taken.
        cf::Dictionary huge = savedCardEntry("SLOT-1", "ATY,TestCard", 0, 234.0f, 180.0f, 180.0f);
        huge.set("VPU", cf::CFNumberCreateReal(cf::kCFNumberDoubleType, 1e39));
        writePaneDomain(
            false, {huge, savedCardEntry("SLOT-2", "ATY,TestCard", 1e6f, 234.0f, 180.0f, 180.0f)});

        OpenPane pane(optionKey);
        ASSERT_TRUE(pane.loaded());
        EXPECT_TRUE(mac.pllWrites(driverPath("ATY,CardA")).empty());
        EXPECT_TRUE(mac.pllWrites(driverPath("ATY,CardB")).empty());
        for (int row : {0, 1}) {
            ASSERT_TRUE(pane.table().selectRow(row));
            EXPECT_EQ(pane.field("vpuPercentTextField").stringValue(), "0.0") << "row " << row;
        }
        const std::string log = mac.systemLog();
        for (const char* clocks : {"VPU inf, Memory 234", "VPU 1e+06, Memory 234"})
            EXPECT_CONTAINS(log, clocks);
    }
}

// The save at quit reports whether everything was written: the login items
// of another form are left unchanged (and the settings still saved), a
// preferences folder that cannot be written to fails the save.
TEST(PaneFaults, TheSessionTellsWhetherTheSaveWroteEverything) {
    const auto check = [](const char* what, const std::function<void(const TempSimMac&)>& setUp,
                          bool succeeded, bool loginItemsKept = false) {
        SCOPED_TRACE(what);
        TempSimMac mac;
        mac.writeMachine(machine({atiEntry({})}));
        setUp(mac);
        const std::string loginBefore = readFile(domainFile("loginwindow"));

        OpenPane pane;
        ASSERT_TRUE(pane.loaded());
        EXPECT_EQ(pane.sessionValue("lastSaveSucceeded"), 0) << "nothing saved yet";
        pane.button("startupCheckbox").performClick();
        pane.quit();
        EXPECT_EQ(pane.sessionValue("lastSaveSucceeded"), succeeded ? 1 : 0);
        if (loginItemsKept) {
            EXPECT_EQ(readFile(domainFile("loginwindow")), loginBefore);
            EXPECT_CONTAINS(mac.systemLog(),
                            "Tarnwick: the login items "
                            "(AutoLaunchedApplicationDictionary) are not a list; "
                            "left unchanged\n");
            EXPECT_EQ(slotsOf(savedCards()), std::vector<std::string>{"SLOT-1"})
                << "the settings are saved all the same";
        }
    };
    check(
        "login items in a list", [](const TempSimMac&) { writeLoginItems(cf::Array{}); }, true);
    check(
        "another program's login item as one dictionary",
        [](const TempSimMac&) {
            writeLoginItems(loginItem("/Applications/Other.app", true),
                            with({}, "OtherKey", "kept"));
        },
        false, true);
    check(
        "preferences folder that is a file",
        [](const TempSimMac& mac) { writeFile(mac.root() / kPreferences, "not a folder\n"); },
        false);
}

// After a change that did not go through (a click, Back to Stock, the
// restore at open) the pane shows what the card runs, read back from it, or
// that its clocks are unknown; what it saves is never a clock the card did
// not reach or the user did not choose.
TEST(PaneFaults, AfterAFailedChangeThePaneShowsAndSavesWhatTheCardRuns) {
    const auto refuseWrites = [](const TempSimMac& mac) {
        setDriverFaults(mac, "ATY,Card", driverFaults({.refuseCommands = {2}}));
    };
    using Act = std::function<void(OpenPane&, const TempSimMac&)>;
    // An NVIDIA card or an ATI one (which refuses WriteATIPLL from the start
    // when `faultsAtOpen`), `act` done on the open pane; `alert` is the first
    // alert's key, `vpuShown` the core clock shown (nothing: "unknown").
    const auto check = [](const char* what, bool nvidia, bool faultsAtOpen, const Act& act,
                          const char* alert, std::optional<float> vpuShown, float vpuSaved,
                          std::int64_t unrestored) {
        SCOPED_TRACE(what);
        TempSimMac mac;
        const float saved = nvidia ? 405.0f : 247.5f;
        ATIDevice ati;
        if (faultsAtOpen) ati.faults = driverFaults({.refuseCommands = {2}});
        mac.writeMachine(machine({nvidia ? nv4xEntry("NVDA,Card", "SLOT-1") : atiEntry(ati)}));
        const std::string model = modelShownForFirstCard();
        writePaneDomain(true, {savedCardEntry("SLOT-1", model, saved, nvidia ? 351.0f : 234.0f,
                                              nvidia ? 405.0f : 225.0f, nvidia ? 351.0f : 225.0f)});
        OpenPane pane;
        ASSERT_TRUE(pane.loaded());
        host::clearShownAlerts();
        if (faultsAtOpen) {
            pane.pane().mainViewDidLoad();
        }
        if (act) act(pane, mac);
        const auto alerts = host::shownAlerts();
        ASSERT_FALSE(alerts.empty());
        EXPECT_EQ(alerts[0].messageText, paneString(alert));
        const std::string shown = pane.field("vpuTextField").stringValue();
        if (vpuShown) {
            EXPECT_NEAR(std::strtof(shown.c_str(), nullptr), *vpuShown, 0.06f) << shown;
        } else {
            EXPECT_EQ(shown, paneString("CLOCK_UNKNOWN"));
            EXPECT_TRUE(pane.button("defaultButton").isEnabled()) << "not known to be at stock";
        }
        pane.quit();
        EXPECT_EQ(pane.sessionValue("unrestoredCardCount"), unrestored);
        const cf::Array cards = savedCards();
        ASSERT_EQ(cards.size(), 1u);
        EXPECT_EQ(floatOf(*cards[0].dictionary(), "VPU"), vpuSaved);
    };
    check(
        "an NVIDIA card that refuses everything after the core's two words", true, false,
        [](OpenPane& pane, const TempSimMac& mac) {
            setDriverFaults(mac, "NVDA,Card", driverFaults({.refuseAfter = 2}));
            pane.vpuStepper().click(+4);
        },
        "CONFIG_FAILED", std::nullopt, 405.0f, 0);
    check(
        "Back to Stock refused (after the restore to 247.5 MHz and two steps)", false, false,
        [&](OpenPane& pane, const TempSimMac& mac) {
            pane.vpuStepper().click(+2);
            refuseWrites(mac);
            pane.button("defaultButton").performClick();
        },
        "CONFIG_FAILED", 252.0f, 252.0f, 0);
    check("the saved clocks refused at open", false, true, {}, "RESTORE_FAILED_MESSAGE", 225.0f,
          247.5f, 1);
    check(
        "the saved clocks refused at open, then changed by the user", false, true,
        [](OpenPane& pane, const TempSimMac& mac) {
            setDriverFaults(mac, "ATY,Card", {});
            pane.vpuStepper().click(+1);
        },
        "RESTORE_FAILED_MESSAGE", 227.25f, 227.25f, 0);
}

}  // namespace
