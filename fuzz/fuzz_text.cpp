// Text helpers: trimming, percent-encoding, URL joining and the date parser.
// The first byte picks the helper; each result is checked against what the
// helper promises rather than against a second implementation.
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cf/CFText.h"
#include "fuzz_check.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // the encoders write upper-case digits only
}

/// Decodes %XX escapes; every '%' must start a complete upper-case escape.
std::string percentDecode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        FUZZ_CHECK(i + 2 < text.size());
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        FUZZ_CHECK(high >= 0 && low >= 0);
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::string withoutSlashes(std::string_view text) {
    std::string out;
    for (const char c : text)
        if (c != '/') out += c;
    return out;
}

void checkTrim(std::string_view text) {
    const std::string trimmed = cfTrimAsString(text);
    size_t first = 0;
    while (first < text.size() && isBlank(text[first])) ++first;
    size_t end = text.size();
    while (end > first && isBlank(text[end - 1])) --end;
    FUZZ_CHECK(trimmed == text.substr(first, end - first));
}

void checkPercentEncode(std::string_view text) {
    const std::string encoded = cfPercentEncode(text);
    for (const char c : encoded) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        FUZZ_CHECK(unreserved || c == '%');
    }
    FUZZ_CHECK(percentDecode(encoded) == text);
}

/// Joining keeps the first component (less the slashes the join supplies),
/// loses and adds nothing but slashes in the rest, and leaves nothing there
/// that would end or restructure the path.
void checkConcat(qai_fuzz::InputReader& input, uint8_t count) {
    std::vector<std::string_view> parts;
    for (uint8_t i = 0; i < count; ++i) parts.push_back(input.until('\x01'));
    std::string url;
    switch (count) {
        case 1:
            url = cfConcatURL({parts[0]});
            break;
        case 2:
            url = cfConcatURL({parts[0], parts[1]});
            break;
        case 3:
            url = cfConcatURL({parts[0], parts[1], parts[2]});
            break;
        default:
            url = cfConcatURL({parts[0], parts[1], parts[2], parts[3]});
            break;
    }
    // "scheme://" alone keeps its slashes.
    std::string_view head = parts[0];
    while (!head.empty() && head.back() == '/') head.remove_suffix(1);
    if (!head.empty() && head.back() == ':') head = parts[0];
    FUZZ_CHECK(url.compare(0, head.size(), head) == 0);
    const std::string_view tail = std::string_view(url).substr(head.size());
    for (const char ch : tail) {
        const auto c = static_cast<unsigned char>(ch);
        FUZZ_CHECK(c > 0x20 && c < 0x7F &&
                   std::string_view("?#\"<>\\^`{|}").find(ch) == std::string_view::npos);
    }
    std::string expected;
    for (size_t i = 1; i < parts.size(); ++i) expected += withoutSlashes(parts[i]);
    FUZZ_CHECK(withoutSlashes(percentDecode(tail)) == expected);
}

/// A parsed date is a real calendar date, agrees with the C library's UTC
/// arithmetic and reads back the same from its own canonical text.
void checkDate(qai_fuzz::InputReader& input) {
    const std::string format(input.until('\x01'));
    const std::string text(input.rest());
    const std::unique_ptr<CODateTime> date(CODateTime::dateTimeFromString(text, format));
    if (!date) return;
    FUZZ_CHECK(date->year >= 0 && date->year <= 9999);
    FUZZ_CHECK(date->month >= 1 && date->month <= 12 && date->day >= 1 && date->day <= 31);
    FUZZ_CHECK(date->hour >= 0 && date->hour <= 23 && date->minute >= 0 && date->minute <= 59);
    FUZZ_CHECK(date->second >= 0 && date->second <= 60);

    std::tm fields{};
    fields.tm_year = date->year - 1900;
    fields.tm_mon = date->month - 1;
    fields.tm_mday = date->day;
    fields.tm_hour = date->hour;
    fields.tm_min = date->minute;
    fields.tm_sec = date->second;
    const std::time_t reference = timegm(&fields);
    FUZZ_CHECK(static_cast<int64_t>(reference) == date->obtainEpochSeconds());
    FUZZ_CHECK(fields.tm_mday == date->day || date->second == 60);  // no day rolled over

    char canonical[64];
    std::snprintf(canonical, sizeof canonical, "%04d-%02d-%02d %02d:%02d:%02d", date->year, date->month,
                  date->day, date->hour, date->minute, date->second);
    const std::unique_ptr<CODateTime> again(CODateTime::dateTimeFromString(canonical, "%Y-%m-%d %H:%M:%S"));
    FUZZ_CHECK(again != nullptr);
    FUZZ_CHECK(again->obtainEpochSeconds() == date->obtainEpochSeconds());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qai_fuzz::InputReader input(data, size);
    const uint8_t selector = input.byte();
    switch (selector % 4) {
        case 0:
            checkTrim(input.rest());
            break;
        case 1:
            checkPercentEncode(input.rest());
            break;
        case 2:
            checkConcat(input, static_cast<uint8_t>(1 + (selector >> 2) % 4));
            break;
        default:
            checkDate(input);
            break;
    }
    return 0;
}
