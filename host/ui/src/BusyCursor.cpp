#include "host/BusyCursor.h"

#include <QCursor>
#include <QGuiApplication>

#include "InputGate.h"

namespace host {

namespace {
int holds = 0;  // nesting depth, main thread only
}  // namespace

BusyCursor::BusyCursor() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return;
    hostui::InputGate::instance();  // learns the window system's clock from now on
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    shown_ = true;
    ++holds;
}

BusyCursor::~BusyCursor() {
    if (!shown_) return;
    QGuiApplication::restoreOverrideCursor();
    // What the user did while the thread was held is stale now.
    if (--holds == 0)
        if (hostui::InputGate* gate = hostui::InputGate::instance()) gate->holdEnded();
}

}  // namespace host
