#include <QLabel>
#include <QLineEdit>
#include <QVariant>
#include <cstdlib>

#include "NumberFormat.h"
#include "host/NSTextField.h"

void NSTextField::setStringValue(const std::string& text) {
    text_ = text;
    hasNumber_ = false;
    updateView();
}

void NSTextField::showNumber(double value) {
    number_ = value;
    hasNumber_ = true;
    text_ = hostui::formatNumber(format_, notANumber_, value);
    updateView();
}

void NSTextField::setFloatValue(float value) { showNumber(static_cast<double>(value)); }
void NSTextField::setDoubleValue(double value) { showNumber(value); }

void NSTextField::setIntValue(int value) {
    number_ = value;
    hasNumber_ = true;
    text_ = std::to_string(value);
    updateView();
}

double NSTextField::doubleValue() const {
    if (hasNumber_) return number_;
    return std::strtod(text_.c_str(), nullptr);
}

float NSTextField::floatValue() const { return static_cast<float>(doubleValue()); }

void NSTextField::setNumberFormat(const std::string& printfFormat,
                                  const std::string& notANumberSymbol) {
    format_ = hostui::isNumberFormat(printfFormat) ? printfFormat : std::string("%g");
    notANumber_ = notANumberSymbol;
}

bool NSTextField::acceptsView(QWidget* widget) const {
    return qobject_cast<QLabel*>(widget) != nullptr || qobject_cast<QLineEdit*>(widget) != nullptr;
}

void NSTextField::attachView(QWidget* widget) {
    // The interface description carries the field's number format, as a nib
    // carries a field's formatter.
    const QVariant format = widget->property("numberFormat");
    const QVariant symbol = widget->property("notANumberSymbol");
    setNumberFormat(format.isValid() ? format.toString().toStdString() : std::string("%g"),
                    symbol.isValid() ? symbol.toString().toStdString() : std::string("-"));
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        text_ = label->text().toStdString();
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        text_ = edit->text().toStdString();
        QObject::connect(edit, &QLineEdit::textEdited, viewContext(), [this](const QString& text) {
            text_ = text.toStdString();
            hasNumber_ = false;
        });
    }
    hasNumber_ = false;
}

void NSTextField::updateView() {
    const QString text = QString::fromStdString(text_);
    if (auto* label = qobject_cast<QLabel*>(view()))
        label->setText(text);
    else if (auto* edit = qobject_cast<QLineEdit*>(view()))
        edit->setText(text);
}
