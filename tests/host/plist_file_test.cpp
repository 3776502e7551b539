// Property-list files: what is written, what comes back, and refusing bad files.
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>

#include "support/SimMacFixture.h"
#include "host/SimMac.h"

using namespace cf;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

std::optional<Value> roundTrip(const Value& v) {
    std::string error;
    auto back = parsePropertyList(toXMLPropertyList(v), &error);
    EXPECT_TRUE(back) << error;
    return back;
}

// The same document as a binary property list, converted by libplist.
std::string toBinary(const Value& v) {
    const std::string xml = toXMLPropertyList(v);
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    EXPECT_NE(node, nullptr);
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    std::string bytes(bin, length);
    plist_to_bin_free(bin);
    plist_free(node);
    return bytes;
}

struct ScalarCase {
    const char* name;
    Value written;
    const char* xmlElement;  // how it must appear in the file
    std::optional<CFNumberType> readType;
};

class Scalars : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(Scalars, SurviveAnXMLRoundTrip) {
    const ScalarCase& c = GetParam();
    Dictionary d;
    d.set("v", c.written);
    const std::string xml = toXMLPropertyList(d);
    EXPECT_CONTAINS(xml, c.xmlElement);

    auto back = roundTrip(d);
    ASSERT_TRUE(back && back->dictionary());
    const Value* v = back->dictionary()->get("v");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(*v, c.written);
    if (c.readType) {
        ASSERT_NE(v->number(), nullptr);
        EXPECT_EQ(v->number()->type(), *c.readType);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryType, Scalars,
    ::testing::Values(ScalarCase{"true", Value(true), "<true/>", std::nullopt},
                      ScalarCase{"false", Value(false), "<false/>", std::nullopt},
                      ScalarCase{"char", CFNumberCreate(kCFNumberCharType, 200),
                                 "<integer>-56</integer>", kCFNumberIntType},
                      ScalarCase{"int", CFNumberCreate(kCFNumberIntType, -123456),
                                 "<integer>-123456</integer>", kCFNumberIntType},
                      ScalarCase{"intBit31", CFNumberCreate(kCFNumberIntType, 0x80000000LL),
                                 "<integer>-2147483648</integer>", kCFNumberIntType},
                      ScalarCase{"uint32Bit31", CFNumberCreate(kCFNumberSInt64Type, 0x80000000LL),
                                 "<integer>2147483648</integer>", kCFNumberSInt64Type},
                      ScalarCase{"uint32Max", CFNumberCreate(kCFNumberSInt64Type, 0xFFFFFFFFLL),
                                 "<integer>4294967295</integer>", kCFNumberSInt64Type},
                      ScalarCase{"sint64", CFNumberCreate(kCFNumberSInt64Type, -0x1'0000'0000LL),
                                 "<integer>-4294967296</integer>", kCFNumberSInt64Type},
                      ScalarCase{"wholeFloat", CFNumberCreateReal(kCFNumberFloatType, 378.0),
                                 "<real>378</real>", kCFNumberDoubleType},
                      ScalarCase{"float", CFNumberCreateReal(kCFNumberFloatType, 412.3), "<real>",
                                 kCFNumberDoubleType},
                      ScalarCase{"double", CFNumberCreateReal(kCFNumberDoubleType, 0.1),
                                 "<real>0.1", kCFNumberDoubleType},
                      ScalarCase{"string", Value("a < b & \"c\" \xC3\xA9"),
                                 "<string>a &lt; b &amp; \"c\" \xC3\xA9</string>", std::nullopt},
                      ScalarCase{"emptyString", Value(""), "<string></string>", std::nullopt},
                      ScalarCase{"data", Value(Data{0x00, 0xFF, 0x10, 0x02}), "<data>",
                                 std::nullopt},
                      ScalarCase{"emptyData", Value(Data{}), "<data>", std::nullopt}),
    [](const ::testing::TestParamInfo<ScalarCase>& info) { return std::string(info.param.name); });

TEST(PropertyLists, UnsignedWordWithBit31KeepsItsBitsWhicheverWayItWasStored) {
    for (CFNumberType type : {kCFNumberIntType, kCFNumberSInt64Type}) {
        auto back = roundTrip(CFNumberCreate(type, 0x8001C90DLL));
        ASSERT_TRUE(back && back->number());
        EXPECT_EQ(back->number()->uint32Value(), 0x8001C90Du);
    }
}

TEST(PropertyLists, FloatComesBackAsTheSameFloat) {
    for (float f : {0.1f, 1.1f, 324.0f, 399.375f, 1e-20f, 3.4e38f}) {
        auto back = roundTrip(CFNumberCreateReal(kCFNumberFloatType, f));
        ASSERT_TRUE(back && back->number());
        EXPECT_TRUE(back->number()->isReal());
        EXPECT_EQ(back->number()->floatValue(), f);
    }
}

Value nestedDocument() {
    Dictionary card;
    card.set("Slot", Value("SLOT-1"));
    card.set("Model", Value("GeForce 6800"));
    card.set("VPU", CFNumberCreateReal(kCFNumberFloatType, 350.5));
    card.set("Stock GPLL", CFNumberCreate(kCFNumberSInt64Type, 0x80012345LL));
    Dictionary inner;
    inner.set("z", Value(Array{Value(true), Value(Data{1, 2})}));
    inner.set("a", Value(Dictionary{}));
    card.set("Nested", Value(inner));
    Dictionary top;
    top.set("Set at Startup", Value(true));
    top.set("Cards", Value(Array{Value(card), Value(Array{})}));
    top.set("Another", CFNumberCreate(kCFNumberCharType, 3));
    return Value(top);
}

TEST(PropertyLists, NestedDictionariesKeepTheirKeyOrder) {
    const Value doc = nestedDocument();
    auto back = roundTrip(doc);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, doc);  // Dictionary equality includes the order of keys

    // Many keys, in an order far from sorted.
    Dictionary big;
    for (int i = 0; i < 700; ++i) {
        char key[16];  // (a string sum here trips GCC 12's -O3 bounds warnings)
        std::snprintf(key, sizeof key, "k%d", (i * 389) % 700);
        big.set(key, CFNumberCreate(kCFNumberIntType, i));
    }
    auto bigBack = roundTrip(Value(big));
    ASSERT_TRUE(bigBack && bigBack->dictionary());
    EXPECT_EQ(*bigBack->dictionary(), big);
}

TEST(PropertyLists, KeyOrderOfAFileIsKept) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>b</key><integer>1</integer><key>c</key><string>x</string><key>a</key><false/>"
        "</dict></plist>";
    std::string error;
    auto v = parsePropertyList(xml, &error);
    ASSERT_TRUE(v && v->dictionary()) << error;
    const auto& items = v->dictionary()->items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].first, "b");
    EXPECT_EQ(items[1].first, "c");
    EXPECT_EQ(items[2].first, "a");
}

TEST(PropertyLists, BinaryPropertyListsAreRead) {
    const Value doc = nestedDocument();
    const std::string bin = toBinary(doc);
    ASSERT_EQ(bin.rfind("bplist00", 0), 0u);
    std::string error;
    auto v = parsePropertyList(bin, &error);
    ASSERT_TRUE(v) << error;
    EXPECT_EQ(*v, doc);
    const Value* gpll =
        v->dictionary()->get("Cards")->array()->at(0).dictionary()->get("Stock GPLL");
    ASSERT_TRUE(gpll && gpll->number());
    EXPECT_EQ(gpll->number()->uint32Value(), 0x80012345u);
}

TEST(PropertyLists, BadInputIsRefusedWithAMessage) {
    const Value doc = nestedDocument();
    const std::string bin = toBinary(doc);
    const std::string xml = toXMLPropertyList(doc);
    std::string deep;
    for (int i = 0; i < 2000; ++i) deep += "<array>";
    for (int i = 0; i < 2000; ++i) deep += "</array>";

    const auto check = [](const char* name, const std::string& bytes) {
        std::string error;
        EXPECT_FALSE(parsePropertyList(bytes, &error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    };
    check("empty", "");
    check("text", "hello, world");
    check("unclosed dict", "<plist><dict><key>a</key><true/></plist>");
    check("value of no known type", "<plist><dict><key>a</key><float>1</float></dict></plist>");
    check("truncated XML", xml.substr(0, xml.size() / 2));
    check("truncated binary", bin.substr(0, bin.size() / 2));
    check("binary header only", "bplist00");
    check("binary with garbage", std::string("bplist00").append(64, '\xFF'));
    check("date", "<plist><dict><key>When</key><date>2008-01-01T00:00:00Z</date></dict></plist>");
    check("too deep", "<plist>" + deep + "</plist>");
}

TEST(PropertyLists, ARefusedValueIsNamedByWhereItLies) {
    const std::string date = "<date>2008-01-01T00:00:00Z</date>", at = "a date value at ";
    const std::pair<std::string, std::string> cases[] = {
        {date, at + "the top level"},
        {"<array><true/><true/>" + date + "</array>", at + "[2]"},
        {"<dict><key>Cards</key><array><true/><dict><key>When</key>" + date +
             "</dict></array></dict>",
         at + "\"Cards\"[1].\"When\""},
    };
    for (const auto& [xml, where] : cases) {
        std::string error;
        EXPECT_FALSE(parsePropertyList("<plist>" + xml + "</plist>", &error)) << xml;
        EXPECT_EQ(error, where + " is not supported") << xml;
    }
}

// Big-endian integers of `size` bytes, as binary property lists hold them.
std::string bigEndian(std::uint64_t value, int size) {
    std::string out;
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
    return out;
}

// A binary property list of `objects` (each already encoded, references of
// `size` bytes), the first one the top object.
std::string binaryPlist(const std::vector<std::string>& objects, int size) {
    std::string out = "bplist00", table;
    for (const std::string& object : objects) {
        table += bigEndian(out.size(), size);
        out += object;
    }
    const std::size_t tableAt = out.size();
    return out + table + std::string(6, '\0') + static_cast<char>(size) + static_cast<char>(size) +
           bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(tableAt, 8);
}

// Arrays nested `depth` deep around a true, each array referring to the
// next object; with `cycle` the innermost array refers back to the outermost.
std::string nestedBinaryArrays(std::uint32_t depth, bool cycle = false) {
    std::vector<std::string> objects;
    for (std::uint32_t i = 0; i < depth; ++i)  // arrays of one
        objects.push_back('\xA1' + bigEndian(cycle && i + 1 == depth ? 0 : i + 1, 4));
    objects.emplace_back("\x09");  // true
    return binaryPlist(objects, 4);
}

TEST(PropertyLists, NestingBeyondTheLimitIsRefusedBeforeItCanExhaustTheStack) {
    std::string error;
    auto shallow = parsePropertyList(nestedBinaryArrays(10), &error);
    ASSERT_TRUE(shallow) << error;
    const Value* v = &*shallow;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(v->array() && v->array()->size() == 1u);
        v = &v->array()->at(0);
    }
    EXPECT_EQ(*v, Value(true));

    for (const std::string& bytes : {nestedBinaryArrays(1'000'000), nestedBinaryArrays(5, true)}) {
        error.clear();
        EXPECT_FALSE(parsePropertyList(bytes, &error));
        EXPECT_FALSE(error.empty());
    }

    std::string xml = "<plist>";
    for (int i = 0; i < 1'000'000; ++i) xml += "<dict><key>k</key>";
    EXPECT_FALSE(parsePropertyList(xml + "</plist>", &error));
    EXPECT_CONTAINS(error, "levels deep");
}

// `depth` arrays around a true, each array naming the next object twice: a
// tree of 2^(depth+1) - 1 values from a file of a few hundred bytes.
// One-byte offsets and references; depth up to 60.
std::string sharedBinaryArrays(std::uint32_t depth) {
    std::vector<std::string> objects;
    for (std::uint32_t i = 0; i < depth; ++i)  // arrays of two
        objects.push_back(std::string("\xA2") + bigEndian(i + 1, 1) + bigEndian(i + 1, 1));
    objects.emplace_back("\x09");  // true
    return binaryPlist(objects, 1);
}

TEST(PropertyLists, SharedObjectsThatWouldMakeMoreThanAMillionValuesAreRefused) {
    std::string error;
    // 2^11 - 1 values: read, every reference a copy of its own.
    auto small = parsePropertyList(sharedBinaryArrays(10), &error);
    ASSERT_TRUE(small) << error;
    const Value* v = &*small;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(v->array() && v->array()->size() == 2u);
        EXPECT_EQ(v->array()->at(0), v->array()->at(1));
        v = &v->array()->at(1);
    }
    EXPECT_EQ(*v, Value(true));

    // 2^20 - 1 values, just past the cap, and 2^41 - 1 from 202 bytes.
    for (std::uint32_t depth : {19u, 40u}) {
        error.clear();
        const std::string bytes = sharedBinaryArrays(depth);
        EXPECT_FALSE(parsePropertyList(bytes, &error)) << depth;
        EXPECT_CONTAINS(error, "more than 1000000 values");
    }
}

// One dictionary whose only key is the UTF-16 string `utf16` (big-endian
// code units) and whose value is true.
std::string binaryDictWithUTF16Key(const std::u16string& utf16) {
    std::string key(1, static_cast<char>(0x60 | utf16.size()));
    for (char16_t unit : utf16) key += bigEndian(unit, 2);
    // A dictionary of one: key object 1, value object 2 (true).
    return binaryPlist({"\xD1\x01\x02", key, "\x09"}, 1);
}

TEST(PropertyLists, BinaryKeyWithAZeroCharacterIsRefusedNotFatal) {
    // libplist aborts the process when it iterates such a key; the reader
    // refuses the file before libplist sees it.
    std::string error;
    auto fine = parsePropertyList(binaryDictWithUTF16Key(u"\u00E9!"), &error);
    ASSERT_TRUE(fine && fine->dictionary()) << error;
    EXPECT_TRUE(fine->dictionary()->contains("\xC3\xA9!"));

    for (const std::u16string& key : {std::u16string(u"\u00E9\0", 2), std::u16string(u"\0", 1),
                                      std::u16string(u"a\0b\u00E9", 4)}) {
        error.clear();
        EXPECT_FALSE(parsePropertyList(binaryDictWithUTF16Key(key), &error));
        EXPECT_CONTAINS(error, "zero character");
    }
}

TEST(SimMacPaths, FollowSimmacRootOnEveryCallAndDefaultUnderHome) {
    testsupport::TempSimMac scratch;
    EXPECT_EQ(host::simmacRoot(), scratch.root());
    EXPECT_EQ(host::machinePlistPath(), scratch.root() / "machine.plist");
    EXPECT_EQ(host::preferencesDir(), scratch.root() / "Library" / "Preferences");
    EXPECT_EQ(host::systemLogPath(), scratch.root() / "Library" / "Logs" / "system.log");
    EXPECT_EQ(host::driverLogPath(), scratch.root() / "Library" / "Logs" / "driver.jsonl");
    EXPECT_EQ(host::preferencePanesDir(), scratch.root() / "Library" / "PreferencePanes");

    const char* home = std::getenv("HOME");
    const std::string oldHome = home ? home : "";
    setenv("HOME", "/home/someone", 1);
    for (bool empty : {false, true}) {
        if (empty)
            setenv("SIMMAC_ROOT", "", 1);
        else
            unsetenv("SIMMAC_ROOT");
        EXPECT_EQ(host::simmacRoot(),
                  std::filesystem::path("/home/someone/.local/share/tarnwick/simmac"));
    }
    setenv("HOME", oldHome.c_str(), 1);
    setenv("SIMMAC_ROOT", scratch.root().c_str(), 1);
    EXPECT_EQ(host::simmacRoot(), scratch.root());
}

TEST(PropertyListFiles, WriteAtomicallyThenReadBack) {
    testsupport::TempSimMac scratch;
    const auto path = scratch.root() / "new" / "folder" / "doc.plist";
    std::string error;
    ASSERT_TRUE(writePropertyListFileAtomically(path.string(), nestedDocument(), &error)) << error;
    auto v = readPropertyListFile(path.string(), &error);
    ASSERT_TRUE(v) << error;
    EXPECT_EQ(*v, nestedDocument());
    EXPECT_EQ(readFile(path).rfind("<?xml", 0), 0u);

    // Replacing keeps the file's permissions and leaves no temporary file.
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    ASSERT_TRUE(writePropertyListFileAtomically(path.string(), Value(Array{Value("x")}), &error))
        << error;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path.parent_path()), {}), 1);
    EXPECT_EQ(*readPropertyListFile(path.string(), &error), Value(Array{Value("x")}));
}

TEST(PropertyListFiles, FailedWriteLeavesTheOldFile) {
    testsupport::TempSimMac scratch;
    // The target is a folder that is not empty: rename() cannot replace it.
    const auto path = scratch.root() / "occupied.plist";
    writeFile(path / "inside", "keep me");
    std::string error;
    EXPECT_FALSE(writePropertyListFileAtomically(path.string(), Value(true), &error));
    EXPECT_CONTAINS(error, "occupied.plist");
    EXPECT_EQ(readFile(path / "inside"), "keep me");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.root()), {}),
              1);  // no temporary file left behind
}

TEST(PropertyListFiles, MissingAndBrokenFilesNameThePath) {
    testsupport::TempSimMac scratch;
    const auto missing = scratch.root() / "missing.plist";
    std::string error;
    EXPECT_FALSE(readPropertyListFile(missing.string(), &error));
    EXPECT_CONTAINS(error, missing.string());

    const auto broken = scratch.root() / "broken.plist";
    writeFile(broken, "<plist><dict>");
    error.clear();
    EXPECT_FALSE(readPropertyListFile(broken.string(), &error));
    EXPECT_CONTAINS(error, broken.string());
}

}  // namespace
