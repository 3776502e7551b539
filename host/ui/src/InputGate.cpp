#include "InputGate.h"

#include <QGuiApplication>
#include <QInputEvent>
#include <QPointer>
#include <chrono>

namespace hostui {

namespace {
std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What acts: presses, clicks and wheel turns. Releases pass, so no widget is
// left thinking a button is still down.
bool isGesture(QEvent::Type type) {
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::ShortcutOverride:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel: return true;
    default: return false;
    }
}

bool isInput(QEvent::Type type) {
    return isGesture(type) || type == QEvent::KeyRelease || type == QEvent::MouseButtonRelease;
}
}  // namespace

InputGate* InputGate::instance() {
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (app == nullptr) return nullptr;
    // Goes with the application it filters.
    static QPointer<InputGate> gate;
    if (gate.isNull()) {
        gate = new InputGate;
        gate->setParent(app);
        app->installEventFilter(gate);
    }
    return gate.data();
}

void InputGate::holdEnded() {
    if (offset_) staleUntil_ = nowMs() - *offset_;
}

bool InputGate::eventFilter(QObject* watched, QEvent* event) {
    if (!event->spontaneous() || !isInput(event->type()))
        return QObject::eventFilter(watched, event);
    const auto stamp = static_cast<std::int64_t>(static_cast<QInputEvent*>(event)->timestamp());
    if (stamp == 0) return false;
    const std::int64_t lag = nowMs() - stamp;
    if (!offset_ || lag < *offset_) offset_ = lag;
    if (staleUntil_ && stamp <= *staleUntil_ && isGesture(event->type())) {
        // Accepted, so that a shortcut override also keeps the shortcut from firing.
        event->accept();
        return true;
    }
    return false;
}

}  // namespace hostui
