// Opening the real pane bundle in a test the way prefhost does: the hostui
// loader on $TARNWICK_BUNDLE_DIR/TarnwickPref.prefPane, the main view in a
// window (offscreen), and quitting by posting
// NSApplicationWillTerminateNotification. Also simulated Macs with the ATI
// and NVIDIA cards the pane tests use.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/AppKit.h"
#include "host/AppleHelp.h"
#include "host/Foundation.h"
#include "host/NotificationCenter.h"
#include "host/PreferencePanes.h"
#include "support/SimMacFixture.h"

namespace panetest {

inline constexpr const char* kPaneDomain = "name.halvorn.oddny.TarnwickPref";
inline constexpr const char* kDriverLeaf = "/name_halvorn_oddny_TarnwickDriver";

inline std::filesystem::path bundleDir() {
    const char* dir = std::getenv("TARNWICK_BUNDLE_DIR");
    return dir ? std::filesystem::path(dir) : std::filesystem::path(TARNWICK_TEST_BUNDLE_DIR);
}
inline std::filesystem::path paneBundlePath() { return bundleDir() / "TarnwickPref.prefPane"; }

inline void ensureApplication() {
    if (QCoreApplication::instance() != nullptr) return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "pane_test";
    static char* argv[] = {name, nullptr};
    [[maybe_unused]] static auto* application =
        new QApplication(argc, argv);  // lives until the process ends
}

// ATI card at PLL (refDiv, memFBDiv, vpuFBDiv) = (12, 100, 100) on 27 MHz:
// 225 MHz core and memory, clock step 2.25 MHz.
inline constexpr std::uint32_t atiPLL(std::uint8_t refDiv, std::uint8_t memFBDiv,
                                      std::uint8_t vpuFBDiv) {
    return refDiv + (std::uint32_t{memFBDiv} << 8) + (std::uint32_t{vpuFBDiv} << 16);
}

struct ATICardSetup {
    std::string entryName = "ATY,Card";
    std::string slot = "SLOT-1";
    std::uint16_t deviceID = 0x4E48;
    std::uint32_t pll = atiPLL(12, 100, 100);
    std::optional<std::uint32_t> refclk{};  // ATY,RefCLK (kHz); absent: 27 MHz
    std::optional<cf::Dictionary> faults{};
};

inline cf::Dictionary atiEntry(const ATICardSetup& setup) {
    cf::Dictionary properties;
    properties.set("vendor-id", testsupport::dataU32(0x1002));
    properties.set("device-id", testsupport::dataU32(setup.deviceID));
    properties.set("model", testsupport::dataText("ATY,TestCard"));
    properties.set("name", testsupport::dataText("ATY,Display"));
    properties.set("AAPL,slot-name", testsupport::dataText(setup.slot));
    if (setup.refclk) properties.set("ATY,RefCLK", testsupport::dataU32(*setup.refclk));
    return testsupport::entry(
        setup.entryName, properties,
        {testsupport::driverEntry("ATI", {{"PLL", setup.pll}}, setup.faults)});
}

// An NV4x card on the 27 MHz strap: core 405 MHz, memory 351 MHz.
inline cf::Dictionary nv4xEntry(const std::string& entryName, const std::string& slot,
                                std::optional<cf::Dictionary> faults = std::nullopt) {
    cf::Dictionary properties;
    properties.set("vendor-id", testsupport::dataU32(0x10DE));
    properties.set("device-id", testsupport::dataU32(0x0040));
    properties.set("name", testsupport::dataText("NVDA,Display"));
    properties.set("model", testsupport::dataText("NVIDIA GeForce 6800"));
    properties.set("AAPL,slot-name", testsupport::dataText(slot));
    return testsupport::entry(entryName, properties,
                              {testsupport::driverEntry("NVIDIA",
                                                        {{"0x101000", 0x00400000},
                                                         {"0x4000", 0x80010A05},
                                                         {"0x4004", 0x02010F01},
                                                         {"0x4020", 0x80010E0C},
                                                         {"0x4024", 0x02010D01}},
                                                        std::move(faults))});
}

inline cf::Dictionary faults(const std::vector<std::int64_t>& refusedCommands) {
    cf::Array codes;
    for (std::int64_t code : refusedCommands)
        codes.push_back(cf::CFNumberCreate(cf::kCFNumberIntType, code));
    cf::Dictionary d;
    d.set("RefuseCommands", codes);
    return d;
}

inline cf::Dictionary cardEntry(const std::string& slot, const std::string& model, float vpu,
                                float memory, float stockVPU, float stockMemory) {
    return testsupport::savedCardEntry(slot, model, vpu, memory, stockVPU, stockMemory);
}

inline void writePaneDomain(bool setAtStartup, std::vector<cf::Dictionary> entries) {
    NSUserDefaults::standardUserDefaults().setPersistentDomain(
        testsupport::savedDomain(setAtStartup, std::move(entries)), kPaneDomain);
}

inline std::optional<cf::Dictionary> readDomain(const std::string& name) {
    return NSUserDefaults::standardUserDefaults().persistentDomainForName(name);
}

// The pane as System Preferences shows it: created, its view in a window.
class OpenPane {
public:
    explicit OpenPane(bool optionKey = false,
                      const std::filesystem::path& bundle = paneBundlePath()) {
        ensureApplication();
        host::clearShownAlerts();
        host::clearOpenedHelpPages();
        host::setCurrentModifierFlags(optionKey ? NSEventModifierFlagOption : 0);
        std::string error;
        pane_ = host::loadPreferencePane(bundle.string(), &error);
        host::setCurrentModifierFlags(0);
        if (!pane_) {
            ADD_FAILURE() << "the pane does not load: " << error;
            return;
        }
        window_ = std::make_unique<QWidget>();
        NSApp.setMainWindow(window_.get());
        NSView* view = pane_->mainView();
        if (view == nullptr) {
            ADD_FAILURE() << "the pane's view does not load";
            return;
        }
        auto* layout = new QVBoxLayout(window_.get());
        layout->addWidget(view);
        window_->show();
    }
    ~OpenPane() {
        pane_.reset();
        NSApp.setMainWindow(nullptr);
    }

    bool loaded() const { return pane_ != nullptr && window_ != nullptr; }
    NSPreferencePane& pane() const { return *pane_; }
    template <class T>
    T& outlet(const std::string& name) const {
        T* control = pane_ ? pane_->outlet<T>(name) : nullptr;
        if (control == nullptr) throw std::runtime_error("no outlet " + name);
        return *control;
    }
    NSStepper& vpuStepper() const { return outlet<NSStepper>("vpuStepper"); }
    NSStepper& memoryStepper() const { return outlet<NSStepper>("memoryStepper"); }
    NSTextField& field(const std::string& name) const { return outlet<NSTextField>(name); }
    NSButton& button(const std::string& name) const { return outlet<NSButton>(name); }
    NSTableView& table() const { return outlet<NSTableView>("cardsTable"); }

    // Quitting System Preferences.
    void quit() const {
        NSNotificationCenter::defaultCenter().postNotificationName(
            NSApplicationWillTerminateNotification);
    }

private:
    std::unique_ptr<NSPreferencePane> pane_;
    std::unique_ptr<QWidget> window_;
};

// The WriteATIPLL arguments that reached `driver`, accepted ones only.
inline std::vector<std::uint32_t> atiWrites(const testsupport::TempSimMac& mac,
                                            const std::string& driver, std::size_t from = 0) {
    std::vector<std::uint32_t> words;
    const auto log = mac.driverLog();
    for (std::size_t i = from; i < log.size(); ++i)
        if (log[i].command == 2 && log[i].driver == driver && log[i].result == 0)
            words.push_back(static_cast<std::uint32_t>(log[i].argument.value_or(-1)));
    return words;
}

inline const cf::Array* cardsOf(const cf::Dictionary& domain) {
    const cf::Value* v = domain.get("Cards");
    return v != nullptr ? v->array() : nullptr;
}

inline std::string stringOf(const cf::Dictionary& d, const char* key) {
    const cf::Value* v = d.get(key);
    return v != nullptr && v->string() != nullptr ? *v->string() : std::string("<none>");
}

inline float floatOf(const cf::Dictionary& d, const char* key) {
    return cf::floatValue(d.get(key));
}

}  // namespace panetest

namespace panetest {

// Sets (or with an empty dictionary clears) the faults of the driver under
// the top-level entry `entryName`, keeping the hardware state as it is now.
inline void setDriverFaults(const testsupport::TempSimMac& mac, const std::string& entryName,
                            const cf::Dictionary& driverFaults) {
    cf::Value machine = mac.readMachine();
    cf::Dictionary* root = machine.dictionary();
    cf::Value* entries = root != nullptr ? root->get("Entries") : nullptr;
    if (entries == nullptr || entries->array() == nullptr) {
        ADD_FAILURE() << "machine.plist has no Entries";
        return;
    }
    for (cf::Value& value : *entries->array()) {
        cf::Dictionary* entry = value.dictionary();
        if (entry == nullptr || stringOf(*entry, "Name") != entryName) continue;
        cf::Value* children = entry->get("Children");
        cf::Dictionary* driver = children && children->array() && !children->array()->empty()
                                     ? children->array()->front().dictionary()
                                     : nullptr;
        if (driver == nullptr) break;
        if (driverFaults.empty())
            driver->remove("Driver");
        else
            driver->set("Driver", driverFaults);
        mac.writeMachine(machine);
        return;
    }
    ADD_FAILURE() << "no driver under " << entryName;
}

// The model name the pane gives the first card of the machine, read from its
// table (models come from the card classes' own tables).
inline std::string modelShownForFirstCard() {
    OpenPane pane;
    if (!pane.loaded() || pane.table().numberOfRows() == 0) return {};
    return pane.table().stringValue(0, 1);
}

}  // namespace panetest
