// Opening the real pane bundle in a test the way prefhost does: the hostui
// loader on the built TarnwickPref.prefPane, the main view in a window
// (offscreen), and quitting by posting NSApplicationWillTerminateNotification.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractSpinBox>
#include <QApplication>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/AppKit.h"
#include "host/AppleHelp.h"
#include "host/Foundation.h"
#include "host/NotificationCenter.h"
#include "host/PreferencePanes.h"
#include "support/Child.h"
#include "support/SimMacFixture.h"

namespace testsupport {

inline constexpr const char* kPaneDomain = "name.halvorn.oddny.TarnwickPref";

inline std::filesystem::path paneBundlePath() { return bundleDir() / "TarnwickPref.prefPane"; }

// The pane bundle's text for `key`, "Key not found" when it has none.
inline std::string paneString(const std::string& key,
                              const std::filesystem::path& bundle = paneBundlePath()) {
    auto pane = NSBundle::bundleWithPath(bundle.string());
    return pane ? pane->localizedStringForKey(key, "Key not found") : std::string();
}

inline void ensureApplication() {
    if (QCoreApplication::instance() != nullptr) return;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "pane_test";
    static char* argv[] = {name, nullptr};
    [[maybe_unused]] static auto* application =
        new QApplication(argc, argv);  // lives until the process ends
}

inline void writePaneDomain(bool setAtStartup, std::vector<cf::Dictionary> entries) {
    NSUserDefaults::standardUserDefaults().setPersistentDomain(
        savedDomain(setAtStartup, std::move(entries)), kPaneDomain);
}

inline const cf::Array* cardsOf(const cf::Dictionary& domain) {
    const cf::Value* v = domain.get("Cards");
    return v != nullptr ? v->array() : nullptr;
}

// The pane's saved settings; empty (and a failure) when none were saved.
inline cf::Dictionary savedSettings() {
    std::optional<cf::Dictionary> domain = readDomain(kPaneDomain);
    if (!domain) ADD_FAILURE() << "the pane's settings were not saved";
    return domain.value_or(cf::Dictionary{});
}

// The card entries of saved settings (the pane's by default); none, and a
// failure, without a "Cards" list.
inline cf::Array savedCards(const cf::Dictionary& settings = savedSettings()) {
    const cf::Array* cards = cardsOf(settings);
    if (cards == nullptr) ADD_FAILURE() << "the saved settings hold no Cards";
    return cards != nullptr ? *cards : cf::Array{};
}

// A login item as the "loginwindow" domain holds it.
inline cf::Dictionary loginItem(const std::string& path, bool hide = false) {
    return with(with({}, "Path", path), "Hide", hide);
}

// Writes the "loginwindow" domain: `items` as its login items, after the
// keys of `others`; the domain written.
inline cf::Dictionary writeLoginItems(cf::Value items, cf::Dictionary others = {}) {
    others.set("AutoLaunchedApplicationDictionary", std::move(items));
    NSUserDefaults::standardUserDefaults().setPersistentDomain(others, "loginwindow");
    return others;
}

// The login items of the "loginwindow" domain; none, and a failure, without
// a list of them.
inline cf::Array loginItems() {
    const std::optional<cf::Dictionary> domain = readDomain("loginwindow");
    const cf::Value* items = domain ? domain->get("AutoLaunchedApplicationDictionary") : nullptr;
    if (items == nullptr || items->array() == nullptr) ADD_FAILURE() << "no login items saved";
    return items != nullptr && items->array() != nullptr ? *items->array() : cf::Array{};
}

inline std::string stringOf(const cf::Dictionary& d, const char* key) {
    const cf::Value* v = d.get(key);
    return v != nullptr && v->string() != nullptr ? *v->string() : std::string("<none>");
}

inline float floatOf(const cf::Dictionary& d, const char* key) {
    return cf::floatValue(d.get(key));
}

// The middle of a stepper widget's up arrow, in the widget's coordinates.
inline QPoint upArrowOf(const QAbstractSpinBox& box) {
    QStyleOptionSpinBox option;
    option.initFrom(&box);
    option.subControls = QStyle::SC_All;
    option.buttonSymbols = box.buttonSymbols();
    option.frame = box.hasFrame();
    option.stepEnabled = QAbstractSpinBox::StepUpEnabled | QAbstractSpinBox::StepDownEnabled;
    return box.style()
        ->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxUp, &box)
        .center();
}

// The pane as System Preferences shows it: created, its view in a window.
class OpenPane {
public:
    // `select`: the host selects the pane once it is shown (didSelect).
    explicit OpenPane(bool optionKey = false,
                      const std::filesystem::path& bundle = paneBundlePath(), bool select = true) {
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
        if (select) pane_->didSelect();
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
    // What the session reports to its host (valueForKey), -1 when nothing.
    std::int64_t sessionValue(const char* key) const {
        return pane_->valueForKey(key).value_or(-1);
    }

    // Quitting System Preferences.
    void quit() const {
        NSNotificationCenter::defaultCenter().postNotificationName(
            NSApplicationWillTerminateNotification);
    }

private:
    std::unique_ptr<NSPreferencePane> pane_;
    std::unique_ptr<QWidget> window_;
};

// Sets (or with an empty dictionary clears) the faults of the driver under
// the top-level entry `entryName`, keeping the hardware state as it is now.
inline void setDriverFaults(const TempSimMac& mac, const std::string& entryName,
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

// An NV4x card as the pane tests fit it: a GeForce 6800 at power-on.
inline cf::Dictionary nv4xEntry(const std::string& entryName, const std::string& slot,
                                std::optional<cf::Dictionary> faults = std::nullopt) {
    return nvidiaEntry(entryName, 0x0040, slot, nv4xRegisters(), std::move(faults),
                       "NVIDIA GeForce 6800");
}

}  // namespace testsupport
