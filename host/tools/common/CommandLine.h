// What the host's programs share on their command lines: one status for
// every usage error, and numbers that are really numbers.
#pragma once

#include <CLI/CLI.hpp>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "host/Log.h"

namespace tools {

// Parses the command line. Nothing when the program goes on; else the status
// to exit with once CLI11 has printed the help (0) or the error (1). CLI11's
// own codes (105 for a bad number, 106 for a missing argument ...) tell a
// script nothing that "usage error" does not, and collide with ours.
//
// Every program also takes --verbose, anywhere on its command line: the
// system log's lines (NSLog) then appear on stderr too.
inline std::optional<int> parseCommandLine(CLI::App& app, int argc, char** argv) {
    app.add_flag_callback(
        "--verbose", [] { host::setLogEchoToStderr(true); },
        "also print the system log's lines (NSLog) on stderr");
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) sub->fallthrough();
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 1;
    }
}

namespace detail {
inline bool decimalDigits(const std::string& text, std::size_t from) {
    if (text.size() <= from) return false;
    for (std::size_t i = from; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}
}  // namespace detail

// CLI11 alone takes "" as 0, "0x10" as 16, " 3" as 3 and "-1" as the largest
// unsigned number; these take only what a person means by a number.
// A count: decimal digits, no sign.
inline const CLI::Validator kDecimalCount(
    [](const std::string& text) {
        return detail::decimalDigits(text, 0) ? std::string()
                                              : "\"" + text + "\" is not a number (0, 1, 2, ...)";
    },
    "N");
// An integer whose range is checked later: decimal digits, an optional minus.
inline const CLI::Validator kDecimalInteger(
    [](const std::string& text) {
        return detail::decimalDigits(text, !text.empty() && text[0] == '-' ? 1 : 0)
                   ? std::string()
                   : "\"" + text + "\" is not a whole number";
    },
    "INT");

// The real numbers the programs take (clocks, seconds): what is allowed.
struct DecimalRange {
    const char* what;  // "a clock in MHz": the message says the text is not that
    const char* unit;  // "MHz"
    double highest;
    bool zeroAllowed = false;  // else only numbers above 0
};

// No clock of these cards comes near 10 GHz; a larger one is a typing error.
inline constexpr double kHighestMegahertz = 10000;
inline constexpr DecimalRange kMegahertzRange{"a clock in MHz", "MHz", kHighestMegahertz};

// The one reader of a real number typed by a person, on a command line, in a
// script or in the environment: decimal digits with at most one point
// ("410.5", "410", ".5"), finite, within the range. Not a number whose
// meaning depends on who reads it (strtod and CLI11 take "0x1A4" as 420,
// "nan" and "inf", "1e308", " 5"); each refusal says why. Nothing, with
// `*why` set to the message ("\"410,5\" is not a clock in MHz: ..."), when
// the text is refused.
inline std::optional<double> parseDecimal(std::string_view text, const DecimalRange& range,
                                          std::string* why) {
    const std::string quoted = "\"" + std::string(text) + "\"";
    auto refuse = [&](const std::string& reason) -> std::optional<double> {
        if (why) *why = quoted + " is not " + range.what + ": " + reason;
        return std::nullopt;
    };
    char highest[32];
    std::snprintf(highest, sizeof highest, "%g %s", range.highest, range.unit);
    const std::string beyond = std::string("the highest taken is ") + highest;
    std::size_t digits = 0, points = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9')
            ++digits;
        else if (c == '.')
            ++points;
    }
    if (digits > 0 && points <= 1 && digits + points == text.size()) {
        const double value = std::strtod(std::string(text).c_str(), nullptr);
        if (value > range.highest) return refuse(beyond);
        if (value == 0 && !range.zeroAllowed)
            return refuse(std::string("it must be above 0 ") + range.unit);
        return value;
    }
    // Why not: the likeliest mistake first.
    if (text.empty()) return refuse("give decimal digits, e.g. 410.5");
    if (text.find(',') != std::string_view::npos)
        return refuse("use a point, not a comma, before the decimals (410.5)");
    if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return refuse("give a decimal number, not hex");
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() && *end == '\0' && !std::isspace(static_cast<unsigned char>(copy[0]))) {
        if (std::isnan(value)) return refuse("a finite number is needed");
        if (value < 0 || (value == 0 && !range.zeroAllowed))
            return refuse(std::string("it must be ") +
                          (range.zeroAllowed ? "0 or more " : "above 0 ") + range.unit);
        // "1e999" is a number too large, "inf" none at all.
        if (value > range.highest)
            return refuse(std::isinf(value) && copy.find_first_of("0123456789") == std::string::npos
                              ? "a finite number is needed"
                              : beyond);
        if (copy[0] == '+' || copy[0] == '-') return refuse("give it without a sign");
        return refuse("write it out in decimal digits, without an exponent");
    }
    return refuse("give decimal digits with at most one point, e.g. 410.5");
}

// parseDecimal as a CLI11 check.
inline CLI::Validator decimalValidator(const DecimalRange& range, const char* name) {
    return CLI::Validator(
        [range](const std::string& text) {
            std::string why;
            return parseDecimal(text, range, &why) ? std::string() : why;
        },
        name);
}
inline const CLI::Validator kMegahertz = decimalValidator(kMegahertzRange, "MHZ");

}  // namespace tools
