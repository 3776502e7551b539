#include <QObject>
#include <QPointer>
#include <QWidget>

#include "host/NSControl.h"
#include "host/BusyCursor.h"

struct NSControl::ViewLink {
    QPointer<QWidget> widget;
    std::unique_ptr<QObject> context;
};

NSControl::NSControl() : link_(std::make_unique<ViewLink>()) {}

NSControl::~NSControl() = default;

bool NSControl::connectView(QWidget* widget) {
    if (widget == nullptr || !acceptsView(widget)) return false;
    link_->context = std::make_unique<QObject>();
    link_->widget = widget;
    enabled_ = widget->isEnabled();
    attachView(widget);
    updateView();
    return true;
}

bool NSControl::isConnected() const { return !link_->widget.isNull(); }

QWidget* NSControl::view() const { return link_->widget.data(); }

QObject* NSControl::viewContext() const { return link_->context.get(); }

void NSControl::setEnabled(bool enabled) {
    enabled_ = enabled;
    if (QWidget* w = view()) w->setEnabled(enabled);
}

void NSControl::sendAction() {
    if (!action_) return;
    // An action may hold the main thread while a card is programmed.
    host::BusyCursor busy;
    action_(this);
}
