// The whole road of one use, through the programs a person runs: install the
// pane, change clocks and the startup choice with tarnwickctl, power-cycle the
// simulated Mac, log in with loginwindow, and find the chosen clocks on the
// hardware, put there by the startup tool. Also prefhost's quitting on
// signals (the pane saves) and the terminal front end's failure paths (its
// refused requests are among the usage errors).
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill is POSIX, not in <csignal>

#include <cmath>
#include <regex>

#include "host/Machine.h"
#include "host/SimMac.h"
#include "support/OpenPane.h"

namespace fs = std::filesystem;

using namespace testsupport;

namespace {

// The ATI card's driver in the default machine.
constexpr const char* kATIDriverPrefix = "pci@f0000000/ATY,R350@10";

fs::path installedPane() { return host::preferencePanesDir() / "TarnwickPref.prefPane"; }

void installPane() {
    ASSERT_TRUE(installBuiltPane());
    ASSERT_TRUE(fs::exists(installedPane() / "Contents" / "Resources" / "TarnwickStartup.app"));
}

RunResult ctl(std::vector<std::string> args) {
    args.insert(args.begin(), tool("tarnwickctl"));
    return run(args);
}

double number(const std::string& text, const std::string& pattern) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern))) {
        ADD_FAILURE() << "no match for /" << pattern << "/ in:\n" << text;
        return NAN;
    }
    return std::stod(m[1].str());
}

// The selected card as tarnwickctl prints the pane.
struct ShownCard {
    double vpu, memory, step;
    bool backToStock;
};
ShownCard shown(const RunResult& r) {
    return {number(r.output, R"(VPU clock +([0-9.]+) MHz)"),
            number(r.output, R"(Memory clock +([0-9.]+) MHz)"),
            number(r.output, R"(step ([0-9.]+) MHz)"),
            r.output.find("Back to stock  enabled") != std::string::npos};
}

// tarnwickctl with `args`, which succeeds; the card it shows then.
ShownCard ctlShown(std::vector<std::string> args) {
    const RunResult r = ctl(std::move(args));
    EXPECT_EQ(r.status, 0) << r.output;
    return shown(r);
}

// Core and memory clocks of every card, in registry order, as `simmac show`
// computes them from the registers.
std::vector<std::pair<double, double>> hardwareClocks() {
    const RunResult r = run({tool("simmac"), "show"});
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<std::pair<double, double>> clocks;
    static const std::regex line(R"((core|memory):.*= *([0-9.]+) MHz)");
    for (auto it = std::sregex_iterator(r.output.begin(), r.output.end(), line);
         it != std::sregex_iterator(); ++it) {
        const double mhz = std::stod((*it)[2].str());
        if ((*it)[1] == "core")
            clocks.emplace_back(mhz, NAN);
        else if (!clocks.empty())
            clocks.back().second = mhz;
    }
    return clocks;
}

// The pane shows clocks with one decimal.
void expectShownAs(double hardware, double shownValue, const char* what) {
    EXPECT_LE(std::fabs(hardware - shownValue), 0.05 + 1e-9)
        << what << ": hardware " << hardware << " MHz, pane showed " << shownValue;
}

}  // namespace

TEST(EndToEnd, ChosenClocksComeBackAtTheNextLogin) {
    TempSimMac mac;  // fresh: the first program creates the default machine
    installPane();

    const ShownCard ati = ctlShown({"list"});
    ASSERT_FALSE(ati.backToStock) << "a fresh machine runs at stock";
    const ShownCard nvidia = ctlShown({"list", "1"});
    const auto powerOn = hardwareClocks();
    ASSERT_EQ(powerOn.size(), 3u);

    // Raise the ATI card by several steps on both clocks, the NVIDIA card too.
    const ShownCard atiChosen = ctlShown({"set", "0", std::to_string(ati.vpu + 8 * ati.step),
                                          std::to_string(ati.memory + 4 * ati.step)});
    EXPECT_GT(atiChosen.vpu, ati.vpu + 6 * ati.step);
    EXPECT_GT(atiChosen.memory, ati.memory + 2 * ati.step);
    EXPECT_TRUE(atiChosen.backToStock);
    const ShownCard nvidiaChosen =
        ctlShown({"set", "1", std::to_string(nvidia.vpu + 40), std::to_string(nvidia.memory + 50)});
    EXPECT_GT(nvidiaChosen.vpu, nvidia.vpu + 30);
    EXPECT_GT(nvidiaChosen.memory, nvidia.memory + 40);

    const RunResult startup = ctl({"startup", "on"});
    ASSERT_EQ(startup.status, 0) << startup.output;
    EXPECT_CONTAINS(startup.output, "Set at startup   on");

    // What the pane saved at its last quit: the setting, three card entries,
    // and a login item pointing into the installed pane.
    const cf::Dictionary settings = savedSettings();
    EXPECT_TRUE(cf::boolValue(settings.get("Set at Startup")));
    EXPECT_EQ(savedCards(settings).size(), 3u);
    const cf::Array items = loginItems();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(stringOf(*items[0].dictionary(), "Path"),
              (installedPane() / "Contents" / "Resources" / "TarnwickStartup.app").string());

    // Power cycle: the hardware forgets the chosen clocks.
    ASSERT_EQ(run({tool("simmac"), "reboot"}).status, 0);
    const auto afterReboot = hardwareClocks();
    ASSERT_EQ(afterReboot.size(), 3u);
    EXPECT_EQ(afterReboot, powerOn);
    const auto logBeforeLogin = mac.driverLog();
    const std::uint64_t lastSeq = logBeforeLogin.empty() ? 0 : logBeforeLogin.back().seq;

    // Login: the login window starts the startup tool from the installed pane.
    const RunResult login = run({tool("loginwindow")});
    ASSERT_EQ(login.status, 0) << login.output;
    EXPECT_CONTAINS(login.output, "TarnwickStartup.app exited with status 0");

    const auto afterLogin = hardwareClocks();
    ASSERT_EQ(afterLogin.size(), 3u);
    expectShownAs(afterLogin[0].first, atiChosen.vpu, "ATI core");
    expectShownAs(afterLogin[0].second, atiChosen.memory, "ATI memory");
    expectShownAs(afterLogin[1].first, nvidiaChosen.vpu, "NVIDIA core");
    expectShownAs(afterLogin[1].second, nvidiaChosen.memory, "NVIDIA memory");
    EXPECT_EQ(afterLogin[2], powerOn[2]) << "the untouched card keeps its stock clocks";

    // What the startup tool sent: accepted PLL writes, the last of which is
    // what each register holds now.
    std::map<std::string, std::map<std::string, std::int64_t>>
        lastWrite;  // driver -> register -> value
    int atiWrites = 0, nvidiaWrites = 0;
    for (const auto& record : mac.driverLog()) {
        if (record.seq <= lastSeq) continue;
        EXPECT_EQ(record.result, 0u) << record.name << " to " << record.driver;
        if (record.name == "WriteATIPLL" && record.argument) {
            ++atiWrites;
            EXPECT_EQ(record.driver.rfind(kATIDriverPrefix, 0), 0u) << record.driver;
            lastWrite[record.driver]["PLL"] = *record.argument;
        } else if (record.name == "WriteNVIDIARegister" && record.argument && record.argument2) {
            ++nvidiaWrites;
            lastWrite[record.driver]
                     [host::registerKey(static_cast<std::uint32_t>(*record.argument))] =
                         *record.argument2;
        }
    }
    EXPECT_GT(atiWrites, 1) << "an ATI restore moves the dividers one unit per command";
    EXPECT_GT(nvidiaWrites, 0);
    for (const auto& [driver, writes] : lastWrite) {
        const auto registers = mac.registers(driver);
        for (const auto& [reg, value] : writes) {
            ASSERT_TRUE(registers.count(reg)) << driver << " " << reg;
            EXPECT_EQ(registers.at(reg), static_cast<std::uint32_t>(value)) << driver << " " << reg;
        }
    }

    // The pane, opened with Option held (nothing restored), reads the same
    // clocks back from the hardware.
    const ShownCard check = ctlShown({"--option-key", "list"});
    EXPECT_EQ(check.vpu, atiChosen.vpu);
    EXPECT_EQ(check.memory, atiChosen.memory);
}

// prefhost quits on SIGTERM and SIGINT the orderly way: the pane gets
// NSApplicationWillTerminateNotification and saves.
class PrefhostSignal : public ::testing::TestWithParam<int> {};

TEST_P(PrefhostSignal, SavesSettingsAndLoginItemBeforeExit) {
    TempSimMac mac;
    installPane();
    const fs::path settingsFile = domainFile(kPaneDomain);
    ASSERT_FALSE(fs::exists(settingsFile));

    Child prefhost({tool("prefhost")});
    ASSERT_TRUE(prefhost.started());
    ASSERT_TRUE(prefhost.readUntil("prefhost: showing")) << prefhost.output();
    EXPECT_FALSE(fs::exists(settingsFile)) << "nothing is saved before quitting";
    kill(prefhost.pid(), GetParam());
    EXPECT_EQ(prefhost.wait(), 0) << prefhost.output();

    const cf::Dictionary settings = savedSettings();
    EXPECT_FALSE(cf::boolValue(settings.get("Set at Startup"))) << prefhost.output();
    EXPECT_EQ(savedCards(settings).size(), 3u);
    EXPECT_TRUE(loginItems().empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, PrefhostSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) {
                             return info.param == SIGTERM ? "SIGTERM" : "SIGINT";
                         });

// prefhost --option-key: the pane opens without restoring the saved clocks.
class PrefhostOptionKey : public ::testing::TestWithParam<bool> {};

TEST_P(PrefhostOptionKey, RestoresSavedClocksOnlyWithoutOption) {
    TempSimMac mac;
    installPane();
    const ShownCard ati = ctlShown({"list"});
    const double chosen =
        ctlShown({"set", "0", std::to_string(ati.vpu + 6 * ati.step), std::to_string(ati.memory)})
            .vpu;
    ASSERT_EQ(run({tool("simmac"), "reboot"}).status, 0);
    const double powerOnCore = hardwareClocks().at(0).first;

    const bool option = GetParam();
    std::vector<std::string> argv{tool("prefhost")};
    if (option) argv.emplace_back("--option-key");
    Child prefhost(argv);
    ASSERT_TRUE(prefhost.readUntil("prefhost: showing")) << prefhost.output();
    const double coreWhileOpen = hardwareClocks().at(0).first;
    kill(prefhost.pid(), SIGTERM);
    EXPECT_EQ(prefhost.wait(), 0) << prefhost.output();

    if (option)
        EXPECT_DOUBLE_EQ(coreWhileOpen, powerOnCore);
    else
        expectShownAs(coreWhileOpen, chosen, "restored core");
}

INSTANTIATE_TEST_SUITE_P(Option, PrefhostOptionKey, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OptionHeld" : "NoOption"; });

TEST(Tarnwickctl, RefusedChangeShowsConfigFailedAndKeepsShownClocks) {
    TempSimMac mac;
    installPane();
    const ShownCard before = ctlShown({"list"});
    const RunResult fault = run({tool("simmac"), "fault", kATIDriverPrefix, "--refuse", "2"});
    ASSERT_EQ(fault.status, 0) << fault.output;

    const RunResult failed = ctl(
        {"set", "0", std::to_string(before.vpu + 4 * before.step), std::to_string(before.memory)});
    EXPECT_EQ(failed.status, 2) << failed.output;
    const auto pane = NSBundle::bundleWithPath(installedPane().string());
    ASSERT_TRUE(pane);
    const std::string configFailed = pane->localizedStringForKey("CONFIG_FAILED", "Key not found");
    EXPECT_NE(configFailed, "Key not found");
    EXPECT_CONTAINS(failed.output, "Alert: " + configFailed);
    EXPECT_EQ(shown(failed).vpu, before.vpu) << "the text fields keep the clocks in force";
}

TEST(Tarnwickctl, NoCardsShowsTheTwoTextsAndStillSaves) {
    TempSimMac mac;
    mac.writeMachine(machine({entry("pci@f0000000", {})}));
    installPane();
    const auto pane = NSBundle::bundleWithPath(installedPane().string());
    ASSERT_TRUE(pane);

    const RunResult list = ctl({"list"});
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_CONTAINS(list.output, "Alert: " + pane->localizedStringForKey("NO_CARD_MESSAGE", ""));
    EXPECT_CONTAINS(list.output, pane->localizedStringForKey("NO_CARD_INFO_TEXT", ""));
    EXPECT_CONTAINS(list.output, "Cards: none");

    const RunResult startup = ctl({"startup", "on"});
    EXPECT_NE(startup.status, 0) << startup.output;
    EXPECT_CONTAINS(startup.output, "disabled");

    const cf::Dictionary settings = savedSettings();
    EXPECT_TRUE(savedCards(settings).empty());
    EXPECT_FALSE(cf::boolValue(settings.get("Set at Startup")));
}

TEST(Prefhost, ScreenshotSavesTheShownWindowAndQuitsThroughTheNotification) {
    TempSimMac mac;
    installPane();
    const fs::path picture = mac.root() / "pane.png";
    const RunResult r = run({tool("prefhost"), "--screenshot", picture.string()});
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string png = readFile(picture);
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    // IHDR: big-endian width and height; the pane's controls need room.
    auto be32 = [&](std::size_t at) {
        return (std::uint32_t(std::uint8_t(png[at])) << 24) |
               (std::uint32_t(std::uint8_t(png[at + 1])) << 16) |
               (std::uint32_t(std::uint8_t(png[at + 2])) << 8) |
               std::uint32_t(std::uint8_t(png[at + 3]));
    };
    EXPECT_GT(be32(16), 400u);
    EXPECT_GT(be32(20), 200u);
    EXPECT_TRUE(readDomain(kPaneDomain).has_value());
}

// prefhost refuses what is not a pane, with a message, before showing anything.
struct BadPane {
    const char* name;
    const char* relativePath;  // inside the temporary root; nullptr: nothing installed
    const char* message;
};

void PrintTo(const BadPane& c, std::ostream* os) { *os << c.name; }

class PrefhostBadPane : public ::testing::TestWithParam<BadPane> {};

TEST_P(PrefhostBadPane, ExitsWithMessage) {
    TempSimMac mac;
    std::vector<std::string> argv{tool("prefhost")};
    if (GetParam().relativePath) {
        const fs::path path = mac.root() / GetParam().relativePath;
        fs::create_directories(path);
        argv.push_back(path.string());
    }
    const RunResult r = run(argv);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_CONTAINS(r.output, GetParam().message);
    EXPECT_LACKS(r.output, "prefhost: showing");
}

INSTANTIATE_TEST_SUITE_P(Cases, PrefhostBadPane,
                         ::testing::Values(BadPane{"NothingInstalled", nullptr, "no pane at"},
                                           BadPane{"EmptyFolder", "Empty.prefPane",
                                                   "is not a bundle"}),
                         [](const auto& info) { return std::string(info.param.name); });
