// Texts simmac shows: I/O Kit return codes, property values, numbers.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "SimmacCommands.h"

namespace simmac {

std::string hex32(std::uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", value);
    return buffer;
}

std::string ioReturnText(IOReturn code) {
    struct Known {
        IOReturn code;
        const char* name;
    };
    static const Known known[] = {
        {kIOReturnSuccess, "kIOReturnSuccess"},
        {kIOReturnError, "kIOReturnError"},
        {kIOReturnNoMemory, "kIOReturnNoMemory"},
        {kIOReturnNoDevice, "kIOReturnNoDevice"},
        {kIOReturnBadArgument, "kIOReturnBadArgument"},
        {kIOReturnUnsupported, "kIOReturnUnsupported"},
        {kIOReturnNotReadable, "kIOReturnNotReadable"},
        {kIOReturnNotWritable, "kIOReturnNotWritable"},
        {kIOReturnBusy, "kIOReturnBusy"},
        {kIOReturnTimeout, "kIOReturnTimeout"},
        {kIOReturnNotPermitted, "kIOReturnNotPermitted"},
        {kIOReturnNotFound, "kIOReturnNotFound"},
    };
    std::string text = hex32(static_cast<std::uint32_t>(code));
    for (const Known& k : known)
        if (k.code == code) return text + " (" + k.name + ")";
    return text;
}

namespace {

std::string quotedText(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// Text when every byte is printable, apart from one terminating zero byte
// (numbers stored as data often end in several zero bytes).
std::optional<std::string> printable(const cf::Data& data) {
    std::size_t end = data.size();
    if (end > 0 && data[end - 1] == 0) --end;
    if (end == 0) return std::nullopt;
    for (std::size_t i = 0; i < end; ++i)
        if (data[i] < 0x20 || data[i] > 0x7E) return std::nullopt;
    return std::string(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(end));
}

}  // namespace

std::string propertyText(const cf::Value& value) {
    if (const cf::Data* data = value.data()) {
        std::string out = "<";
        char buffer[4];
        for (std::uint8_t byte : *data) {
            std::snprintf(buffer, sizeof buffer, "%02x", byte);
            out += buffer;
        }
        out += ">";
        if (std::optional<std::string> text = printable(*data)) out += " " + quotedText(*text);
        return out;
    }
    if (const std::string* text = value.string()) return quotedText(*text);
    if (const bool* b = value.boolean()) return *b ? "true" : "false";
    if (const cf::Number* number = value.number()) {
        if (number->isReal()) {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%g", number->doubleValue());
            return buffer;
        }
        return std::to_string(number->int64Value());
    }
    if (const cf::Array* array = value.array()) {
        std::string out = "(";
        for (std::size_t i = 0; i < array->size(); ++i)
            out += (i ? ", " : "") + propertyText((*array)[i]);
        return out + ")";
    }
    const cf::Dictionary* dict = value.dictionary();
    std::string out = "{";
    bool first = true;
    for (const auto& [key, item] : dict->items()) {
        out += (first ? "" : "; ") + quotedText(key) + " = " + propertyText(item);
        first = false;
    }
    return out + "}";
}

std::optional<std::int64_t> parseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(begin, &end, 0);
    if (errno != 0 || *end != '\0' || std::isspace(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    return value;
}

}  // namespace simmac
