#include "HostStepper.h"

#include <QLineEdit>
#include <QVariant>

#include "NumberFormat.h"

namespace hostui {

HostStepper::HostStepper(QWidget* parent) : QAbstractSpinBox(parent) {
    // The value changes only by steps, never by typing: the controller
    // decides what a step means.
    lineEdit()->setReadOnly(true);
    setWrapping(false);
    setAccelerated(false);
}

void HostStepper::showState(double value, double min, double max, bool wraps) {
    value_ = value;
    min_ = min;
    max_ = max;
    wraps_ = wraps;
    const QVariant format = property("numberFormat");
    const std::string text = formatNumber(
        format.isValid() ? format.toString().toStdString() : std::string("%g"), "-", value);
    lineEdit()->setText(QString::fromStdString(text));
    update();
}

void HostStepper::stepBy(int steps) {
    if (handler_) handler_(steps);
}

QAbstractSpinBox::StepEnabled HostStepper::stepEnabled() const {
    if (!isEnabled()) return StepNone;
    StepEnabled enabled = StepNone;
    if (wraps_ || value_ < max_) enabled |= StepUpEnabled;
    if (wraps_ || value_ > min_) enabled |= StepDownEnabled;
    return enabled;
}

}  // namespace hostui
