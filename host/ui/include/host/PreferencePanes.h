// PreferencePanes framework stand-in: NSPreferencePane (NSPreferencePane.h),
// its main view loaded from the bundle's interface description with the
// outlets the pane connects (NibConnections.h), and the loading of .prefPane
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

#include <memory>
#include <string>

#include "host/AppKit.h"
#include "host/NSPreferencePane.h"
#include "host/NibConnections.h"

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
