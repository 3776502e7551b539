#include "HostStepper.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QToolTip>
#include <QVariant>
#include <QWheelEvent>
#include <cctype>
#include <cstdlib>

#include "NumberFormat.h"

namespace hostui {

namespace {

// One notch of an ordinary mouse wheel, in eighths of a degree.
constexpr int kWheelNotch = 120;

std::string stringProperty(const QWidget& widget, const char* name, const char* fallback) {
    const QVariant value = widget.property(name);
    return value.isValid() ? value.toString().toStdString() : std::string(fallback);
}

// The whole text as one number, read as the field shows numbers (printf's
// locale); nothing for anything else.
bool parseNumber(const std::string& text, double* value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    *value = std::strtod(begin, &end);
    if (end == begin) return false;
    while (*end != '\0' && std::isspace(static_cast<unsigned char>(*end))) ++end;
    return *end == '\0';
}

}  // namespace

HostStepper::HostStepper(QWidget* parent) : QAbstractSpinBox(parent) {
    setWrapping(false);
    setAccelerated(false);
    // The wheel gives no focus: a wheel turned over an unfocused stepper
    // scrolls what is around it and never steps.
    setFocusPolicy(Qt::StrongFocus);
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] { edited_ = true; });
}

void HostStepper::showState(double value, double min, double max, bool wraps) {
    value_ = value;
    min_ = min;
    max_ = max;
    wraps_ = wraps;
    showValue();
}

void HostStepper::showValue() {
    edited_ = false;
    clearMessage();
    const std::string symbol = stringProperty(*this, "notANumberSymbol", "-");
    const std::string text =
        isEnabled() ? formatNumber(stringProperty(*this, "numberFormat", "%g"), symbol, value_)
                    : symbol;
    lineEdit()->setText(QString::fromStdString(text));
    update();
}

void HostStepper::showMessage(const QString& text) {
    message_ = text;
    QToolTip::showText(mapToGlobal(QPoint(0, height())), text, this);
}

void HostStepper::clearMessage() {
    if (message_.isEmpty()) return;
    if (QToolTip::text() == message_) QToolTip::hideText();
    message_.clear();
}

void HostStepper::stepBy(int steps) {
    if (stepHandler_) stepHandler_(steps);
}

void HostStepper::stepOnce(int direction) {
    if (!(stepEnabled() & (direction > 0 ? StepUpEnabled : StepDownEnabled))) return;
    stepBy(direction > 0 ? 1 : -1);
}

void HostStepper::confirmTypedValue() {
    double value = 0.0;
    if (parseNumber(lineEdit()->text().toStdString(), &value) && valueHandler_ &&
        valueHandler_(value)) {
        showValue();
        return;
    }
    showMessage(QStringLiteral("Enter a number from %1 to %2")
                    .arg(QString::fromStdString(formatLimit(min_, true)),
                         QString::fromStdString(formatLimit(max_, false))));
}

QAbstractSpinBox::StepEnabled HostStepper::stepEnabled() const {
    if (!isEnabled()) return StepNone;
    StepEnabled enabled = StepNone;
    if (wraps_ || value_ < max_) enabled |= StepUpEnabled;
    if (wraps_ || value_ > min_) enabled |= StepDownEnabled;
    return enabled;
}

void HostStepper::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
        // One step per key press, whatever modifiers are held.
        event->accept();
        stepOnce(event->key() == Qt::Key_Up ? 1 : -1);
        return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: event->ignore(); return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (edited_) {
            event->accept();
            confirmTypedValue();
            return;
        }
        break;
    case Qt::Key_Escape:
        if (edited_ || !message_.isEmpty()) {
            event->accept();
            showValue();
            return;
        }
        break;
    default: break;
    }
    QAbstractSpinBox::keyPressEvent(event);
}

void HostStepper::wheelEvent(QWheelEvent* event) {
    if (!hasFocus() || !isEnabled()) {
        event->ignore();
        return;
    }
    event->accept();
    wheelDelta_ += event->angleDelta().y();
    for (; wheelDelta_ >= kWheelNotch; wheelDelta_ -= kWheelNotch) stepOnce(+1);
    for (; wheelDelta_ <= -kWheelNotch; wheelDelta_ += kWheelNotch) stepOnce(-1);
}

void HostStepper::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractSpinBox::mousePressEvent(event);
        return;
    }
    // A click is one step: no repeat while the button stays down, which
    // would step again after a slow card operation.
    event->accept();
    QStyleOptionSpinBox option;
    initStyleOption(&option);
    const QStyle::SubControl hit = style()->hitTestComplexControl(
        QStyle::CC_SpinBox, &option, event->position().toPoint(), this);
    if (hit == QStyle::SC_SpinBoxUp) stepOnce(+1);
    if (hit == QStyle::SC_SpinBoxDown) stepOnce(-1);
}

void HostStepper::focusOutEvent(QFocusEvent* event) {
    QAbstractSpinBox::focusOutEvent(event);
    wheelDelta_ = 0;
    // A context menu (paste) keeps what is being typed.
    if (event->reason() != Qt::PopupFocusReason && (edited_ || !message_.isEmpty())) showValue();
}

void HostStepper::changeEvent(QEvent* event) {
    QAbstractSpinBox::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) showValue();
}

}  // namespace hostui
