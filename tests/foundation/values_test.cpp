// Values and text: the variant type, JSON documents, URL and text helpers, dates.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "cf/CFText.h"
#include "cf/CMVariant.h"
#include "cf/COJson.h"

namespace {

using Type = CMVariant::ValueType;
using namespace std::literals;

// Each kind, and what it converts to: text parsed (blanks allowed around it), doubles truncated
// and clamped to 32 bits, containers and non-numbers giving zero or "".
TEST(VariantTest, KindsAndConversions) {
    const std::tuple<CMVariant, Type, int32_t, double, std::string> cases[] = {
        {CMVariant(), Type::Null, 0, 0.0, ""},
        {CMVariant(static_cast<const char*>(nullptr)), Type::Null, 0, 0.0, ""},
        {CMVariant(" -17\n"), Type::String, -17, -17.0, " -17\n"},
        {CMVariant(std::string("2.75")), Type::String, 2, 2.75, "2.75"},
        {CMVariant(std::string_view("1e3")), Type::String, 1000, 1000.0, "1e3"},
        {CMVariant("1e999"), Type::String, INT32_MAX, HUGE_VAL, "1e999"},
        {CMVariant("12abc"), Type::String, 0, 0.0, "12abc"},
        {CMVariant(-12), Type::Int, -12, -12.0, "-12"},
        {CMVariant(-3.9), Type::Double, -3, -3.9, "-3.9"},
        {CMVariant(0.1), Type::Double, 0, 0.1, "0.1"},
        {CMVariant(-1e12), Type::Double, INT32_MIN, -1e12, "-1e+12"},
        {CMVariant(std::nan("")), Type::Double, 0, std::nan(""), "nan"},
        {CMVariant(CMVariantMap{{"a", 1}}), Type::Map, 0, 0.0, ""},
        {CMVariant(CMVariantList{5}), Type::List, 0, 0.0, ""}};
    for (const auto& [value, kind, asInt, asDouble, asString] : cases) {
        SCOPED_TRACE(value.stringValue());
        EXPECT_EQ(value.getValueType(), kind);
        EXPECT_EQ(value.intValue(), asInt);
        EXPECT_THAT(value.doubleValue(), ::testing::NanSensitiveDoubleEq(asDouble));
        EXPECT_EQ(value.stringValue(), asString);
    }
    EXPECT_EQ(std::stod(CMVariant(1.0 / 3.0).stringValue()), 1.0 / 3.0);  // doubles read back exactly
}

// Container access never changes a value through a const view; equality is deep and kind-sensitive.
TEST(VariantTest, ContainersAndEquality) {
    const CMVariant constInt(5);
    EXPECT_TRUE(constInt.mapValue().empty() && constInt.listRef().empty() && constInt == CMVariant(5));
    CMVariant value("text");
    value.listRef().push_back("two");
    EXPECT_EQ(value, CMVariant(CMVariantList{"two"}));
    const CMVariant nested(CMVariantMap{{"l", CMVariantList{1, "a", CMVariantMap{{"x", 0.5}}}}});
    EXPECT_NE(nested, CMVariant(CMVariantMap{{"l", CMVariantList{1, "a", CMVariantMap{{"x", 0.25}}}}}));
    EXPECT_FALSE(CMVariant(1) == CMVariant(1.0) || CMVariant("1") == CMVariant(1));
}

#if defined(__SANITIZE_ADDRESS__)
// Sanitized frames are several times larger: a fifth of the depth overflows a recursive walk as
// surely, and keeps the slower build's run short.
constexpr int kDeepest = 200000;
#else
constexpr int kDeepest = 1000000;
#endif

/// A value nested depth levels deep, lists and single-member maps taking turns, around leaf.
CMVariant nest(int depth, CMVariant leaf) {
    for (int level = 0; level < depth; ++level) {
        if (level % 2 == 0) {
            CMVariantList list;
            list.push_back(std::move(leaf));
            leaf = CMVariant(std::move(list));
        } else {
            CMVariantMap map;
            map.emplace("k", std::move(leaf));
            leaf = CMVariant(std::move(map));
        }
    }
    return leaf;
}

// Nesting far deeper than the call stack could follow: copying, comparing, replacing and destroying
// walk the tree with work lists of their own.
TEST(VariantTest, DeepNestingNeedsNoCallStack) {
    CMVariant deep = nest(kDeepest, "leaf");
    CMVariant copy(deep);
    EXPECT_EQ(copy, deep);
    EXPECT_NE(copy, nest(kDeepest, "other"));  // differs at the bottom only
    copy = CMVariant(3);                       // drops the old tree
    deep.listRef().push_back(1);               // a map turned into a list drops its tree
    EXPECT_EQ(deep, CMVariant(CMVariantList{1}));
}

// Members keep the order they were added or parsed in. Handles taken earlier stay valid while
// their containers grow; handles into a replaced container become absent and ignore writes.
TEST(JsonTest, MemberOrderAndHandles) {
    COJson body;
    body.addKeyValue("model").setString("m1");
    COJsonValue messages = body.addKeyValue("messages");
    messages.makeArray();
    COJsonValue first = messages.addArrayItem();
    COJsonValue role = first.addKeyValue("role");
    for (int i = 0; i < 40; ++i) messages.addArrayItem().setInt(i);
    for (int i = 0; i < 40; ++i) first.addKeyValue(std::string("k").append(std::to_string(i))).setNull();
    role.setString("user");
    body.addKeyValue("a").setDouble(std::nan(""));
    const std::string text = body.obtainJsonString();
    EXPECT_EQ(text.rfind(R"({"model":"m1","messages":[{"role":"user","k0":null,)", 0), 0u) << text;
    EXPECT_NE(text.find(R"(,39],"a":null})"), std::string::npos) << text;
    EXPECT_EQ(COJson(R"({"z":1,"a":{"y":[2],"b":3}})").obtainJsonString(), R"({"z":1,"a":{"y":[2],"b":3}})");

    COJsonValue field = first.addKeyValue("f");
    messages.setString("gone");
    EXPECT_EQ(first.obtainType(), COJsonTypeNone);
    field.setInt(1);
    EXPECT_EQ(body.obtainJsonString(), R"({"model":"m1","messages":"gone","a":null})");
}

TEST(JsonTest, InvalidTextGivesAnInvalidDocument) {
    const std::string open(100000, '[');
    for (std::string_view text : {""sv, "{"sv, R"({"a":1} x)"sv, "[1,]"sv, "nul"sv, R"("abc)"sv, "{}\0{}"sv,
                                  "1e400"sv, std::string_view(open)}) {
        COJson json(text);
        EXPECT_FALSE(json.getIsValidJson()) << text.substr(0, 9);
        EXPECT_EQ(json.obtainMember("a").obtainType(), COJsonTypeNone);
    }
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_EQ(COJson(deep).obtainJsonString(), deep);
}

// Kinds and values of parsed members; integers clamp to the width asked for, mismatched or
// absent lookups answer empty, and strings keep every byte.
TEST(JsonTest, KindsAndValues) {
    COJson json(R"({"o":{},"a":[10,"x"],"s":"t","i":-5,"big":18446744073709551615,"neg":-9223372036854775808,
                    "i32":4294967296,"d":1.5,"t":true,"n":null,"a\u0000b":"x\u0000y","u":"\u00e9 \u2603 😀"})");
    const std::pair<const char*, int> kinds[] = {{"o", COJsonTypeObject}, {"a", COJsonTypeArray},
                                                 {"s", COJsonTypeString}, {"i", COJsonTypeInteger},
                                                 {"d", COJsonTypeDouble}, {"t", COJsonTypeBoolean},
                                                 {"n", COJsonTypeNull},   {"missing", COJsonTypeNone}};
    for (const auto& [key, type] : kinds) EXPECT_EQ(json.obtainMember(key).obtainType(), type) << key;
    const auto member = [&](const char* key) { return json.obtainMember(key); };
    const auto ints = [&](const char* key) {
        return std::tuple(member(key).obtainInt(), member(key).obtainInt64());
    };
    EXPECT_EQ(ints("big"), std::tuple(INT32_MAX, INT64_MAX));
    EXPECT_EQ(ints("neg"), std::tuple(INT32_MIN, INT64_MIN));
    EXPECT_EQ(ints("i32"), std::tuple(INT32_MAX, 4294967296));
    EXPECT_EQ(ints("d"), std::tuple(0, 0));  // not an integer
    EXPECT_DOUBLE_EQ(member("d").obtainDouble() + member("i").obtainDouble(), -3.5);
    EXPECT_EQ(member("a").obtainArrayItem(1).obtainString(), "x");
    EXPECT_FALSE(member("a").obtainArrayItem(2) || member("a").obtainArrayItem(-1));
    EXPECT_EQ(member("nope").obtainMember("deeper").obtainArrayItem(3).obtainString(), "");
    EXPECT_EQ(json.obtainMember("a\0b"sv).obtainStringView(), "x\0y"sv);
    EXPECT_EQ(member("u").obtainString(), "\xC3\xA9 \xE2\x98\x83 \xF0\x9F\x98\x80");
    EXPECT_NE(json.obtainJsonString().find(R"("a\u0000b":"x\u0000y")"), std::string::npos);
}

// What goes out is valid UTF-8 whatever a string or key holds: each maximal ill-formed part (a
// stray trailing byte, a cut or overlong sequence, an encoded surrogate, a code point past
// U+10FFFF) becomes one U+FFFD; well-formed text, long ASCII runs included, is written as is.
TEST(JsonTest, WritesIllFormedUtf8AsReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"plain ascii text, longer than eight", "plain ascii text, longer than eight"},
        {"\xC3\xA9\xE2\x98\x83\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF",
         "\xC3\xA9\xE2\x98\x83\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {"caf\xE9", "caf" + r},
        {"0123456789\x80z", "0123456789" + r + "z"},
        {"\xE2\x82", r},
        {"\xE2\x82z\xF0\x9F\x98", r + "z" + r},
        {"\xC0\xAF\xC1\xBF", r + r + r + r},
        {"\xE0\x80\x80", r + r + r},
        {"\xED\xA0\xBD", r + r + r},
        {"\xF4\x90\x80\x80\xF5\xFF", r + r + r + r + r + r},
        {"\xC3\xC3\xA9", r + "\xC3\xA9"},
        {std::string(33, 'a') + "\xC3\xA9" + std::string(33, 'b'),
         std::string(33, 'a') + "\xC3\xA9" + std::string(33, 'b')},
        {std::string(40, 'a') + "\xE2\x82" + std::string(9, 'b'),
         std::string(40, 'a') + r + std::string(9, 'b')}};
    for (const auto& [raw, written] : cases) {
        COJson body;
        body.addKeyValue(raw).setString(raw);
        const std::string quoted = '"' + written + '"';
        EXPECT_EQ(body.obtainJsonString(), "{" + quoted + ":" + quoted + "}") << raw;
        EXPECT_EQ(body.obtainMember(raw).obtainString(), raw);  // the document keeps the bytes
    }
    // ASCII that fills whole blocks: the search stops at the end of the text, not in the
    // bytes that happen to follow it (here the next string's).
    for (const size_t length : {32u, 64u}) {
        COJson list;
        list.obtainRoot().makeArray();
        list.obtainRoot().addArrayItem().setString(std::string(length, 'a'));
        list.obtainRoot().addArrayItem().setString(std::string(40, '\xFF'));
        std::string expected;
        for (int i = 0; i < 40; ++i) expected += r;
        EXPECT_EQ(list.obtainJsonString(), "[\"" + std::string(length, 'a') + "\",\"" + expected + "\"]");
    }
}

// A lone surrogate escape reads as U+FFFD instead of spoiling the document; pairs, other escapes
// and an escaped backslash before "u" are read as before, and broken text stays invalid.
TEST(JsonTest, LoneSurrogateEscapesReadAsReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string_view, std::string> cases[] = {
        {R"(["\ud83d"])", r},
        {R"(["a\uD83Db"])", "a" + r + "b"},
        {R"(["\ude00\ud83d"])", r + r},
        {R"(["\ud83d\ud83d\ude00"])", r + "\xF0\x9F\x98\x80"},
        {R"(["\ud83d\u0041\n"])", r + "A\n"},
        {R"(["\\ud83d\\\ud83d"])", "\\ud83d\\" + r},
        {R"(["x\ud83d\ude00\u00e9"])", "x\xF0\x9F\x98\x80\xC3\xA9"}};
    for (const auto& [text, value] : cases) {
        COJson json(text);
        ASSERT_TRUE(json.getIsValidJson()) << text;
        EXPECT_EQ(json.obtainRoot().obtainArrayItem(0).obtainString(), value) << text;
    }
    EXPECT_EQ(COJson(R"({"\udc00":1})").obtainMember(r).obtainInt(), 1);
    const std::string a(45, 'a'), b(40, 'b');  // escapes past the first blocks of the search
    EXPECT_EQ(COJson("[\"" + a + R"(\ud83d)" + b + R"(\n\ude00\ud83d\ude00)" + b + "\"]")
                  .obtainRoot()
                  .obtainArrayItem(0)
                  .obtainString(),
              a + r + b + "\n" + r + "\xF0\x9F\x98\x80" + b);
    // The last two end in the middle of an escape: the search must not run past the end.
    for (std::string_view broken :
         {R"(["\ud83d)"sv, R"(["\ud83)"sv, R"(["\ud83d\u12"])"sv, R"(\ud83d)"sv, R"(["\)"sv, R"(["\ud83d\)"sv})
        EXPECT_FALSE(COJson(broken).getIsValidJson()) << broken;
}

TEST(JsonTest, FromVariantOrdersMapsAndNullsNonFiniteNumbers) {
    const CMVariant v(
        CMVariantMap{{"b", CMVariantList{1, "s", CMVariant(), CMVariantMap{}}}, {"a", HUGE_VAL}});
    EXPECT_EQ(cfCreateCOJsonFromCMVariant(v)->obtainJsonString(), R"({"a":null,"b":[1,"s",null,{}]})");
}

// A variant nested 100,000 levels deep becomes JSON text; a chain of handles even deeper, gone
// stale after a change higher up, still reaches its value.
TEST(JsonTest, DeepValuesNeedNoCallStack) {
    constexpr int kDepth = 100000;
    std::string expected;
    for (int level = kDepth - 1; level >= 0; --level) expected += level % 2 == 0 ? "[" : R"({"k":)";
    expected += "\"x\"";
    for (int level = 0; level < kDepth; ++level) expected += level % 2 == 0 ? ']' : '}';
    EXPECT_EQ(cfCreateCOJsonFromCMVariant(nest(kDepth, "x"))->obtainJsonString(), expected);

    COJson doc;
    COJsonValue innermost = doc.obtainRoot();
    for (int level = 0; level < 3 * kDepth; ++level) innermost = innermost.addArrayItem();
    doc.addArrayItem().setInt(1);  // may move everything below the root
    innermost.setString("x");
    const std::string text = doc.obtainJsonString();
    EXPECT_EQ(text.substr(3 * kDepth - 2, 7), R"([["x"]])");
    EXPECT_EQ(text.substr(text.size() - 5), "]],1]");
}

TEST(TextTest, TrimRemovesSpaceTabCrLfAtBothEnds) {
    EXPECT_EQ(cfTrimAsString("  \t\r\n a b \n\t"), "a b");
    EXPECT_EQ(cfTrimAsString(" \r\n\t "), "");
    EXPECT_EQ(cfTrimAsString("\va\f"), "\va\f");
}

// Parts are joined with exactly one slash; in parts after the base, what would change the URL's
// structure is percent-encoded. cfPercentEncode keeps only unreserved characters.
TEST(TextTest, UrlJoiningAndEncoding) {
    EXPECT_EQ(cfConcatURL({"https://h/", "/v1/", "/chat/completions"}), "https://h/v1/chat/completions");
    EXPECT_EQ(cfConcatURL({"http://localhost:11434//", "api/tags"}), "http://localhost:11434/api/tags");
    EXPECT_EQ(cfConcatURL({"https://h", "", "/", "x"}), "https://h/x");
    EXPECT_EQ(cfConcatURL({"https://h", "models", "m-1:generate"}), "https://h/models/m-1:generate");
    EXPECT_EQ(cfConcatURL({"https://h", "a b?c#%\"<\\{}"}), "https://h/a%20b%3Fc%23%25%22%3C%5C%7B%7D");
    EXPECT_EQ(cfConcatURL({"https://h", "\0\x1f\x7f\xC3\xA9"sv}), "https://h/%00%1F%7F%C3%A9");
    EXPECT_EQ(cfConcatURL({"https://h", "a-b_c.d~e!$&'()*+,;=@"}), "https://h/a-b_c.d~e!$&'()*+,;=@");
    EXPECT_EQ(cfPercentEncode("AZaz09-._~ /:?=&\xFF"), "AZaz09-._~%20%2F%3A%3F%3D%26%FF");
}

// Valid dates give their epoch seconds (leap years and seconds, before 1970, past 2038); any
// out-of-range field or text that does not match the format gives nothing.
TEST(DateTimeTest, ParsesOnlyMatchingValidDates) {
    const auto epoch = [](const char* text, const char* format = "%Y-%m-%dT%H:%M:%SZ") {
        const std::unique_ptr<CODateTime> parsed(CODateTime::dateTimeFromString(text, format));
        return parsed ? std::optional(parsed->obtainEpochSeconds()) : std::nullopt;
    };
    EXPECT_EQ(epoch("2024-02-29T12:30:45Z"), 1709209845);
    EXPECT_EQ(epoch("2000-02-29T00:00:00Z"), 951782400);
    EXPECT_EQ(epoch("1969-12-31T23:59:59Z"), -1);
    EXPECT_EQ(epoch("2038-01-19T03:14:08Z"), 2147483648);
    EXPECT_EQ(epoch("7/3/2023 5:06 100%", "%d/%m/%Y %H:%M 100%%"), 1678165560);
    for (const char* text :
         {"2024-13-01T00:00:00Z", "2024-04-31T00:00:00Z", "2023-02-29T00:00:00Z", "1900-02-29T00:00:00Z",
          "2024-01-00T00:00:00Z", "2024-01-01T24:00:00Z", "2024-01-01T00:60:00Z", "2024-01-01T00:00:61Z",
          "2024-01-01T00:00:00Zx", "2024-01-01T00:00:00", "24-01-01T00:00:00Z", "2024-1x-01T00:00:00Z", ""}) {
        EXPECT_EQ(epoch(text), std::nullopt) << text;
    }
    EXPECT_FALSE(epoch("2024", "%Y%") || epoch("2024 x", "%Y %q"));  // dangling '%', unknown directive
}

}  // namespace
