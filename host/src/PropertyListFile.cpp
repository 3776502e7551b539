// Property-list files through libplist: XML or binary in, XML out.
#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>

#include "host/CoreFoundation.h"
#include "host/SimMac.h"

namespace cf {

namespace {

// Deeper nesting than any real property list; refusing it keeps a hostile
// file from exhausting the stack while it is converted.
constexpr int kMaxDepth = 256;

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

void setError(std::string* error, std::string message)
{
    if (error)
        *error = std::move(message);
}

std::string describeLocation(const std::string& where)
{
    return where.empty() ? "at the top level" : "at " + where;
}

std::optional<Value> fromNode(plist_t node, const std::string& where, int depth, std::string* error)
{
    if (depth > kMaxDepth) {
        setError(error, "nested more than " + std::to_string(kMaxDepth) + " levels deep " +
                            describeLocation(where));
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT: {
        // libplist keeps every integer as 64 bits; negative ones in two's complement.
        std::uint64_t u = 0;
        plist_get_uint_val(node, &u);
        const auto i = static_cast<std::int64_t>(u);
        const bool fits32 = i >= std::numeric_limits<std::int32_t>::min() &&
                            i <= std::numeric_limits<std::int32_t>::max();
        return Value(Number::integer(fits32 ? kCFNumberIntType : kCFNumberSInt64Type, i));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(Number::real(kCFNumberDoubleType, d));
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* p = plist_get_string_ptr(node, &length);
        return Value(std::string(p ? p : "", p ? length : 0));
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* p = plist_get_data_ptr(node, &length);
        Data data;
        if (p && length > 0)
            data.assign(reinterpret_cast<const std::uint8_t*>(p),
                        reinterpret_cast<const std::uint8_t*>(p) + length);
        return Value(std::move(data));
    }
    case PLIST_ARRAY: {
        Array array;
        const std::uint32_t size = plist_array_get_size(node);
        array.reserve(size);
        for (std::uint32_t i = 0; i < size; ++i) {
            auto item = fromNode(plist_array_get_item(node, i), where + "[" + std::to_string(i) + "]",
                                 depth + 1, error);
            if (!item)
                return std::nullopt;
            array.push_back(std::move(*item));
        }
        return Value(std::move(array));
    }
    case PLIST_DICT: {
        // libplist keeps a dictionary's items in the order of the file, and
        // its iterator walks them in that order.
        Dictionary dict;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char* rawKey = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, iter, &rawKey, &child);
            if (!rawKey)
                break;
            std::string key(rawKey);
            std::free(rawKey);
            if (!child) {
                setError(error, "the key \"" + key + "\" " + describeLocation(where) + " has no value");
                std::free(iter);
                return std::nullopt;
            }
            auto item = fromNode(child, where.empty() ? '"' + key + '"' : where + ".\"" + key + '"',
                                 depth + 1, error);
            if (!item) {
                std::free(iter);
                return std::nullopt;
            }
            dict.set(std::move(key), std::move(*item));
        }
        std::free(iter);
        return Value(std::move(dict));
    }
    case PLIST_DATE:
        setError(error, "a date value " + describeLocation(where) + " is not supported");
        return std::nullopt;
    case PLIST_UID:
        setError(error, "a keyed-archiver UID " + describeLocation(where) + " is not supported");
        return std::nullopt;
    default:
        setError(error, "an unknown value type " + describeLocation(where));
        return std::nullopt;
    }
}

plist_t toNode(const Value& value)
{
    struct Visitor {
        plist_t operator()(bool b) const { return plist_new_bool(b ? 1 : 0); }
        plist_t operator()(const Number& n) const
        {
            if (n.isReal())
                return plist_new_real(n.doubleValue());
            return plist_new_uint(static_cast<std::uint64_t>(n.int64Value()));
        }
        plist_t operator()(const std::string& s) const
        {
            // libplist strings end at the first zero byte.
            return plist_new_string(s.c_str());
        }
        plist_t operator()(const Data& d) const
        {
            return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
        }
        plist_t operator()(const Array& a) const
        {
            plist_t node = plist_new_array();
            for (const Value& item : a)
                plist_array_append_item(node, toNode(item));
            return node;
        }
        plist_t operator()(const Dictionary& d) const
        {
            // New keys are appended, so the file lists them in insertion order.
            plist_t node = plist_new_dict();
            for (const auto& [key, item] : d.items())
                plist_dict_set_item(node, key.c_str(), toNode(item));
            return node;
        }
    };
    return std::visit(Visitor{}, value.storage());
}

}  // namespace

std::optional<Value> parsePropertyList(std::string_view bytes, std::string* error)
{
    if (bytes.empty()) {
        setError(error, "the file is empty");
        return std::nullopt;
    }
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        setError(error, "the file is too large for a property list");
        return std::nullopt;
    }
    const auto length = static_cast<std::uint32_t>(bytes.size());
    const bool binary = plist_is_binary(bytes.data(), length) != 0;
    plist_t raw = nullptr;
    if (binary)
        plist_from_bin(bytes.data(), length, &raw);
    else
        plist_from_xml(bytes.data(), length, &raw);
    PlistPtr root(raw);
    if (!root) {
        setError(error, binary ? "not a valid binary property list" : "not a valid XML property list");
        return std::nullopt;
    }
    return fromNode(root.get(), "", 0, error);
}

std::optional<Value> readPropertyListFile(const std::string& path, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        setError(error, path + ": cannot be opened");
        return std::nullopt;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        setError(error, path + ": read error");
        return std::nullopt;
    }
    std::string why;
    auto value = parsePropertyList(bytes, &why);
    if (!value)
        setError(error, path + ": " + why);
    return value;
}

std::string toXMLPropertyList(const Value& value)
{
    PlistPtr root(toNode(value));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string text(xml ? xml : "", xml ? length : 0);
    if (xml)
        plist_to_xml_free(xml);
    return text;
}

bool writePropertyListFileAtomically(const std::string& path, const Value& value, std::string* error)
{
    return host::writeFileAtomically(path, toXMLPropertyList(value), error);
}

}  // namespace cf
