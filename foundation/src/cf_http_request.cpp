// Request building: headers, the URL with its query, and the proxy rules.
#include "cf_http_request.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

#include "cf/CFText.h"

namespace cf_internal {

namespace {

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

/// Header text never carries CR, LF or NUL: a value cannot start a new header.
std::string withoutLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\r' && c != '\n' && c != '\0') out += c;
    }
    return out;
}

/// A header name keeps only visible characters other than ':'.
std::string cleanHeaderName(std::string_view name) {
    std::string out;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7F && c != ':') out += c;
    }
    return out;
}

bool sameHeaderName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

/// Headers by name, case-insensitively; a later value for a name replaces the
/// earlier one in its place.
class HeaderSet {
public:
    void set(std::string_view name, std::string_view value) {
        std::string cleanName = cleanHeaderName(name);
        if (cleanName.empty()) return;
        std::string cleanValue = withoutLineBreaks(value);
        for (auto& entry : entries_) {
            if (sameHeaderName(entry.first, cleanName)) {
                entry.second = std::move(cleanValue);
                return;
            }
        }
        entries_.emplace_back(std::move(cleanName), std::move(cleanValue));
    }

    /// The list for CURLOPT_HTTPHEADER; "Name;" sends a header with an empty value.
    Slist toList(const std::vector<std::string>& removals) const {
        curl_slist* list = nullptr;
        auto append = [&list](const std::string& line) {
            curl_slist* grown = curl_slist_append(list, line.c_str());
            if (grown == nullptr) return false;
            list = grown;
            return true;
        };
        bool ok = true;
        for (const auto& [name, value] : entries_) {
            ok = ok && append(value.empty() ? name + ";" : name + ": " + value);
        }
        for (const std::string& removal : removals) {
            bool overridden = std::any_of(entries_.begin(), entries_.end(), [&](const auto& entry) {
                return sameHeaderName(entry.first, removal);
            });
            if (!overridden) ok = ok && append(removal + ":");
        }
        if (!ok) {
            curl_slist_free_all(list);
            return nullptr;
        }
        return Slist(list);
    }

private:
    std::vector<std::pair<std::string, std::string>> entries_;
};

}  // namespace

Slist requestHeaders(const CMRestSession* session, const CMRestRequest* request,
                     const CMRestPostRequest* post) {
    HeaderSet headers;
    headers.set("Accept", "application/json");
    std::vector<std::string> removals = {"Expect"};  // no 100-continue round trip before a body
    if (post != nullptr && post->hasBody()) {
        headers.set("Content-Type", "application/json");
    } else if (post != nullptr) {
        removals.emplace_back("Content-Type");  // curl would claim a form otherwise
    }
    if (session != nullptr) {
        if (session->hasAuthorizationHeaderValue())
            headers.set("Authorization", session->obtainAuthorizationHeaderValue());
        for (const auto& [name, value] : session->obtainHeaderParams()) headers.set(name, value);
    }
    for (const auto& [name, value] : request->obtainHeaderParams()) headers.set(name, value);
    return headers.toList(removals);
}

UrlParts parseUrl(const std::string& url) {
    UrlParts parts;
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle) return parts;
    if (curl_url_set(handle.get(), CURLUPART_URL, url.c_str(),
                     CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) != CURLUE_OK) {
        return parts;
    }
    char* host = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host != nullptr)
        parts.host = host;
    curl_free(host);
    char* port = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK &&
        port != nullptr) {
        parts.port = port;
    }
    curl_free(port);
    char* scheme = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK && scheme != nullptr)
        parts.scheme = scheme;
    curl_free(scheme);
    return parts;
}

UrlParts parseProxy(const std::string& proxy) {
    UrlParts parts = parseUrl(proxy);
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    char* port = nullptr;
    if (handle &&
        curl_url_set(handle.get(), CURLUPART_URL, proxy.c_str(),
                     CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) == CURLUE_OK &&
        curl_url_get(handle.get(), CURLUPART_PORT, &port, 0) != CURLUE_OK) {
        parts.port = "1080";
    }
    curl_free(port);
    return parts;
}

bool bypassesProxy(const std::string& host, std::string_view noProxy) {
    std::string bare = host;
    if (bare.size() > 1 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
    while (!noProxy.empty()) {
        const size_t comma = noProxy.find(',');
        std::string entry = cfTrimAsString(noProxy.substr(0, comma));
        noProxy = comma == std::string_view::npos ? std::string_view() : noProxy.substr(comma + 1);
        if (entry == "*") return true;
        if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
        if (entry.empty() || entry.size() > bare.size()) continue;
        const std::string_view tail = std::string_view(bare).substr(bare.size() - entry.size());
        if (sameHeaderName(tail, entry) &&
            (tail.size() == bare.size() || bare[bare.size() - entry.size() - 1] == '.')) {
            return true;
        }
    }
    return false;
}

std::string appendQuery(std::string url, const CMRestParams& query) {
    if (query.empty()) return url;
    char separator = url.find('?') == std::string::npos ? '?' : '&';
    if (!url.empty() && (url.back() == '?' || url.back() == '&')) separator = '\0';
    for (const auto& [name, value] : query) {
        if (separator != '\0') url += separator;
        url += cfPercentEncode(name);
        url += '=';
        url += cfPercentEncode(value);
        separator = '&';
    }
    return url;
}

}  // namespace cf_internal
