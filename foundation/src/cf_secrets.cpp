// Blanking of the secrets a request carries, in every text worded about it.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cf/CMRest.h"

namespace {

/// The user information of a URL ("user:password" before the last '@' of the
/// authority), as written; empty when there is none. Works on text that does
/// not parse as a URL, because such text is what gets quoted back.
std::string_view userInfoOf(std::string_view url) {
    const size_t scheme = url.find("://");
    const size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::string_view authority = url.substr(start, url.find_first_of("/?#", start) - start);
    const size_t at = authority.rfind('@');
    return at == std::string_view::npos ? std::string_view() : authority.substr(0, at);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

/// Adds the user information of url to secrets: whole, and user and password
/// apart, each as written and decoded (libcurl quotes either form).
void addUserInfo(std::string_view url, std::vector<std::string>& owned) {
    const std::string_view info = userInfoOf(url);
    if (info.empty()) return;
    const size_t colon = info.find(':');
    for (std::string_view part :
         {info, info.substr(0, colon),
          colon == std::string_view::npos ? std::string_view() : info.substr(colon + 1)}) {
        if (part.empty()) continue;
        owned.emplace_back(part);
        owned.push_back(percentDecoded(part));
    }
}

}  // namespace

void cfBlankSecrets(std::string& text, const std::vector<std::string_view>& secrets) {
    // Every occurrence is found in the original text first and the spans are
    // replaced in one pass, so a secret that occurs in the marker itself, or
    // overlaps another secret, can neither loop nor leave a piece behind.
    std::vector<std::pair<size_t, size_t>> spans;  // [begin, end)
    for (std::string_view secret : secrets) {
        if (secret.size() < kShortestSecret) continue;
        for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 1))
            spans.emplace_back(at, at + secret.size());
    }
    if (spans.empty()) return;
    std::sort(spans.begin(), spans.end());
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    for (size_t i = 0; i < spans.size();) {
        const size_t begin = spans[i].first;
        size_t end = spans[i].second;
        for (++i; i < spans.size() && spans[i].first <= end; ++i) end = std::max(end, spans[i].second);
        out.append(text, copied, begin - copied);
        out += kBlankedSecret;
        copied = end;
    }
    out.append(text, copied, std::string::npos);
    text = std::move(out);
}

void cfBlankSessionSecrets(std::string& text, const CMRestSession* session,
                           const CMRestGlobalSettings& settings, std::string_view url,
                           const std::vector<std::string_view>& extra) {
    // A proxy URL libcurl refuses comes back quoted whole; its credentials go
    // even when they are too short for the general rule.
    const std::string_view proxy = settings.proxy;
    const std::string_view proxyInfo = userInfoOf(proxy);
    if (!proxyInfo.empty()) {
        const size_t infoAt = static_cast<size_t>(proxyInfo.data() - proxy.data());
        const std::string shown = std::string(proxy.substr(0, infoAt)) + std::string(kBlankedSecret) +
                                  std::string(proxy.substr(infoAt + proxyInfo.size()));
        for (size_t at = text.find(proxy); at != std::string::npos; at = text.find(proxy, at + shown.size()))
            text.replace(at, proxy.size(), shown);
    }

    std::vector<std::string> owned;
    addUserInfo(proxy, owned);
    addUserInfo(url, owned);
    std::vector<std::string_view> secrets(extra);
    if (session != nullptr) {
        if (session->hasAuthorizationHeaderValue()) {
            const std::string& value = session->obtainAuthorizationHeaderValue();
            secrets.emplace_back(value);
            // "Bearer KEY": the key alone shows up too, in an echoed header or a host name.
            const size_t blank = value.find(' ');
            if (blank != std::string::npos) secrets.push_back(std::string_view(value).substr(blank + 1));
        }
        for (const auto& param : session->obtainHeaderParams()) secrets.emplace_back(param.second);
    }
    secrets.insert(secrets.end(), owned.begin(), owned.end());
    cfBlankSecrets(text, secrets);
}
