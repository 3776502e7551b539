// The .strings format: entries, comments, escapes, encodings, and malformed text.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <string>
#include <utility>
#include <vector>

#include "host/CoreFoundation.h"
#include "host/Foundation.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries entriesOf(const cf::Dictionary& d) {
    Entries out;
    for (const auto& [key, value] : d.items())
        out.emplace_back(key, value.string() ? *value.string() : "<not a string>");
    return out;
}

std::string utf16(const std::u16string& text, bool bigEndian, bool bom) {
    std::string out;
    auto put = [&](char16_t u) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    };
    if (bom) put(0xFEFF);
    for (char16_t u : text) put(u);
    return out;
}

struct GoodCase {
    const char* name;
    std::string text;
    Entries expected;
};

class WellFormed : public ::testing::TestWithParam<GoodCase> {};

TEST_P(WellFormed, Parses) {
    std::string error;
    auto d = host::parseStringsFile(GetParam().text, &error);
    ASSERT_TRUE(d) << error;
    EXPECT_EQ(entriesOf(*d), GetParam().expected);
}

const std::u16string kUTF16Text =
    u"/* Pane */\n\"CONFIG_FAILED\" = \"\u00C9chec: \\\"x\\\"\";\n\"EMOJI\" = \"\U0001F600\";\n";
const Entries kUTF16Entries{{"CONFIG_FAILED", "\303\211chec: \"x\""},
                            {"EMOJI", "\xF0\x9F\x98\x80"}};

GoodCase good(const char* name, std::string text, Entries expected) {
    return {name, std::move(text), std::move(expected)};
}

INSTANTIATE_TEST_SUITE_P(
    Texts, WellFormed,
    ::testing::Values(
        good("empty", "", {}), good("onlyComments", "/* nothing */\n// here\n", {}),
        good("plain", "\"NO_CARD_MESSAGE\" = \"No card found\";\n\"B\"=\"2\";",
             {{"NO_CARD_MESSAGE", "No card found"}, {"B", "2"}}),
        good("commentsEverywhere",
             "/* a\n multi-line comment */ \"K\" /* c */ = // line\n \"V\" /**/ ; // after\n",
             {{"K", "V"}}),
        good("commentMarkersInsideStrings", "\"a//b\" = \"/* not a comment */\";",
             {{"a//b", "/* not a comment */"}}),
        good("escapes", R"("E" = "q\" b\\ n\n t\t r\r end";)", {{"E", "q\" b\\ n\n t\t r\r end"}}),
        good("unicodeEscapes", R"("U" = "\U00E9\u20AC\UD83D\UDE00";)",
             {{"U", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}}),
        good("octalAndOtherEscapes", R"("O" = "\101\'\?";)", {{"O", "A'?"}}),
        good("unquoted", "KEY_1 = value.2-x;\n\"q\" = bare;",
             {{"KEY_1", "value.2-x"}, {"q", "bare"}}),
        good("keyAlone", "\"Same\";", {{"Same", "Same"}}),
        good("newlineInsideValue", "\"M\" = \"two\nlines\";", {{"M", "two\nlines"}}),
        good("laterDuplicateWins", "\"A\" = \"1\"; \"B\" = \"2\"; \"A\" = \"3\";",
             {{"A", "3"}, {"B", "2"}}),
        good("utf8WithBOM", "\xEF\xBB\xBF\"K\" = \"\xC3\xA9t\xC3\xA9\";",
             {{"K", "\xC3\xA9t\xC3\xA9"}}),
        good("utf16LittleEndianBOM", utf16(kUTF16Text, false, true), kUTF16Entries),
        good("utf16BigEndianBOM", utf16(kUTF16Text, true, true), kUTF16Entries),
        good("utf16LittleEndianNoBOM", utf16(kUTF16Text, false, false), kUTF16Entries),
        good("xmlPropertyList",
             "\n<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
             "<key>Z</key><string>last &amp; "
             "first</string><key>A</key><string></string></dict></plist>",
             {{"Z", "last & first"}, {"A", ""}})),
    [](const ::testing::TestParamInfo<GoodCase>& info) { return std::string(info.param.name); });

struct BadCase {
    const char* name;
    std::string text;
    const char* messagePart;
};

class Malformed : public ::testing::TestWithParam<BadCase> {};

TEST_P(Malformed, GivesNothingAndAMessage) {
    std::string error;
    auto d = host::parseStringsFile(GetParam().text, &error);
    EXPECT_FALSE(d);
    EXPECT_CONTAINS(error, GetParam().messagePart);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Malformed,
    ::testing::Values(
        BadCase{"missingSemicolon", "\"A\" = \"1\";\n\"B\" = \"2\"\n\"C\" = \"3\";", "line 3"},
        BadCase{"missingSemicolonAtEnd", "\"A\" = \"1\"", "';'"},
        BadCase{"missingEquals", "\"A\" \"1\";", "'='"},
        BadCase{"missingValue", "\"A\" = ;", "value"},
        BadCase{"unterminatedString", "\"A\" = \"open;\n", "never closed"},
        BadCase{"unterminatedComment", "\"A\" = \"1\"; /* open", "never closed"},
        BadCase{"strayCharacter", "\"A\" = \"1\"; }", "'}'"},
        BadCase{"badUnicodeEscape", R"("A" = "\U12G4";)", "hex"},
        BadCase{"unpairedSurrogateEscape", R"("A" = "\UD83D";)", "surrogate"},
        BadCase{"invalidUTF8", "\"A\" = \"\xC3\x28\";", "UTF-8"},
        BadCase{"oddUTF16", std::string("\xFF\xFE\x41", 3), "odd"},
        BadCase{"unpairedSurrogateUTF16", utf16(u"\"A\" = \"\xD83D\";", false, true), "surrogate"},
        BadCase{"propertyListWithANumber",
                "<plist><dict><key>A</key><integer>1</integer></dict></plist>", "not a string"},
        BadCase{"propertyListArray", "<plist><array><string>A</string></array></plist>",
                "not a dictionary"},
        BadCase{"brokenPropertyList", "<plist><dict><key>A</key><string>x</dict>", "property list"},
        BadCase{"brokenBinaryPropertyList", std::string("bplist00\x01\x02", 10), "binary"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

TEST(StringsFile, BinaryPropertyListTablesAreRead) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "CONFIG_FAILED", plist_new_string("failed"));
    plist_dict_set_item(root, "BUILT-IN_CARD", plist_new_string("built-in"));
    char* bin = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    const std::string bytes(bin, length);
    plist_to_bin_free(bin);
    plist_free(root);

    std::string error;
    auto d = host::parseStringsFile(bytes, &error);
    ASSERT_TRUE(d) << error;
    EXPECT_EQ(entriesOf(*d), (Entries{{"CONFIG_FAILED", "failed"}, {"BUILT-IN_CARD", "built-in"}}));
}

TEST(StringsFile, ErrorPointerMayBeNull) {
    EXPECT_FALSE(host::parseStringsFile("\"A\" = ", nullptr));
    EXPECT_TRUE(host::parseStringsFile("\"A\" = \"1\";", nullptr));
}

}  // namespace
