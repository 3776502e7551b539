// Property-list files through libplist: XML or binary in, XML out.
#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "host/CoreFoundation.h"
#include "host/RegularFile.h"
#include "host/SimMac.h"

namespace cf {

namespace {

// Deeper nesting than any real property list; refusing it keeps a hostile
// file from exhausting the stack while it is converted.
constexpr int kMaxDepth = 256;
// More values than any real property list holds (a machine file has a few
// hundred); a binary list that shares objects can describe far more in a few
// hundred bytes, and libplist would build every copy.
constexpr std::uint64_t kMaxValues = 1'000'000;

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

void setError(std::string* error, std::string message) {
    if (error) *error = std::move(message);
}

std::string describeLocation(const std::string& where) {
    return where.empty() ? "at the top level" : "at " + where;
}

// libplist builds and frees its trees recursively, so a file nested deep
// enough overflows the stack inside the library. These scans measure the
// nesting before libplist sees the bytes.

// XML: counts open <array> and <dict> elements, skipping comments, CDATA
// and processing instructions; text never holds a bare '<'.
bool xmlNestingWithin(std::string_view s, int limit) {
    int depth = 0;
    std::size_t i = 0;
    auto skipPast = [&](std::string_view end) {
        const auto at = s.find(end, i);
        i = at == std::string_view::npos ? s.size() : at + end.size();
    };
    while ((i = s.find('<', i)) != std::string_view::npos) {
        const std::string_view rest = s.substr(i);
        if (rest.substr(0, 4) == "<!--") {
            skipPast("-->");
        } else if (rest.substr(0, 9) == "<![CDATA[") {
            skipPast("]]>");
        } else if (rest.substr(0, 2) == "<?" || rest.substr(0, 2) == "<!") {
            skipPast(">");
        } else {
            const auto close = rest.find('>');
            const std::string_view tag =
                rest.substr(0, close == std::string_view::npos ? rest.size() : close + 1);
            i += tag.size();
            // Only <array>, <dict> and their ends count.
            const char first = tag.size() > 2 ? tag[tag[1] == '/' ? 2 : 1] : '\0';
            if (first != 'a' && first != 'd') continue;
            const bool selfClosing = tag.size() >= 2 && tag[tag.size() - 2] == '/';
            auto isElement = [&](std::string_view name) {
                return tag.substr(0, name.size()) == name &&
                       (tag.size() == name.size() ||
                        std::string_view(" \t\r\n/>").find(tag[name.size()]) !=
                            std::string_view::npos);
            };
            if ((isElement("<array") || isElement("<dict")) && !selfClosing) {
                if (++depth > limit) return false;
            } else if (isElement("</array") || isElement("</dict")) {
                --depth;
            }
        }
    }
    return true;
}

// Binary: walks the object graph from the top object. Anything that does not
// add up is left to libplist to refuse; refused here are a nesting beyond the
// limit (or a reference cycle, which has no end), a dictionary key in UTF-16
// that holds a zero character, on which libplist's dictionary iterator aborts
// the process, and a tree of more than kMaxValues values. Empty when none is
// found, else the reason.
std::string binaryObjectsProblem(std::string_view s, int limit) {
    std::string tooDeep = "nested more than " + std::to_string(limit) + " levels deep";
    const auto byteAt = [&](std::uint64_t i) { return static_cast<std::uint8_t>(s[i]); };
    const auto bigEndian = [&](std::uint64_t at,
                               std::uint64_t size) -> std::optional<std::uint64_t> {
        if (size == 0 || size > 8 || at > s.size() || size > s.size() - at) return std::nullopt;
        std::uint64_t v = 0;
        for (std::uint64_t k = 0; k < size; ++k) v = (v << 8) | byteAt(at + k);
        return v;
    };
    if (s.size() < 8 + 32) return {};
    const std::uint64_t trailer = s.size() - 32;
    const std::uint8_t offsetSize = byteAt(trailer + 6);
    const std::uint8_t refSize = byteAt(trailer + 7);
    const auto count = bigEndian(trailer + 8, 8);
    const auto top = bigEndian(trailer + 16, 8);
    const auto table = bigEndian(trailer + 24, 8);
    if (!count || !top || !table || *count == 0 || *top >= *count || *count > s.size() ||
        refSize == 0 || refSize > 8 || offsetSize == 0 || offsetSize > 8)
        return {};

    // An object's marker and, for a marker with a length, the length and
    // where the contents start.
    struct Header {
        std::uint8_t kind;
        std::uint64_t length;
        std::uint64_t contents;
    };
    const auto header = [&](std::uint64_t object) -> std::optional<Header> {
        const auto offset = bigEndian(*table + object * offsetSize, offsetSize);
        if (object >= *count || !offset || *offset >= s.size()) return std::nullopt;
        const std::uint8_t marker = byteAt(*offset);
        Header h{static_cast<std::uint8_t>(marker >> 4), static_cast<std::uint64_t>(marker & 0x0F),
                 *offset + 1};
        if (h.length == 0x0F) {
            if (h.contents >= s.size() || (byteAt(h.contents) >> 4) != 0x1) return std::nullopt;
            const std::uint64_t width = std::uint64_t{1} << (byteAt(h.contents) & 0x0F);
            const auto n = bigEndian(h.contents + 1, width);
            if (!n) return std::nullopt;
            h.length = *n;
            h.contents += 1 + width;
        }
        return h;
    };
    const auto utf16WithZero = [&](std::uint64_t object) {
        const auto h = header(object);
        if (!h || h->kind != 0x6 || h->length > s.size() / 2) return false;
        for (std::uint64_t k = 0; k < h->length && h->contents + 2 * k + 1 < s.size(); ++k)
            if (byteAt(h->contents + 2 * k) == 0 && byteAt(h->contents + 2 * k + 1) == 0)
                return true;
        return false;
    };

    // A container's references: where they start, how many (a dictionary
    // lists its keys, then its values) and how many keys lead them.
    struct References {
        std::uint64_t first = 0;
        std::uint64_t total = 0;
        std::uint64_t keys = 0;
    };
    const auto references = [&](std::uint64_t object) -> References {
        const auto h = header(object);
        if (!h || (h->kind != 0xA && h->kind != 0xB && h->kind != 0xC && h->kind != 0xD)) return {};
        const std::uint64_t items = h->length;
        const std::uint64_t total = h->kind == 0xD ? items * 2 : items;
        if (items > s.size() || total * refSize > s.size()) return {};
        return {h->contents, total, h->kind == 0xD ? items : 0};
    };
    const auto child = [&](const References& refs, std::uint64_t k) {
        return bigEndian(refs.first + k * refSize, refSize);
    };

    std::vector<int> deepestVisit(*count, -1);
    std::vector<std::pair<std::uint64_t, int>> stack{{*top, 0}};
    while (!stack.empty()) {
        const auto [object, depth] = stack.back();
        stack.pop_back();
        if (depth > limit) return tooDeep;
        if (object >= *count || deepestVisit[object] >= depth) continue;
        deepestVisit[object] = depth;
        const References refs = references(object);
        for (std::uint64_t k = 0; k < refs.total; ++k) {
            const auto item = child(refs, k);
            if (!item) continue;
            if (k < refs.keys && utf16WithZero(*item))
                return "a dictionary key holds a zero character";
            stack.emplace_back(*item, depth + 1);
        }
    }

    // libplist copies an object for every reference to it, so the tree has
    // one value per path from the top: arrays that name the same child twice,
    // 40 levels deep, make 2^40. Each object's count is taken once (the walk
    // above found no cycle), and counting stops past the cap.
    const std::string tooMany =
        "more than " + std::to_string(kMaxValues) + " values once its shared objects are copied";
    struct Frame {
        std::uint64_t object;
        References refs;
        std::uint64_t next;
        std::uint64_t values;
    };
    std::vector<std::uint64_t> valuesOf(*count, 0);  // 0: not counted yet
    std::vector<Frame> frames{{*top, references(*top), 0, 1}};
    while (!frames.empty()) {
        Frame& frame = frames.back();
        if (frame.next < frame.refs.total) {
            const auto item = child(frame.refs, frame.next++);
            if (!item || *item >= *count) continue;
            if (valuesOf[*item] != 0) {
                frame.values += valuesOf[*item];
            } else if (frames.size() > static_cast<std::size_t>(limit) + 1) {
                return tooDeep;
            } else {
                frames.push_back({*item, references(*item), 0, 1});
                continue;
            }
        } else {
            const Frame done = frame;
            frames.pop_back();
            valuesOf[done.object] = done.values;
            if (frames.empty()) break;
            frames.back().values += done.values;
        }
        if (frames.back().values > kMaxValues) return tooMany;
    }
    return {};
}

// Where a value lies, as a chain of the steps from the top, spelled out only
// for a message: a large array would otherwise build one string per item.
struct Location {
    const Location* parent = nullptr;  // nothing: the top level
    std::uint32_t index = 0;
    const std::string* key = nullptr;  // an item of a dictionary, else of an array

    // The path as messages show it, such as "Cards"[2]."Slot".
    std::string text() const {
        if (!parent) return {};
        std::string where = parent->text();
        if (key) {
            if (!where.empty()) where += '.';
            where += '"';
            where += *key;
            where += '"';
        } else {
            where += "[" + std::to_string(index) + "]";
        }
        return where;
    }
};

std::string describeLocation(const Location& at) { return describeLocation(at.text()); }

std::optional<Value> fromNode(plist_t node, const Location& where, int depth, std::string* error) {
    if (depth > kMaxDepth) {
        setError(error, "nested more than " + std::to_string(kMaxDepth) + " levels deep");
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
            auto item = fromNode(plist_array_get_item(node, i), Location{&where, i, nullptr},
                                 depth + 1, error);
            if (!item) return std::nullopt;
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
            if (!rawKey) break;
            std::string key(rawKey);
            std::free(rawKey);
            if (!child) {
                std::string message = "the key \"" + key + "\" ";
                message += describeLocation(where);
                message += " has no value";
                setError(error, std::move(message));
                std::free(iter);
                return std::nullopt;
            }
            auto item = fromNode(child, Location{&where, 0, &key}, depth + 1, error);
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

plist_t toNode(const Value& value) {
    struct Visitor {
        plist_t operator()(bool b) const { return plist_new_bool(b ? 1 : 0); }
        plist_t operator()(const Number& n) const {
            if (n.isReal()) return plist_new_real(n.doubleValue());
            return plist_new_uint(static_cast<std::uint64_t>(n.int64Value()));
        }
        plist_t operator()(const std::string& s) const {
            // libplist strings end at the first zero byte.
            return plist_new_string(s.c_str());
        }
        plist_t operator()(const Data& d) const {
            return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
        }
        plist_t operator()(const Array& a) const {
            plist_t node = plist_new_array();
            for (const Value& item : a) plist_array_append_item(node, toNode(item));
            return node;
        }
        plist_t operator()(const Dictionary& d) const {
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

std::optional<Value> parsePropertyList(std::string_view bytes, std::string* error) {
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
    const std::string problem =
        binary ? binaryObjectsProblem(bytes, kMaxDepth)
        : xmlNestingWithin(bytes, kMaxDepth)
            ? std::string()
            : "nested more than " + std::to_string(kMaxDepth) + " levels deep";
    if (!problem.empty()) {
        setError(error, problem);
        return std::nullopt;
    }
    plist_t raw = nullptr;
    if (binary)
        plist_from_bin(bytes.data(), length, &raw);
    else
        plist_from_xml(bytes.data(), length, &raw);
    PlistPtr root(raw);
    if (!root) {
        setError(error,
                 binary ? "not a valid binary property list" : "not a valid XML property list");
        return std::nullopt;
    }
    return fromNode(root.get(), Location{}, 0, error);
}

std::optional<Value> readPropertyListFile(const std::string& path, std::string* error,
                                          std::size_t maxBytes) {
    const std::optional<std::string> bytes =
        host::readRegularFile(path, host::Links::Follow, maxBytes, error);
    if (!bytes) return std::nullopt;
    std::string why;
    auto value = parsePropertyList(*bytes, &why);
    if (!value) setError(error, path + ": " + why);
    return value;
}

std::string toXMLPropertyList(const Value& value) {
    PlistPtr root(toNode(value));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string text(xml ? xml : "", xml ? length : 0);
    if (xml) plist_to_xml_free(xml);
    return text;
}

bool writePropertyListFileAtomically(const std::string& path, const Value& value,
                                     std::string* error) {
    return host::writeFileAtomically(path, toXMLPropertyList(value), error);
}

}  // namespace cf
