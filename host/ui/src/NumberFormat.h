// printf formats for one number, as text fields and steppers show values.
#pragma once

#include <string>

namespace hostui {

// True when `format` has exactly one conversion for a double (%f %e %g %a,
// upper or lower case, with flags, width and precision) and otherwise only
// text and "%%". Anything else could read arguments that are not there.
bool isNumberFormat(const std::string& format);
// `value` through `format` (falling back to "%g" when it is not a number
// format); `notANumber` for NaN and the infinities.
std::string formatNumber(const std::string& format, const std::string& notANumber, double value);
// A limit of a range as text a person can type back: the shortest of up to
// three decimals that is exact, else three decimals rounded into the range
// (up for a lower limit, down for an upper one), so the text itself is
// within the limits.
std::string formatLimit(double value, bool lowerLimit);

}  // namespace hostui
