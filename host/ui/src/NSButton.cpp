#include <QAbstractButton>

#include "host/NSButton.h"

void NSButton::changeState(NSControlStateValue state) {
    state_ = state;
    updateView();
    if (bindingSetter_) bindingSetter_(state_ != NSControlStateValueOff ? 1 : 0);
}

void NSButton::setState(NSControlStateValue state) { changeState(state); }

void NSButton::performClick() {
    if (!isEnabled()) return;
    if (checkbox_)
        changeState(state_ == NSControlStateValueOff ? NSControlStateValueOn
                                                     : NSControlStateValueOff);
    sendAction();
}

void NSButton::bindValue(const std::function<std::int64_t()>& get,
                         std::function<void(std::int64_t)> set) {
    bindingSetter_ = nullptr;
    if (get) {
        state_ = get() != 0 ? NSControlStateValueOn : NSControlStateValueOff;
        updateView();
    }
    bindingSetter_ = std::move(set);
}

bool NSButton::acceptsView(QWidget* widget) const {
    return qobject_cast<QAbstractButton*>(widget) != nullptr;
}

void NSButton::attachView(QWidget* widget) {
    auto* button = static_cast<QAbstractButton*>(widget);
    checkbox_ = button->isCheckable();
    state_ = button->isChecked() ? NSControlStateValueOn : NSControlStateValueOff;
    // Qt has already toggled a checkbox when it reports the click.
    QObject::connect(button, &QAbstractButton::clicked, viewContext(), [this](bool checked) {
        if (checkbox_) changeState(checked ? NSControlStateValueOn : NSControlStateValueOff);
        sendAction();
    });
}

void NSButton::updateView() {
    auto* button = qobject_cast<QAbstractButton*>(view());
    if (button != nullptr && button->isCheckable())
        button->setChecked(state_ != NSControlStateValueOff);
}
