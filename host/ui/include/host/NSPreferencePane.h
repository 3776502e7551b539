// A preference pane (PreferencePanes.h): its bundle, its main view and
// outlets, and key-value coding for the interface's bindings.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "host/AppKitApplication.h"
#include "host/Foundation.h"
#include "host/NSControl.h"

class NibConnections;

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
    // Called by the host once the main view is shown in its window: a pane
    // that has work left for when it is seen does it here.
    virtual void didSelect() {}

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
    std::shared_ptr<NSBundle> bundle_;
    struct MainView;
    std::unique_ptr<MainView> mainView_;
    std::map<std::string, NSControl*> outlets_;
};
