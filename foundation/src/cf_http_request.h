#pragma once
// Request building: headers, the URL with its query, the proxy rules, and the reply's buffer.
#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "cf/CMRest.h"

namespace cf_internal {

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

/// The headers for CURLOPT_HTTPHEADER: the defaults, then session's
/// (Authorization first), then request's, a later value for a name replacing
/// an earlier one; null when out of memory. session may be null, post is null
/// for a GET.
Slist requestHeaders(const CMRestSession* session, const CMRestRequest* request,
                     const CMRestPostRequest* post);

struct UrlParts {
    std::string host;  // empty when the URL does not parse
    std::string port;
    std::string scheme;  // lower case
};

/// Host, port and scheme of url.
UrlParts parseUrl(const std::string& url);
/// Host and port of the proxy URL (never its credentials); libcurl's proxy
/// port is 1080 unless the URL names one.
UrlParts parseProxy(const std::string& proxy);
/// Whether host bypasses the proxy by the comma-separated noProxy list, as
/// libcurl decides it: "*" matches every host, other entries match the host
/// itself and its subdomains.
bool bypassesProxy(const std::string& host, std::string_view noProxy);
/// url with the query's names and values percent-encoded after it.
std::string appendQuery(std::string url, const CMRestParams& query);

/// Collects the body and ends the transfer once it would pass the limit.
struct BodyBuffer {
    std::string body;
    int64_t limit = 0;  // 0: no limit
    bool tooLarge = false;
    bool outOfMemory = false;

    bool append(std::string_view piece) {
        if (limit > 0 && static_cast<int64_t>(body.size() + piece.size()) > limit) {
            tooLarge = true;
            return false;
        }
        try {
            body.append(piece);
        } catch (...) {
            // An exception must not cross libcurl's C frames.
            outOfMemory = true;
            return false;
        }
        return true;
    }
};

}  // namespace cf_internal
