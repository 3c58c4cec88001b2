// Small text helpers: trimming, URL joining and percent-encoding.
#include <string>
#include <string_view>

#include "cf/CFText.h"

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendEscaped(std::string& out, unsigned char byte) {
    out += '%';
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0x0F];
}

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// Bytes that would end or restructure a path if left as they are.
bool breaksPath(unsigned char c) {
    if (c <= 0x20 || c >= 0x7F) return true;  // controls, blank, DEL and non-ASCII
    switch (c) {
        case '?':
        case '#':
        case '%':
        case '"':
        case '<':
        case '>':
        case '\\':
        case '^':
        case '`':
        case '{':
        case '|':
        case '}':
            return true;
        default:
            return false;
    }
}

std::string_view stripTrailingSlashes(std::string_view text) {
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    return text;
}

std::string_view stripLeadingSlashes(std::string_view text) {
    while (!text.empty() && text.front() == '/') text.remove_prefix(1);
    return text;
}

}  // namespace

std::string cfTrimAsString(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kBlanks);
    return std::string(text.substr(first, last - first + 1));
}

std::string cfConcatURL(std::initializer_list<std::string_view> components) {
    std::string url;
    bool first = true;
    const std::string_view* last = components.end() - (components.size() > 0 ? 1 : 0);
    for (const std::string_view* it = components.begin(); it != components.end(); ++it) {
        std::string_view part = *it;
        if (first) {
            // Scheme and host as given; only the slashes that the join supplies go.
            first = false;
            const std::string_view stripped = stripTrailingSlashes(part);
            // "scheme://" alone keeps its slashes: they belong to the scheme.
            url.assign(!stripped.empty() && stripped.back() == ':' ? part : stripped);
            continue;
        }
        part = stripLeadingSlashes(part);
        if (it != last) part = stripTrailingSlashes(part);
        if (part.empty()) continue;
        if (!url.empty() && url.back() != '/') url += '/';
        for (const char ch : part) {
            const auto byte = static_cast<unsigned char>(ch);
            if (breaksPath(byte))
                appendEscaped(url, byte);
            else
                url += ch;
        }
    }
    return url;
}

std::string cfPercentEncode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (isUnreserved(byte))
            out += ch;
        else
            appendEscaped(out, byte);
    }
    return out;
}
