// The stepper widget of .ui files (class "HostStepper"): arrows that ask the
// NSStepper behind them to step, and the field beside them that shows its
// value and takes a typed one. It answers the user as a Mac stepper and its
// field do, so that a clock moves only on purpose: one click on an arrow or
// one press of an arrow key (with the field focused) is one step, and a key
// held down does not repeat; the arrows never take focus (a click or Tab
// focuses the field); the wheel and Page Up/Down never step; a typed value
// counts when Return or Tab confirms it (a value refused keeps the field),
// and Escape or leaving the field otherwise puts the stepper's value back. A
// disabled stepper shows the "notANumberSymbol" property (default "-"): it
// has no value to offer.
#pragma once

#include <QAbstractSpinBox>
#include <QString>
#include <functional>

#include "KeyRepeat.h"

namespace hostui {

class HostStepper : public QAbstractSpinBox {
    Q_OBJECT
    // The note shown for a typed value the stepper did not take; empty when none.
    Q_PROPERTY(QString message READ message)

public:
    explicit HostStepper(QWidget* parent = nullptr);

    // Set by the NSStepper connected to it: a step up (positive) or down, and
    // a typed value, which the handler takes (true) or refuses as outside the
    // stepper's limits (false).
    void setStepHandler(std::function<void(int steps)> handler) {
        stepHandler_ = std::move(handler);
    }
    void setValueHandler(std::function<bool(double value)> handler) {
        valueHandler_ = std::move(handler);
    }
    // Shows the stepper's state; anything typed and not confirmed is dropped.
    void showState(double value, double min, double max, bool wraps);

    const QString& message() const { return message_; }

    void stepBy(int steps) override;

protected:
    StepEnabled stepEnabled() const override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // One step up or down when the limits allow it.
    void stepOnce(int direction);
    // False when the typed value was refused (the note says why).
    bool confirmTypedValue();
    // Puts the stepper's value (or the disabled symbol) into the field.
    void showValue();
    void showMessage(const QString& text);
    void clearMessage();

    std::function<void(int)> stepHandler_;
    std::function<bool(double)> valueHandler_;
    double value_ = 0.0;
    double min_ = 0.0;
    double max_ = 0.0;
    bool wraps_ = false;
    bool edited_ = false;  // the field holds typed text not yet confirmed
    KeyRepeat repeat_;
    QString message_;
};

}  // namespace hostui
