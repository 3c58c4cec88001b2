#pragma once
// Plain reference readings of what the library does to text at its JSON
// edges, for the targets to compare the library against.
#include <rapidjson/document.h>

#include <string>
#include <string_view>
#include <vector>

namespace qai_fuzz {

inline std::string_view keyOf(const rapidjson::Value& text) { return {text.GetString(), text.GetStringLength()}; }

/// text as the library reads it: a lone surrogate escape (a high one without
/// a low one after it, or a low one alone) stands for U+FFFD. Written plainly,
/// as the oracle for the library's fast search.
inline std::string withLoneSurrogatesReplaced(std::string_view text) {
    auto unitAt = [&text](size_t at) -> long {
        if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
        long unit = 0;
        for (size_t i = at + 2; i < at + 6; ++i) {
            const char c = text[i];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) return -1;
            unit = unit * 16 + digit;
        }
        return unit;
    };
    std::string out(text);
    for (size_t at = 0; at < text.size();) {
        if (text[at] != '\\') {
            ++at;
            continue;
        }
        const long unit = unitAt(at);
        if (unit < 0xD800 || unit > 0xDFFF) {
            at += 2;
            continue;
        }
        const long next = unit <= 0xDBFF ? unitAt(at + 6) : -1;
        if (next >= 0xDC00 && next <= 0xDFFF) {
            at += 12;
            continue;
        }
        out.replace(at + 2, 4, "FFFD");
        at += 6;
    }
    return out;
}

/// Whether text is well-formed UTF-8: no stray or missing continuation
/// bytes, no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool isValidUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        size_t length = 0;
        unsigned min = 0, max = 0xBF;  // bounds of the second byte
        if (lead < 0x80) {
            ++at;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, min = lead == 0xE0 ? 0xA0 : 0x80, max = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, min = lead == 0xF0 ? 0x90 : 0x80, max = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (text.size() - at < length) return false;
        for (size_t i = 1; i < length; ++i) {
            const auto byte = static_cast<unsigned char>(text[at + i]);
            if (i == 1 ? byte < min || byte > max : byte < 0x80 || byte > 0xBF) return false;
        }
        at += length;
    }
    return true;
}

/// True when a string or a key of the document is not well-formed UTF-8; the
/// library writes such text with U+FFFD in place of each bad sequence.
inline bool holdsInvalidUtf8(const rapidjson::Value& root) {
    std::vector<const rapidjson::Value*> pending{&root};
    while (!pending.empty()) {
        const rapidjson::Value* value = pending.back();
        pending.pop_back();
        if (value->IsString() && !isValidUtf8(keyOf(*value))) return true;
        if (value->IsArray())
            for (const auto& item : value->GetArray()) pending.push_back(&item);
        if (value->IsObject()) {
            for (const auto& member : value->GetObject()) {
                if (!isValidUtf8(keyOf(member.name))) return true;
                pending.push_back(&member.value);
            }
        }
    }
    return false;
}

}  // namespace qai_fuzz
