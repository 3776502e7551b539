#include <QVariant>
#include <QWidget>

#include "FocusRing.h"
#include "host/AppKitControls.h"

void NSScrollView::setFocusRingType(NSFocusRingType type) {
    focusRingType_ = type;
    updateView();
}

bool NSScrollView::acceptsView(QWidget* widget) const { return widget != nullptr; }

void NSScrollView::attachView(QWidget*) {}

void NSScrollView::updateView() {
    QWidget* widget = view();
    if (widget == nullptr) return;
    // Without a focus ring the view and what it holds no longer take focus
    // from the keyboard, so nothing draws a focus frame.
    const bool none = focusRingType_ == NSFocusRingTypeNone;
    widget->setProperty(hostui::kFocusRingTypeProperty, focusRingType_);
    widget->setAttribute(Qt::WA_MacShowFocusRect, !none);
    for (QWidget* child : widget->findChildren<QWidget*>()) {
        child->setAttribute(Qt::WA_MacShowFocusRect, !none);
        if (none) child->setFocusPolicy(Qt::ClickFocus);
    }
}
