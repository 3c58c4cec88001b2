// Text helpers: trimming, percent-encoding, URL joining and the date parser.
// The first byte picks the helper; each result is checked against what the
// helper promises rather than against a second implementation.
#include <charconv>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "cf/CFText.h"
#include "fuzz_check.h"

namespace {

/// Decodes %XX escapes; every '%' must start a complete one. Slashes are
/// dropped when asked.
std::string percentDecode(std::string_view text, bool dropSlashes = false) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned value = static_cast<unsigned char>(text[i]);
        if (text[i] == '%') {
            const char* const digits = text.data() + i + 1;
            FUZZ_CHECK(i + 2 < text.size() &&
                       std::from_chars(digits, digits + 2, value, 16).ptr == digits + 2);
            i += 2;
        }
        if (value != '/' || !dropSlashes) out += static_cast<char>(value);
    }
    return out;
}

/// A parsed date is a real calendar date, year 0 to 9999, and its seconds
/// are what the C library's UTC arithmetic gives for it.
void checkDate(std::string_view input) {
    const std::string format(input.substr(0, input.find('\x01'))),
        text(input.substr(std::min(format.size() + 1, input.size())));
    const std::unique_ptr<CODateTime> date(CODateTime::dateTimeFromString(text, format));
    if (!date) return;
    const int leap = date->second == 60 ? 1 : 0;  // a leap second counts as the next one
    const std::time_t seconds = date->obtainEpochSeconds() - leap;
    std::tm back{};
    FUZZ_CHECK(date->year >= 0 && date->year <= 9999 && gmtime_r(&seconds, &back) != nullptr);
    FUZZ_CHECK(back.tm_year == date->year - 1900 && back.tm_mon == date->month - 1 &&
               back.tm_mday == date->day && back.tm_hour == date->hour && back.tm_min == date->minute &&
               back.tm_sec == date->second - leap);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const uint8_t selector = qai_fuzz::takeByte(text);
    if (selector % 4 == 0) {  // trimming drops blanks at both ends, nothing else
        const size_t first = std::min(text.find_first_not_of(" \t\r\n"), text.size());
        FUZZ_CHECK(cfTrimAsString(text) == text.substr(first, text.find_last_not_of(" \t\r\n") + 1 - first));
    } else if (selector % 4 == 1) {  // only unreserved characters and escapes, decoding to the text
        const std::string encoded = cfPercentEncode(text);
        FUZZ_CHECK(encoded.find_first_not_of(
                       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~%") ==
                   std::string::npos);
        FUZZ_CHECK(percentDecode(encoded) == text);
    } else if (selector % 4 == 2) {
        // Joining keeps the first part (less the slashes the join supplies;
        // "scheme://" alone keeps them), loses and adds nothing but slashes in
        // the rest, and leaves nothing there that would end or restructure the path.
        std::string_view parts[4];
        for (std::string_view& part : parts) {  // separated by \x01
            part = text.substr(0, text.find('\x01'));
            text.remove_prefix(std::min(part.size() + 1, text.size()));
        }
        const size_t count = 1 + (selector >> 2) % 4;
        const std::string url = count == 1   ? cfConcatURL({parts[0]})
                                : count == 2 ? cfConcatURL({parts[0], parts[1]})
                                : count == 3 ? cfConcatURL({parts[0], parts[1], parts[2]})
                                             : cfConcatURL({parts[0], parts[1], parts[2], parts[3]});
        std::string_view head = parts[0].substr(0, parts[0].find_last_not_of('/') + 1);
        if (!head.empty() && head.back() == ':') head = parts[0];
        FUZZ_CHECK(url.compare(0, head.size(), head) == 0);
        const std::string_view tail = std::string_view(url).substr(head.size());
        for (const char c : tail)
            FUZZ_CHECK(c > 0x20 && c < 0x7F &&
                       std::string_view("?#\"<>\\^`{|}").find(c) == std::string_view::npos);
        std::string expected;
        for (size_t i = 1; i < count; ++i)
            for (const char c : parts[i]) expected += c == '/' ? "" : std::string(1, c);
        FUZZ_CHECK(percentDecode(tail, true) == expected);
    } else {
        checkDate(text);
    }
    return 0;
}
