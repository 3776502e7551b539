// Core Foundation stand-in: property-list values (dictionary, array, string,
// data, boolean, number) and their XML / binary property-list files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace cf {

// The number types the system creates; a number remembers the type it was
// made with, as a CFNumber does.
enum CFNumberType {
    kCFNumberCharType,    // 8-bit signed
    kCFNumberIntType,     // 32-bit signed
    kCFNumberSInt64Type,  // 64-bit signed
    kCFNumberFloatType,   // 32-bit float
    kCFNumberDoubleType,  // 64-bit double
};

class Value;
using Array = std::vector<Value>;
using Data = std::vector<std::uint8_t>;

class Number {
public:
    // Integer types keep the value cut to their width (an 8-bit char wraps,
    // a 32-bit int keeps the low 32 bits as a signed value).
    static Number integer(CFNumberType type, std::int64_t value);
    // Real types; a float is stored rounded to single precision.
    static Number real(CFNumberType type, double value);

    CFNumberType type() const { return type_; }
    bool isReal() const { return type_ == kCFNumberFloatType || type_ == kCFNumberDoubleType; }

    std::int64_t int64Value() const;    // reals truncate toward zero, saturating
    std::uint32_t uint32Value() const;  // low 32 bits of the integer value
    float floatValue() const;
    double doubleValue() const;
    bool boolValue() const { return isReal() ? real_ != 0.0 : integer_ != 0; }

    bool operator==(const Number& other) const;

private:
    CFNumberType type_ = kCFNumberIntType;
    std::int64_t integer_ = 0;
    double real_ = 0.0;
};

// A dictionary with string keys that keeps its keys in insertion order.
class Dictionary {
public:
    using Item = std::pair<std::string, Value>;

    Dictionary();
    Dictionary(const Dictionary&);
    Dictionary(Dictionary&&) noexcept;
    Dictionary& operator=(const Dictionary&);
    Dictionary& operator=(Dictionary&&) noexcept;
    ~Dictionary();

    const Value* get(std::string_view key) const;  // nullptr when absent
    Value* get(std::string_view key);
    // Replaces the value of an existing key in place, else appends.
    void set(std::string key, Value value);
    bool remove(std::string_view key);
    bool contains(std::string_view key) const { return get(key) != nullptr; }
    std::size_t size() const;  // defined below, where Value is complete
    bool empty() const;
    const std::vector<Item>& items() const { return items_; }

    bool operator==(const Dictionary& other) const;  // same keys in the same order

private:
    std::vector<Item> items_;
};

class Value {
public:
    using Storage = std::variant<bool, Number, std::string, Data, Array, Dictionary>;

    // Implicit, like toll-free bridged CF types: any of these is a property
    // list value wherever one is expected.
    // NOLINTBEGIN(google-explicit-constructor)
    Value(bool b) : v_(b) {}
    Value(Number n) : v_(n) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(Data d) : v_(std::move(d)) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}
    // NOLINTEND(google-explicit-constructor)

    const bool* boolean() const { return std::get_if<bool>(&v_); }
    const Number* number() const { return std::get_if<Number>(&v_); }
    const std::string* string() const { return std::get_if<std::string>(&v_); }
    const Data* data() const { return std::get_if<Data>(&v_); }
    const Array* array() const { return std::get_if<Array>(&v_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&v_); }
    Array* array() { return std::get_if<Array>(&v_); }
    Dictionary* dictionary() { return std::get_if<Dictionary>(&v_); }

    const Storage& storage() const { return v_; }
    bool operator==(const Value& other) const { return v_ == other.v_; }

private:
    Storage v_;
};

inline std::size_t Dictionary::size() const { return items_.size(); }
inline bool Dictionary::empty() const { return items_.empty(); }

// Convenience constructors that read like CFNumberCreate.
inline Value CFNumberCreate(CFNumberType type, std::int64_t v) { return Number::integer(type, v); }
inline Value CFNumberCreateReal(CFNumberType type, double v) { return Number::real(type, v); }

// NSNumber-style boolValue: a boolean as is, a number when non-zero, a string
// as NSString's boolValue reads it ("YES", "true", "1" true; "NO", "0"
// false); anything else (or nothing) is false.
bool boolValue(const Value* value);
// NSNumber-style floatValue: a number's value as float, a boolean as 1 or 0;
// anything else is 0.
float floatValue(const Value* value);

// Property-list files. Reading accepts XML and binary property lists; writing
// produces XML. Numbers read from a file are kCFNumberIntType when they fit in
// 32 signed bits, else kCFNumberSInt64Type; reals read as kCFNumberDoubleType.
// A binary list whose shared objects would make more than a million values
// is refused, as is one nested more than 256 levels deep.
std::optional<Value> parsePropertyList(std::string_view bytes, std::string* error);
// Only a regular file is read (a link to one is followed); a FIFO, device or
// folder is refused at once, and so is a file of more than `maxBytes` (by
// default the 1 MiB that an Info.plist or a settings file of this size
// comfortably fits in).
inline constexpr std::size_t kPropertyListFileBytes = std::size_t{1} << 20;
std::optional<Value> readPropertyListFile(const std::string& path, std::string* error,
                                          std::size_t maxBytes = kPropertyListFileBytes);
std::string toXMLPropertyList(const Value& value);
// Writes to a temporary file beside `path`, flushes it and renames it over
// `path`, so that readers see the old or the new file, never a part of one.
bool writePropertyListFileAtomically(const std::string& path, const Value& value,
                                     std::string* error);

}  // namespace cf
