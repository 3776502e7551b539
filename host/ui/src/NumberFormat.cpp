#include "NumberFormat.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hostui {

bool isNumberFormat(const std::string& format) {
    int conversions = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        ++i;
        if (i < format.size() && format[i] == '%') continue;
        while (i < format.size() && std::strchr("-+ #0", format[i]) != nullptr) ++i;
        while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) ++i;
        if (i < format.size() && format[i] == '.') {
            ++i;
            while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i]))) ++i;
        }
        if (i >= format.size() || std::strchr("fFeEgGaA", format[i]) == nullptr) return false;
        ++conversions;
    }
    return conversions == 1;
}

std::string formatNumber(const std::string& format, const std::string& notANumber, double value) {
    if (!std::isfinite(value)) return notANumber;
    const std::string& f = isNumberFormat(format) ? format : std::string("%g");
    char buffer[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::snprintf(buffer, sizeof buffer, f.c_str(), value);
#pragma GCC diagnostic pop
    if (n < 0) return notANumber;
    return std::string(buffer,
                       std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

std::string formatLimit(double value, bool lowerLimit) {
    if (!std::isfinite(value)) return formatNumber("%g", "-", value);
    char buffer[512];
    for (int decimals = 0; decimals <= 3; ++decimals) {
        std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
        if (std::strtod(buffer, nullptr) == value) return buffer;
    }
    const double thousandths = lowerLimit ? std::ceil(value * 1000.0) : std::floor(value * 1000.0);
    std::snprintf(buffer, sizeof buffer, "%.3f", thousandths / 1000.0);
    std::string text = buffer;
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text;
}

}  // namespace hostui
