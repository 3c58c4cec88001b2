#pragma once
// What the fuzz targets share: a check that ends the run with a message, a
// reader that takes an input apart, and RapidJSON reading text as the library
// does, as the reference the library is compared with.
#include <rapidjson/document.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/qai_diagnostics.h"

/// Ends the run as a crash (libFuzzer keeps the input) when cond is false.
#define FUZZ_CHECK(cond) \
    ((cond) ? void()     \
            : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), std::abort()))

namespace qai_fuzz {

/// Keeps the library's debug reports of malformed input off stderr: they are
/// expected here by the million.
inline void silenceDiagnostics() {
    [[maybe_unused]] static const bool once =
        (qai::diag::setListener([](const char*, const char*, void*) {}, nullptr), true);
}

/// The next byte of an input, taken off its front; 0 past the end.
inline uint8_t takeByte(std::string_view& input) {
    const uint8_t value = input.empty() ? 0 : static_cast<uint8_t>(input.front());
    input.remove_prefix(input.empty() ? 0 : 1);
    return value;
}

inline std::string_view textOf(const rapidjson::Value& v) { return {v.GetString(), v.GetStringLength()}; }

/// The parse flag that also asks for well-formed UTF-8.
constexpr unsigned kWellFormed = rapidjson::kParseValidateEncodingFlag;

/// Parses text into reference as the library reads it, which RapidJSON does
/// not quite: a lone surrogate escape stands for U+FFFD, and a NUL byte makes
/// text invalid; extra flags may ask for more. True when text is valid. The
/// search for lone surrogates is written plainly, as the oracle for the
/// library's fast one.
template <unsigned kExtraFlags = 0>
inline bool parseAsTheLibrary(std::string_view text, rapidjson::Document& reference) {
    const auto unitAt = [&text](size_t at) {
        if (at + 6 > text.size() || text.compare(at, 2, "\\u") != 0) return -1L;
        unsigned unit = 0;
        const char* const digits = text.data() + at + 2;
        const auto [end, error] = std::from_chars(digits, digits + 4, unit, 16);
        return error == std::errc() && end == digits + 4 ? static_cast<long>(unit) : -1L;
    };
    std::string replaced(text);
    for (size_t at = 0; (at = text.find('\\', at)) != std::string_view::npos;) {
        const long unit = unitAt(at), next = unitAt(at + 6);
        if (unit < 0xD800 || unit > 0xDFFF) {
            at += 2;  // another escape, "\\" included
        } else if (unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            at += 12;
        } else {
            replaced.replace(at + 2, 4, "FFFD");
            at += 6;
        }
    }
    reference.Parse<rapidjson::kParseIterativeFlag | kExtraFlags>(replaced.data(), replaced.size());
    return !text.empty() && text.find('\0') == std::string_view::npos && !reference.HasParseError();
}

}  // namespace qai_fuzz
