// PreferencePanes framework stand-in: NSPreferencePane, its main view loaded
// from the bundle's interface description, and the loading of .prefPane
// bundles.
//
// A pane bundle:
//   X.prefPane/Contents/Info.plist          CFBundleIdentifier, CFBundleExecutable,
//                                           NSPrincipalClass, NSMainNibFile
//   X.prefPane/Contents/MacOS/<executable>  a loadable module exporting
//       extern "C" NSPreferencePane* TarnwickCreatePrincipalClass(const char* className);
//     which returns a new object of the named class (owned by the caller), or
//     nullptr for a class the module does not have.
//   X.prefPane/Contents/Resources/<NSMainNibFile>.ui   a Qt Designer file
//
// The interface description: widgets are found by objectName. Stepper widgets
// are promoted widgets of class "HostStepper" (extends QAbstractSpinBox),
// created by the host. Dynamic properties read by the loader:
//   numberFormat, notANumberSymbol (strings) on text fields (see NSTextField);
//   bindValue (string, a key of the pane) on a checkbox: its state is bound to
//   that value through valueForKey / setValueForKey;
//   initialKeyView (string, a widget's name) on the root: the control that
//   has the keyboard focus when the view first appears in a window.
// The round help button is the promoted "HostHelpButton" (extends
// QPushButton). The order of the interface's tab stops is the key view loop
// of Tab and Shift+Tab; the focused control gets a focus ring.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "host/AppKit.h"
#include "host/Foundation.h"

class NSPreferencePane;

// The outlets of a loaded interface, handed to the pane to connect.
class NibConnections {
public:
    // Connects `outlet` to the widget named `name` and records it under that
    // name. False (and the outlet stays unconnected, like a nil outlet) when
    // there is no such widget or it is of a kind the outlet cannot drive.
    bool connect(NSControl& outlet, const std::string& name);

private:
    friend class NSPreferencePane;
    NibConnections(NSPreferencePane& owner, QWidget* root) : owner_(owner), root_(root) {}
    NSPreferencePane& owner_;
    QWidget* root_;
};

class NSPreferencePane {
public:
    NSPreferencePane();
    // Takes the pane's registrations out of the default notification center
    // and deletes the main view when no window has taken it over.
    virtual ~NSPreferencePane();
    NSPreferencePane(const NSPreferencePane&) = delete;
    NSPreferencePane& operator=(const NSPreferencePane&) = delete;

    // False (the nil of initWithBundle:) for no bundle.
    virtual bool initWithBundle(std::shared_ptr<NSBundle> bundle);
    const std::shared_ptr<NSBundle>& bundle() const { return bundle_; }

    // The main view: loaded on the first call (loadMainView), else the one
    // loaded before. nullptr when it cannot be loaded (needs a QApplication).
    NSView* mainView();
    // Loads the interface named by NSMainNibFile from the bundle's resources,
    // lets the pane connect its outlets (connectOutlets), applies the
    // bindings, then calls mainViewDidLoad. nullptr, with a log line, when the
    // file is missing or does not load.
    virtual NSView* loadMainView();
    virtual void mainViewDidLoad() {}

    // The outlet connected under `name`, or nullptr.
    NSControl* outletNamed(const std::string& name) const;
    template <class T>
    T* outlet(const std::string& name) const {
        return dynamic_cast<T*>(outletNamed(name));
    }
    const std::map<std::string, NSControl*>& outlets() const { return outlets_; }

    // Key-value coding for the interface's bindings; nothing / false for an
    // unknown key.
    virtual std::optional<std::int64_t> valueForKey(const std::string& key) const;
    virtual bool setValueForKey(std::int64_t value, const std::string& key);

protected:
    // Connects the subclass's outlets and sets their actions; called while
    // the main view loads, before the bindings and mainViewDidLoad.
    virtual void connectOutlets(NibConnections& nib);

private:
    friend class NibConnections;
    std::shared_ptr<NSBundle> bundle_;
    struct MainView;
    std::unique_ptr<MainView> mainView_;
    std::map<std::string, NSControl*> outlets_;
};

// The factory every pane module exports.
using PrincipalClassFactory = NSPreferencePane* (*)(const char* className);
inline constexpr const char* kPrincipalClassFactorySymbol = "TarnwickCreatePrincipalClass";

namespace host {
// Loads the .prefPane bundle at `bundlePath` the way System Preferences does:
// opens the bundle, loads Contents/MacOS/<CFBundleExecutable>, creates the
// NSPrincipalClass through the module's factory and sends it initWithBundle:
// with the bundle. The module stays loaded for the life of the process.
// nullptr with a message in `error` when any step fails.
std::unique_ptr<NSPreferencePane> loadPreferencePane(const std::string& bundlePath,
                                                     std::string* error);
}  // namespace host
