#pragma once

#include <cstdint>
#include <functional>

#include "host/NSControl.h"

using NSControlStateValue = int;
inline constexpr NSControlStateValue NSControlStateValueOff = 0;
inline constexpr NSControlStateValue NSControlStateValueOn = 1;

// A push button or a checkbox (QAbstractButton; a checkable one is a
// checkbox).
class NSButton : public NSControl {
public:
    NSControlStateValue state() const { return state_; }
    // Sets the state without sending the action; a bound value follows.
    void setState(NSControlStateValue state);

    // A click by the user: nothing while disabled; a checkbox toggles its
    // state (and the bound value); then the action is sent.
    void performClick();

    // Binds the state to a value of the pane (Cocoa bindings): the state is
    // set from `get` now, and every change of the state is passed to `set`.
    void bindValue(const std::function<std::int64_t()>& get, std::function<void(std::int64_t)> set);

protected:
    bool acceptsView(QWidget* widget) const override;
    void attachView(QWidget* widget) override;
    void updateView() override;

private:
    void changeState(NSControlStateValue state);
    bool checkbox_ = false;
    NSControlStateValue state_ = NSControlStateValueOff;
    std::function<void(std::int64_t)> bindingSetter_;
};
