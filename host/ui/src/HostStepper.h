// The stepper widget of .ui files (class "HostStepper"): arrows that ask the
// NSStepper behind them to step, and a read-only display of its value.
#pragma once

#include <QAbstractSpinBox>
#include <functional>

namespace hostui {

class HostStepper : public QAbstractSpinBox {
public:
    explicit HostStepper(QWidget* parent = nullptr);

    // Set by the NSStepper connected to it.
    void setStepHandler(std::function<void(int steps)> handler) { handler_ = std::move(handler); }
    void showState(double value, double min, double max, bool wraps);

    void stepBy(int steps) override;

protected:
    StepEnabled stepEnabled() const override;

private:
    std::function<void(int)> handler_;
    double value_ = 0.0;
    double min_ = 0.0;
    double max_ = 0.0;
    bool wraps_ = false;
};

}  // namespace hostui
