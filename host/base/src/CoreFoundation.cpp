// Property-list values: numbers that remember their Core Foundation type,
// and dictionaries that keep their keys in insertion order.
#include "host/CoreFoundation.h"

#include <cmath>
#include <limits>

namespace cf {

namespace {

// Truncates toward zero and saturates at the ends of the 64-bit range, so a
// huge or non-finite real never becomes undefined behaviour.
std::int64_t saturatingTruncate(double value) {
    if (std::isnan(value)) return 0;
    constexpr double lowest = -9223372036854775808.0;        // -2^63, exact
    constexpr double beyondHighest = 9223372036854775808.0;  // 2^63, exact
    if (value <= lowest) return std::numeric_limits<std::int64_t>::min();
    if (value >= beyondHighest) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(value);
}

}  // namespace

Number Number::integer(CFNumberType type, std::int64_t value) {
    Number n;
    n.type_ = type;
    switch (type) {
    case kCFNumberCharType:
        // A char number is a signed byte: the low 8 bits, sign-extended.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse): the sign extension is the point
        n.integer_ = static_cast<std::int8_t>(static_cast<std::uint8_t>(value & 0xFF));
        break;
    case kCFNumberIntType:
        n.integer_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(value & 0xFFFFFFFF));
        break;
    case kCFNumberSInt64Type: n.integer_ = value; break;
    case kCFNumberFloatType:
    case kCFNumberDoubleType: return real(type, static_cast<double>(value));
    }
    return n;
}

Number Number::real(CFNumberType type, double value) {
    if (type != kCFNumberFloatType && type != kCFNumberDoubleType)
        return integer(type, saturatingTruncate(value));
    Number n;
    n.type_ = type;
    n.real_ = type == kCFNumberFloatType ? static_cast<double>(static_cast<float>(value)) : value;
    return n;
}

std::int64_t Number::int64Value() const { return isReal() ? saturatingTruncate(real_) : integer_; }

std::uint32_t Number::uint32Value() const {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(int64Value()) & 0xFFFFFFFFu);
}

float Number::floatValue() const {
    return isReal() ? static_cast<float>(real_) : static_cast<float>(integer_);
}

double Number::doubleValue() const { return isReal() ? real_ : static_cast<double>(integer_); }

// Equal when the values are equal, whatever the types (as CFEqual compares
// numbers): an 8-bit 5 equals a 64-bit 5, and a float read back from a file
// as a double still equals the float written.
bool Number::operator==(const Number& other) const {
    if (!isReal() && !other.isReal()) return integer_ == other.integer_;
    if (isReal() && other.isReal()) return real_ == other.real_;
    const Number& i = isReal() ? other : *this;
    const Number& r = isReal() ? *this : other;
    return std::trunc(r.real_) == r.real_ && static_cast<double>(i.integer_) == r.real_ &&
           saturatingTruncate(r.real_) == i.integer_;
}

Dictionary::Dictionary() = default;
Dictionary::Dictionary(const Dictionary&) = default;
Dictionary::Dictionary(Dictionary&&) noexcept = default;
Dictionary& Dictionary::operator=(const Dictionary&) = default;
Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;
Dictionary::~Dictionary() = default;

const Value* Dictionary::get(std::string_view key) const {
    for (const Item& item : items_)
        if (item.first == key) return &item.second;
    return nullptr;
}

Value* Dictionary::get(std::string_view key) {
    for (Item& item : items_)
        if (item.first == key) return &item.second;
    return nullptr;
}

void Dictionary::set(std::string key, Value value) {
    if (Value* existing = get(key)) {
        *existing = std::move(value);
        return;
    }
    items_.emplace_back(std::move(key), std::move(value));
}

bool Dictionary::remove(std::string_view key) {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if (it->first == key) {
            items_.erase(it);
            return true;
        }
    }
    return false;
}

bool Dictionary::operator==(const Dictionary& other) const { return items_ == other.items_; }

bool boolValue(const Value* value) {
    if (!value) return false;
    if (const bool* b = value->boolean()) return *b;
    if (const Number* n = value->number()) return n->boolValue();
    // NSString's boolValue, which a defaults tool's "YES" or "1" meets: after
    // white space, a sign and zeros, Y, y, T, t or a digit 1 to 9 is true.
    if (const std::string* text = value->string()) {
        std::size_t i = text->find_first_not_of(" \t\n\r\f\v");
        if (i == std::string::npos) return false;
        if ((*text)[i] == '+' || (*text)[i] == '-') ++i;
        while (i < text->size() && (*text)[i] == '0') ++i;
        return i < text->size() &&
               std::string_view("YyTt123456789").find((*text)[i]) != std::string_view::npos;
    }
    return false;
}

float floatValue(const Value* value) {
    if (!value) return 0.0f;
    if (const Number* n = value->number()) return n->floatValue();
    // A CFBoolean is an NSNumber too.
    if (const bool* b = value->boolean()) return *b ? 1.0f : 0.0f;
    return 0.0f;
}

}  // namespace cf
