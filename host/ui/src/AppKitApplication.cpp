#include "host/AppKitApplication.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>
#include <atomic>

namespace {
QPointer<QWidget>& explicitMainWindow() {
    static QPointer<QWidget> window;
    return window;
}
std::atomic<NSEventModifierFlags> modifierFlags{0};
}  // namespace

NSApplication& NSApplication::sharedApplication() {
    static NSApplication application;
    return application;
}

NSWindow* NSApplication::mainWindow() const {
    if (QWidget* window = explicitMainWindow().data()) return window;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr)
        return QApplication::activeWindow();
    return nullptr;
}

void NSApplication::setMainWindow(NSWindow* window) { explicitMainWindow() = window; }

NSEvent NSApplication::currentEvent() const { return NSEvent(modifierFlags.load()); }

namespace host {
void setCurrentModifierFlags(NSEventModifierFlags flags) { modifierFlags.store(flags); }
NSEventModifierFlags currentModifierFlags() { return modifierFlags.load(); }
}  // namespace host
