#pragma once
// The plain-English texts of failed requests, and the codes that stand for them.
#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "cf/CMRest.h"
#include "cf_http_request.h"

namespace cf_internal {

/// A new code that stands for domain and message on this thread (see
/// obtainErrorDescriber).
int32_t recordError(std::string domain, std::string message);

/// "HTTP 404 Not Found": the status, its reason and, for a redirect, that it was not followed.
std::string describeStatus(long status);

/// "1 second", "30 seconds".
std::string seconds(long value);

/// Why a transfer to url that ended in result failed, in words; sink and
/// errorBuffer are the transfer's, settings those it ran with.
std::string describeFailure(CURL* handle, CURLcode result, const BodyBuffer& sink, const UrlParts& url,
                            const char* errorBuffer, const CMRestGlobalSettings& settings);

}  // namespace cf_internal
