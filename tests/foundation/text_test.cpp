#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "cf/CFText.h"

namespace {

TEST(TextTest, TrimRemovesBlanksAtBothEnds) {
    EXPECT_EQ(cfTrimAsString("  \t\r\n a b \n\t"), "a b");
    EXPECT_EQ(cfTrimAsString("x"), "x");
    EXPECT_EQ(cfTrimAsString(" \r\n\t "), "");
    EXPECT_EQ(cfTrimAsString(""), "");
    EXPECT_EQ(cfTrimAsString("\va\f"), "\va\f");  // only space, tab, CR and LF count
}

TEST(TextTest, ConcatURLJoinsWithOneSlash) {
    EXPECT_EQ(cfConcatURL({"https://api.example.com", "v1", "models"}), "https://api.example.com/v1/models");
    EXPECT_EQ(cfConcatURL({"https://api.example.com/", "/v1/", "/chat/completions"}),
              "https://api.example.com/v1/chat/completions");
    EXPECT_EQ(cfConcatURL({"http://localhost:11434//", "api/tags"}), "http://localhost:11434/api/tags");
    EXPECT_EQ(cfConcatURL({"https://h.example/base/path", "v1"}), "https://h.example/base/path/v1");
    EXPECT_EQ(cfConcatURL({"https://h", "", "/", "x"}), "https://h/x");
    EXPECT_EQ(cfConcatURL({"https://h/"}), "https://h");
    EXPECT_EQ(cfConcatURL({"https://h", "v1/models/"}), "https://h/v1/models/");
    EXPECT_EQ(cfConcatURL({"https://", "h"}), "https://h");
    EXPECT_EQ(cfConcatURL({}), "");
    // The host part is not re-encoded.
    EXPECT_EQ(cfConcatURL({"https://h?x=1", "a"}), "https://h?x=1/a");
}

TEST(TextTest, ConcatURLEncodesWhatWouldChangeTheStructure) {
    EXPECT_EQ(cfConcatURL({"https://g.example", "v1beta/models", "gemini-pro:generateContent"}),
              "https://g.example/v1beta/models/gemini-pro:generateContent");
    EXPECT_EQ(cfConcatURL({"https://h", "a b?c#d%e"}), "https://h/a%20b%3Fc%23d%25e");
    EXPECT_EQ(cfConcatURL({"https://h", "\"<>\\^`{|}"}), "https://h/%22%3C%3E%5C%5E%60%7B%7C%7D");
    EXPECT_EQ(cfConcatURL({"https://h", std::string_view("\0\x1f\x7f", 3)}), "https://h/%00%1F%7F");
    EXPECT_EQ(cfConcatURL({"https://h", "caf\xC3\xA9"}), "https://h/caf%C3%A9");
    EXPECT_EQ(cfConcatURL({"https://h", "a-b_c.d~e!$&'()*+,;=@"}), "https://h/a-b_c.d~e!$&'()*+,;=@");
}

TEST(TextTest, PercentEncodeKeepsOnlyUnreserved) {
    EXPECT_EQ(cfPercentEncode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(cfPercentEncode("a b/c:d?e=f&g"), "a%20b%2Fc%3Ad%3Fe%3Df%26g");
    EXPECT_EQ(cfPercentEncode("\xFF\x01"), "%FF%01");
    EXPECT_EQ(cfPercentEncode(""), "");
}

std::unique_ptr<CODateTime> parse(const std::string& text, const std::string& format) {
    return std::unique_ptr<CODateTime>(CODateTime::dateTimeFromString(text, format));
}

TEST(DateTimeTest, ParsesAndComputesEpochSeconds) {
    const char* const kIso = "%Y-%m-%dT%H:%M:%SZ";
    const struct {
        const char* text;
        int64_t epoch;
    } cases[] = {
        {"1970-01-01T00:00:00Z", 0},          {"2024-01-01T00:00:00Z", 1704067200},
        {"2024-02-29T12:30:45Z", 1709209845}, {"2000-03-01T00:00:00Z", 951868800},
        {"1969-12-31T23:59:59Z", -1},         {"1900-01-01T00:00:00Z", -2208988800},
        {"2038-01-19T03:14:08Z", 2147483648}, {"2016-12-31T23:59:60Z", 1483228800},
    };
    for (const auto& c : cases) {
        const auto parsed = parse(c.text, kIso);
        ASSERT_NE(parsed, nullptr) << c.text;
        EXPECT_EQ(parsed->obtainEpochSeconds(), c.epoch) << c.text;
    }
    const auto fields = parse("7/3/2023 5:06 100%", "%d/%m/%Y %H:%M 100%%");
    ASSERT_NE(fields, nullptr);
    EXPECT_EQ(fields->day, 7);
    EXPECT_EQ(fields->month, 3);
    EXPECT_EQ(fields->year, 2023);
    EXPECT_EQ(fields->hour, 5);
    EXPECT_EQ(fields->minute, 6);
    EXPECT_EQ(fields->second, 0);
}

TEST(DateTimeTest, RejectsTextThatDoesNotMatch) {
    const char* const kIso = "%Y-%m-%dT%H:%M:%SZ";
    const char* const rejected[] = {
        "2024-13-01T00:00:00Z",   // month
        "2024-00-10T00:00:00Z",   // month
        "2024-04-31T00:00:00Z",   // day beyond the month
        "2023-02-29T00:00:00Z",   // not a leap year
        "1900-02-29T00:00:00Z",   // century, not a leap year
        "2024-01-00T00:00:00Z",   // day
        "2024-01-01T24:00:00Z",   // hour
        "2024-01-01T00:60:00Z",   // minute
        "2024-01-01T00:00:61Z",   // second
        "2024-01-01T00:00:00Zx",  // trailing text
        "2024-01-01T00:00:00",    // missing literal
        "24-01-01T00:00:00Z",     // short year
        "2024-1x-01T00:00:00Z",   // not a digit
        "",
    };
    for (const char* text : rejected) EXPECT_EQ(parse(text, kIso), nullptr) << text;
    EXPECT_NE(parse("2000-02-29T00:00:00Z", kIso), nullptr);  // 400-year leap year
    EXPECT_EQ(parse("2024", "%Y%"), nullptr);                 // dangling '%'
    EXPECT_EQ(parse("2024 x", "%Y %q"), nullptr);             // unknown directive
}

TEST(TextTest, DeferRunsUnlessDismissed) {
    int runs = 0;
    {
        CODefer guard([&] { ++runs; });
    }
    {
        CODefer guard([&] { ++runs; });
        guard.dismiss();
    }
    EXPECT_EQ(runs, 1);
}

}  // namespace
