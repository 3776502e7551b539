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
    // Tab reaches the field; a click gives it focus only on the field itself
    // (see eventFilter), never on the arrows, and the wheel never does.
    setFocusPolicy(Qt::TabFocus);
    lineEdit()->installEventFilter(this);
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] { edited_ = true; });
}

bool HostStepper::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lineEdit() && event->type() == QEvent::MouseButtonPress && isEnabled() &&
        !hasFocus())
        setFocus(Qt::MouseFocusReason);
    return QAbstractSpinBox::eventFilter(watched, event);
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

bool HostStepper::confirmTypedValue() {
    double value = 0.0;
    if (parseNumber(lineEdit()->text().toStdString(), &value) && valueHandler_ &&
        valueHandler_(value)) {
        showValue();
        return true;
    }
    showMessage(QStringLiteral("Enter a number from %1 to %2")
                    .arg(QString::fromStdString(formatLimit(min_, true)),
                         QString::fromStdString(formatLimit(max_, false))));
    return false;
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
        // One step per key press, whatever modifiers are held; a held key's
        // repeats are no presses.
        event->accept();
        if (!repeat_.isRepeat(*event)) stepOnce(event->key() == Qt::Key_Up ? 1 : -1);
        return;
    case Qt::Key_PageUp:
    case Qt::Key_PageDown: event->ignore(); return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (repeat_.isRepeat(*event)) {
            event->accept();
            return;
        }
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

void HostStepper::keyReleaseEvent(QKeyEvent* event) {
    repeat_.released(*event);
    QAbstractSpinBox::keyReleaseEvent(event);
}

void HostStepper::wheelEvent(QWheelEvent* event) {
    // A wheel turned over the pane scrolls what is around, never a clock.
    event->ignore();
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

bool HostStepper::focusNextPrevChild(bool next) {
    // Tab confirms what was typed, as Return does; a value refused keeps the
    // field, with the note, until it is mended or dropped (Escape).
    if (edited_ && !confirmTypedValue()) return true;
    return QAbstractSpinBox::focusNextPrevChild(next);
}

void HostStepper::focusOutEvent(QFocusEvent* event) {
    QAbstractSpinBox::focusOutEvent(event);
    // A context menu (paste) keeps what is being typed.
    if (event->reason() != Qt::PopupFocusReason && (edited_ || !message_.isEmpty())) showValue();
}

void HostStepper::changeEvent(QEvent* event) {
    QAbstractSpinBox::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) showValue();
}

}  // namespace hostui
