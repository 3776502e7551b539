#include <QVariant>
#include <algorithm>
#include <cmath>

#include "HostStepper.h"
#include "NumberFormat.h"
#include "host/AppKitControls.h"

namespace {
double clampValue(double value, double min, double max) {
    if (value > max) value = max;
    if (value < min) value = min;
    return value;
}
}  // namespace

void NSStepper::setDoubleValue(double value) {
    value_ = clampValue(value, min_, max_);
    updateView();
}

void NSStepper::setIncrement(double increment) {
    increment_ = increment;
    updateView();
}

void NSStepper::setMinValue(double value) {
    min_ = value;
    value_ = clampValue(value_, min_, max_);
    updateView();
}

void NSStepper::setMaxValue(double value) {
    max_ = value;
    value_ = clampValue(value_, min_, max_);
    updateView();
}

void NSStepper::click(int steps) {
    if (!isEnabled() || steps == 0) return;
    double value = value_ + steps * increment_;
    if (wraps_) {
        if (value > max_) value = min_;
        if (value < min_) value = max_;
    } else {
        value = clampValue(value, min_, max_);
    }
    if (value == value_) return;
    value_ = value;
    updateView();
    sendAction();
}

std::string NSStepper::stringValue() const { return hostui::formatNumber(format_, "-", value_); }

bool NSStepper::acceptsValue(double value) const {
    return isEnabled() && std::isfinite(value) && value >= min_ && value <= max_;
}

bool NSStepper::takeDoubleValue(double value) {
    if (!acceptsValue(value)) return false;
    if (value == value_) return true;
    value_ = value;
    updateView();
    sendAction();
    return true;
}

bool NSStepper::enterTypedValue(double value) {
    if (!acceptsValue(value)) return false;
    if (fieldAction_)
        fieldAction_(value);
    else
        takeDoubleValue(value);
    return true;
}

bool NSStepper::acceptsView(QWidget* widget) const {
    return dynamic_cast<hostui::HostStepper*>(widget) != nullptr;
}

void NSStepper::attachView(QWidget* widget) {
    auto* stepper = static_cast<hostui::HostStepper*>(widget);
    // The widget outlives neither the control nor its connection: the
    // handler is cleared when the widget is connected to something else or
    // the control goes away (see ~NSStepper's base and viewContext).
    QObject::connect(viewContext(), &QObject::destroyed, stepper, [stepper] {
        stepper->setStepHandler(nullptr);
        stepper->setValueHandler(nullptr);
    });
    stepper->setStepHandler([this](int steps) { click(steps); });
    stepper->setValueHandler([this](double value) { return enterTypedValue(value); });
    const QVariant format = stepper->property("numberFormat");
    format_ = format.isValid() && hostui::isNumberFormat(format.toString().toStdString())
                  ? format.toString().toStdString()
                  : std::string("%g");
}

void NSStepper::updateView() {
    if (auto* stepper = dynamic_cast<hostui::HostStepper*>(view()))
        stepper->showState(value_, min_, max_, wraps_);
}
