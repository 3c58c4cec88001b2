// Reading JSON text: an iterative parse that never throws, a lone surrogate escape read as U+FFFD.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "cf_json_text.h"

namespace cf_internal {

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// The code unit of the \uXXXX escape at text[at]; -1 when there is none.
long escapedUnit(std::string_view text, size_t at) {
    if (at > text.size() || text.size() - at < 6 || text[at] != '\\' || text[at + 1] != 'u') return -1;
    long unit = 0;
    for (size_t i = at + 2; i < at + 6; ++i) {
        const int digit = hexDigit(text[i]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

/// Position of the first backslash in text from `from` on; text.size() when
/// none, also for a `from` past the end (an escape cut by the end of text).
size_t findBackslash(std::string_view text, size_t from) {
    if (from >= text.size()) return text.size();
    constexpr uint64_t kOnes = 0x0101010101010101u;
    constexpr uint64_t kHighBits = 0x8080808080808080u;
    constexpr uint64_t kBackslashes = 0x5C5C5C5C5C5C5C5Cu;
    // Flags the backslashes among eight bytes; the lowest flag is always one.
    const auto flags = [&](size_t at) {
        uint64_t bytes;
        std::memcpy(&bytes, text.data() + at, 8);
        const uint64_t other = bytes ^ kBackslashes;
        return (other - kOnes) & ~other & kHighBits;
    };
    size_t at = from;
    if constexpr (std::endian::native == std::endian::little) {
        for (; text.size() - at >= 32; at += 32) {
            const uint64_t found[] = {flags(at), flags(at + 8), flags(at + 16), flags(at + 24)};
            if ((found[0] | found[1] | found[2] | found[3]) == 0) continue;
            for (size_t word = 0;; ++word) {
                if (found[word] != 0)
                    return at + word * 8 + static_cast<size_t>(std::countr_zero(found[word])) / 8;
            }
        }
    }
    while (at < text.size() && text[at] != '\\') ++at;
    return at;
}

/// text with every lone surrogate escape (a high one not followed by a low
/// one, or a low one alone) turned into \uFFFD; empty when there is none.
/// Backslashes occur in valid JSON only in strings, each starting an escape.
std::string replaceLoneSurrogates(std::string_view text) {
    std::string out;
    for (size_t at = findBackslash(text, 0); at < text.size(); at = findBackslash(text, at)) {
        // Most escapes are no surrogate (\n, \", \u00e9): one look decides.
        if (text.size() - at < 6 || text[at + 1] != 'u' || (text[at + 2] != 'd' && text[at + 2] != 'D')) {
            at += 2;
            continue;
        }
        const long unit = escapedUnit(text, at);
        if (unit < 0xD800 || unit > 0xDFFF) {  // another escape, or none
            at += 2;
            continue;
        }
        const long next = unit <= 0xDBFF ? escapedUnit(text, at + 6) : -1;
        if (next >= 0xDC00 && next <= 0xDFFF) {
            at += 12;  // a pair
            continue;
        }
        if (out.empty()) out.assign(text);
        out.replace(at + 2, 4, "FFFD");
        at += 6;
    }
    return out;
}

}  // namespace

bool parseJson(std::string_view text, rapidjson::Document& document) {
    // A raw NUL byte cannot occur in valid JSON; RapidJSON would take it for the end.
    if (text.empty() || std::memchr(text.data(), '\0', text.size()) != nullptr) return false;
    const std::string repaired = replaceLoneSurrogates(text);
    if (!repaired.empty()) text = repaired;
    document.Parse<kParseFlags>(text.data(), text.size());
    if (document.HasParseError()) {
        document.SetNull();
        return false;
    }
    return true;
}

}  // namespace cf_internal
