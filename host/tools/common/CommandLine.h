// What the host's programs share on their command lines: one status for
// every usage error, and numbers that are really numbers.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

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

}  // namespace tools
