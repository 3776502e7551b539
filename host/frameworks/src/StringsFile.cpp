// The Apple .strings format: "KEY" = "value"; entries with comments and
// backslash escapes, stored as UTF-8 or UTF-16.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/Foundation.h"

namespace host {

namespace {

void setError(std::string* error, std::string message) {
    if (error) *error = std::move(message);
}

void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

std::optional<std::string> decodeUTF16(std::string_view bytes, bool bigEndian, std::string* error) {
    if (bytes.size() % 2 != 0) {
        setError(error, "UTF-16 text with an odd number of bytes");
        return std::nullopt;
    }
    std::string out;
    out.reserve(bytes.size());
    auto unit = [&](std::size_t i) -> char32_t {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return bigEndian ? static_cast<char32_t>((a << 8) | b)
                         : static_cast<char32_t>((b << 8) | a);
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        char32_t c = unit(i);
        if (isHighSurrogate(c)) {
            if (i + 3 >= bytes.size() || !isLowSurrogate(unit(i + 2))) {
                setError(error, "UTF-16 text with an unpaired surrogate");
                return std::nullopt;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (isLowSurrogate(c)) {
            setError(error, "UTF-16 text with an unpaired surrogate");
            return std::nullopt;
        }
        appendUTF8(out, c);
    }
    return out;
}

bool isValidUTF8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra = 0;
        char32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// The text as UTF-8, from a byte order mark when there is one; UTF-16 files
// without one are recognised by the zero byte of their first ASCII character.
std::optional<std::string> decodeText(std::string_view bytes, std::string* error) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF)
        bytes.remove_prefix(3);
    else if (bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE)
        return decodeUTF16(bytes.substr(2), false, error);
    else if (bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF)
        return decodeUTF16(bytes.substr(2), true, error);
    else if (bytes.size() >= 2 && at(0) == 0 && at(1) != 0)
        return decodeUTF16(bytes, true, error);
    else if (bytes.size() >= 2 && at(0) != 0 && at(1) == 0)
        return decodeUTF16(bytes, false, error);
    if (!isValidUTF8(bytes)) {
        setError(error, "the text is neither UTF-8 nor UTF-16 with a byte order mark");
        return std::nullopt;
    }
    return std::string(bytes);
}

class Parser {
public:
    Parser(std::string_view text, std::string* error) : s_(text), error_(error) {}

    std::optional<cf::Dictionary> parse() {
        cf::Dictionary result;
        for (;;) {
            if (!skipSpaceAndComments()) return std::nullopt;
            if (atEnd()) return result;
            auto key = token("a key");
            if (!key) return std::nullopt;
            if (!skipSpaceAndComments()) return std::nullopt;
            std::string value;
            if (peek() == ';') {
                // "KEY"; alone stands for "KEY" = "KEY";
                value = *key;
            } else {
                if (peek() != '=') return fail("expected '=' after the key \"" + *key + "\"");
                ++pos_;
                if (!skipSpaceAndComments()) return std::nullopt;
                auto v = token("a value");
                if (!v) return std::nullopt;
                value = std::move(*v);
                if (!skipSpaceAndComments()) return std::nullopt;
                if (peek() != ';') return fail("expected ';' after the value of \"" + *key + "\"");
            }
            ++pos_;
            result.set(std::move(*key), cf::Value(std::move(value)));
        }
    }

private:
    bool atEnd() const { return pos_ >= s_.size(); }
    char peek() const { return atEnd() ? '\0' : s_[pos_]; }

    std::nullopt_t fail(const std::string& message) {
        std::size_t line = 1;
        for (std::size_t i = 0; i < pos_ && i < s_.size(); ++i)
            if (s_[i] == '\n') ++line;
        setError(error_, "line " + std::to_string(line) + ": " + message);
        return std::nullopt;
    }

    bool skipSpaceAndComments() {
        while (!atEnd()) {
            const char c = s_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (s_.substr(pos_, 2) == "//") {
                while (!atEnd() && s_[pos_] != '\n') ++pos_;
            } else if (s_.substr(pos_, 2) == "/*") {
                const auto close = s_.find("*/", pos_ + 2);
                if (close == std::string_view::npos) {
                    fail("a comment that is never closed");
                    return false;
                }
                pos_ = close + 2;
            } else {
                return true;
            }
        }
        return true;
    }

    static bool isUnquotedChar(char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '-';
    }

    std::optional<std::string> token(const char* what) {
        if (peek() == '"') return quoted();
        std::string word;
        while (!atEnd() && isUnquotedChar(s_[pos_])) word += s_[pos_++];
        if (word.empty()) {
            if (atEnd()) return fail(std::string("expected ") + what + " but the text ends");
            return fail(std::string("expected ") + what + ", found '" + std::string(1, peek()) +
                        "'");
        }
        return word;
    }

    std::optional<unsigned> hexDigits(std::size_t count) {
        unsigned v = 0;
        for (std::size_t k = 0; k < count; ++k) {
            if (atEnd()) return std::nullopt;
            const char c = s_[pos_];
            unsigned d;
            if (c >= '0' && c <= '9')
                d = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                d = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                d = static_cast<unsigned>(c - 'A' + 10);
            else
                return std::nullopt;
            v = v * 16 + d;
            ++pos_;
        }
        return v;
    }

    std::optional<std::string> quoted() {
        ++pos_;  // the opening quote
        std::string out;
        for (;;) {
            if (atEnd()) return fail("a quoted string that is never closed");
            const char c = s_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd()) return fail("a quoted string that is never closed");
            const char e = s_[pos_++];
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'a': out += '\a'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'v': out += '\v'; break;
            case 'U':
            case 'u': {
                auto unit = hexDigits(4);
                if (!unit) return fail("\\U must be followed by four hex digits");
                char32_t cp = *unit;
                if (isHighSurrogate(cp)) {
                    // A character beyond the first plane is written as a pair.
                    if (s_.substr(pos_, 2) != "\\U" && s_.substr(pos_, 2) != "\\u")
                        return fail("\\U escape with an unpaired surrogate");
                    pos_ += 2;
                    auto low = hexDigits(4);
                    if (!low || !isLowSurrogate(*low))
                        return fail("\\U escape with an unpaired surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
                } else if (isLowSurrogate(cp)) {
                    return fail("\\U escape with an unpaired surrogate");
                }
                appendUTF8(out, cp);
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    // Up to three octal digits.
                    unsigned v = static_cast<unsigned>(e - '0');
                    for (int k = 0; k < 2 && !atEnd() && s_[pos_] >= '0' && s_[pos_] <= '7'; ++k)
                        v = v * 8 + static_cast<unsigned>(s_[pos_++] - '0');
                    appendUTF8(out, static_cast<char32_t>(v));
                } else {
                    // \" \\ \' and any other character stand for themselves.
                    out += e;
                }
            }
        }
    }

    std::string_view s_;
    std::string* error_;
    std::size_t pos_ = 0;
};

// Apple's tools also save string tables as XML or binary property lists: a
// dictionary of strings.
std::optional<cf::Dictionary> parsePropertyListTable(std::string_view bytes, std::string* error) {
    std::string why;
    auto value = cf::parsePropertyList(bytes, &why);
    if (!value) {
        setError(error, why);
        return std::nullopt;
    }
    const cf::Dictionary* table = value->dictionary();
    if (!table) {
        setError(error, "the property list is not a dictionary");
        return std::nullopt;
    }
    for (const auto& [key, item] : table->items()) {
        if (!item.string()) {
            setError(error, "the value of \"" + key + "\" is not a string");
            return std::nullopt;
        }
    }
    return *table;
}

bool looksLikePropertyList(std::string_view text) {
    const auto start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) return false;
    text.remove_prefix(start);
    for (std::string_view opening : {"<?xml", "<!DOCTYPE plist", "<plist"})
        if (text.substr(0, opening.size()) == opening) return true;
    return false;
}

}  // namespace

std::optional<cf::Dictionary> parseStringsFile(std::string_view bytes, std::string* error) {
    if (bytes.substr(0, 8) == "bplist00") return parsePropertyListTable(bytes, error);
    auto text = decodeText(bytes, error);
    if (!text) return std::nullopt;
    if (looksLikePropertyList(*text)) return parsePropertyListTable(*text, error);
    return Parser(*text, error).parse();
}

}  // namespace host
