#pragma once
// The two ways a request leaves the library: a GET or a POST over an
// assistant's session, with the library's HTTP settings.
#include <memory>
#include <string>

#include "cf/CMRest.h"
#include "cf/COJson.h"

/// Ordered name/value pairs for query parameters or per-request headers.
using HTTPParams = CMRestParams;

/// What a request gave back: the response (may be null, also next to an
/// error text) and the transport's error text (empty: the exchange completed
/// with a status below 400).
struct HTTPResult {
    std::unique_ptr<CMRestResourceResponse> response;
    std::string error;
};

namespace HTTP {
HTTPResult Get(CMRestSession* session, const std::string& url, const HTTPParams& query,
               const HTTPParams& headers);
/// body may be null (no body); it stays the caller's.
HTTPResult Post(CMRestSession* session, const std::string& url, const ICOJsonValue* body,
                const HTTPParams& query, const HTTPParams& headers);
/// Post whose reply body goes to receiver when it takes it as a stream.
HTTPResult PostStreaming(CMRestSession* session, const std::string& url, const ICOJsonValue* body,
                         const HTTPParams& query, ICSRestStreamReceiver* receiver);
}  // namespace HTTP
