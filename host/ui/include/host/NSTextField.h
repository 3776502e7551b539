#pragma once

#include <string>

#include "host/NSControl.h"

// A text field (QLabel or QLineEdit). Numbers are shown through the field's
// number format, a printf format for one double (the widget's "numberFormat"
// property in the .ui file; default "%g"); a value that is not finite shows
// the field's "notANumberSymbol" (default "-").
class NSTextField : public NSControl {
public:
    void setStringValue(const std::string& text);
    const std::string& stringValue() const { return text_; }
    void setFloatValue(float value);
    void setDoubleValue(double value);
    void setIntValue(int value);
    // The number last set, or the text read as a number (0 when it is none).
    float floatValue() const;
    double doubleValue() const;

    void setNumberFormat(const std::string& printfFormat, const std::string& notANumberSymbol);
    const std::string& numberFormat() const { return format_; }

protected:
    bool acceptsView(QWidget* widget) const override;
    void attachView(QWidget* widget) override;
    void updateView() override;

private:
    void showNumber(double value);
    std::string text_;
    std::string format_ = "%g";
    std::string notANumber_ = "-";
    bool hasNumber_ = false;
    double number_ = 0.0;
};
