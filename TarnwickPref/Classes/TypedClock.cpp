#include "TypedClock.h"

#include <cmath>
#include <cstdio>

bool TypedClock::asksFirst() const {
    const double distance = std::fabs(static_cast<double>(typed) - static_cast<double>(inForce));
    // Written so that a clock or stock that is not a number asks.
    return !(stock > 0 && distance <= kAskBeyondPartOfStock * static_cast<double>(stock));
}

double TypedClock::percentOverStock() const {
    return static_cast<double>(typed) / static_cast<double>(stock) * 100.0 - 100.0;
}

std::string clockText(double megahertz) {
    if (!std::isfinite(megahertz)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", megahertz);
    return text;
}

std::string percentText(double percent) {
    if (!std::isfinite(percent)) return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%+.1f", percent);
    return text;
}

std::string formatLocalized(const std::string& format, const std::vector<std::string>& arguments) {
    std::string text = format;
    for (std::size_t i = arguments.size(); i > 0; --i) {
        const std::string placeholder = "%" + std::to_string(i) + "$@";
        for (std::size_t at = text.find(placeholder); at != std::string::npos;
             at = text.find(placeholder, at + arguments[i - 1].size()))
            text.replace(at, placeholder.size(), arguments[i - 1]);
    }
    return text;
}
