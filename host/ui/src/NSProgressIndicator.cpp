#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QVariant>

#include "host/AppKitControls.h"
#include "host/IOKit.h"

namespace {
QProgressBar* barOf(QWidget* widget) {
    if (widget == nullptr) return nullptr;
    if (auto* bar = qobject_cast<QProgressBar*>(widget)) return bar;
    return widget->findChild<QProgressBar*>();
}

// Drawing and timers, at most every 15 ms; the user's input waits (and is
// dropped as stale once the hold ends, see BusyCursor).
void drawWhileWaiting() {
    static QElapsedTimer since;
    if (since.isValid() && since.elapsed() < 15) return;
    since.start();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::ExcludeSocketNotifiers);
}
}  // namespace

NSProgressIndicator::~NSProgressIndicator() {
    if (drawingWhileWaiting_) host::setDriverWaitHook(nullptr);
}

void NSProgressIndicator::startAnimation(const void*) {
    animating_ = true;
    updateView();
    if (usesThreadedAnimation_ && QCoreApplication::instance() != nullptr) {
        host::setDriverWaitHook(drawWhileWaiting);
        drawingWhileWaiting_ = true;
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                        QEventLoop::ExcludeSocketNotifiers);
    }
}

void NSProgressIndicator::stopAnimation(const void*) {
    animating_ = false;
    if (drawingWhileWaiting_) {
        host::setDriverWaitHook(nullptr);
        drawingWhileWaiting_ = false;
    }
    updateView();
}

void NSProgressIndicator::setDisplayedWhenStopped(bool displayed) {
    displayedWhenStopped_ = displayed;
    updateView();
}

bool NSProgressIndicator::acceptsView(QWidget* widget) const { return barOf(widget) != nullptr; }

void NSProgressIndicator::attachView(QWidget* widget) {
    const QVariant displayed = widget->property("displayedWhenStopped");
    displayedWhenStopped_ = !displayed.isValid() || displayed.toBool();
    QSizePolicy policy = widget->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    widget->setSizePolicy(policy);
}

void NSProgressIndicator::updateView() {
    QWidget* widget = view();
    QProgressBar* bar = barOf(widget);
    if (bar == nullptr) return;
    // An empty range is Qt's busy indicator; a full one stands still.
    bar->setRange(0, animating_ ? 0 : 1);
    bar->setValue(animating_ ? 0 : 1);
    widget->setVisible(isShown());
}
