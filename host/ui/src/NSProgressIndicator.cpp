#include <QProgressBar>
#include <QVariant>

#include "host/AppKitControls.h"

namespace {
QProgressBar* barOf(QWidget* widget) {
    if (widget == nullptr) return nullptr;
    if (auto* bar = qobject_cast<QProgressBar*>(widget)) return bar;
    return widget->findChild<QProgressBar*>();
}
}  // namespace

void NSProgressIndicator::startAnimation(const void*) {
    animating_ = true;
    updateView();
}

void NSProgressIndicator::stopAnimation(const void*) {
    animating_ = false;
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
