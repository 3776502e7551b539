// AppKit's application object: the main window and the current event's
// modifier flags.
#pragma once

#include <cstdint>

class QWidget;

// A window is a top-level Qt widget; a view is any Qt widget.
using NSWindow = QWidget;
using NSView = QWidget;

using NSEventModifierFlags = std::uint32_t;
inline constexpr NSEventModifierFlags NSEventModifierFlagShift = 0x20000;
inline constexpr NSEventModifierFlags NSEventModifierFlagControl = 0x40000;
inline constexpr NSEventModifierFlags NSEventModifierFlagOption = 0x80000;
inline constexpr NSEventModifierFlags NSAlternateKeyMask = NSEventModifierFlagOption;
inline constexpr NSEventModifierFlags NSEventModifierFlagCommand = 0x100000;

class NSEvent {
public:
    explicit NSEvent(NSEventModifierFlags flags) : flags_(flags) {}
    NSEventModifierFlags modifierFlags() const { return flags_; }

private:
    NSEventModifierFlags flags_;
};

class NSApplication {
public:
    static NSApplication& sharedApplication();

    // The window the host application set, or else Qt's active window, or
    // nullptr (no window, or no QApplication).
    NSWindow* mainWindow() const;
    void setMainWindow(NSWindow* window);

    // The event being handled; its modifier flags are the ones the host set
    // with host::setCurrentModifierFlags.
    NSEvent currentEvent() const;

private:
    NSApplication() = default;
};

// AppKit's global application object, as in [NSApp mainWindow].
#define NSApp (NSApplication::sharedApplication())

namespace host {
// The keys held in the current event (NSEventModifierFlagOption: the Option
// key). Host programs set it, e.g. prefhost --option-key while a pane loads.
void setCurrentModifierFlags(NSEventModifierFlags flags);
NSEventModifierFlags currentModifierFlags();
}  // namespace host
