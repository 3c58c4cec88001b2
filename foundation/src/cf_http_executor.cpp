// The executor: runs a request on a leased handle, retries it, and reads how it ended.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"
#include "cf_http_errors.h"
#include "cf_http_internal.h"
#include "cf_http_pool.h"
#include "cf_http_request.h"
#include "cf_http_retry.h"
#include "cf_transfer.h"

namespace cf_internal {

namespace {

const CMRestGlobalSettings& defaultSettings() {
    static const CMRestGlobalSettings settings;
    return settings;
}

/// The code of a request ended by a Stop; its text is the caller's to word.
int32_t cancelled() { return recordError(std::string(kCMRestCancelledDomain), "Request cancelled"); }

/// One request on its way: everything the handle points to, and what the
/// attempts came to.
struct Exchange {
    CMRestRequest* request = nullptr;
    CMRestPostRequest* post = nullptr;          // null for a GET
    ICSRestStreamReceiver* receiver = nullptr;  // null: the reply is collected
    std::string url{};
    Slist headerList{};
    BodyBuffer sink{};
    char errorBuffer[CURL_ERROR_SIZE] = {};
    /// How the last attempt ended, and whether the receiver took its body.
    cf_internal::Transfer::Outcome outcome{};
    bool streamed = false;
};

/// Why a request failed: its error domain ("transport" or "http") and text.
struct Failure {
    std::string domain;
    std::string message;
};

class RestExecutor final : public ICSRestExecutor {
public:
    RestExecutor(const CMRestGlobalSettings* settings, CMRestSession* session)
        : settings_(settings != nullptr ? *settings : defaultSettings()), session_(session) {}

    int32_t executeGet(CMRestGetRequest* request, CMRestResourceResponse** response) override {
        return execute(request, nullptr, response);
    }

    int32_t executePost(CMRestPostRequest* request, CMRestResourceResponse** response) override {
        return execute(request, request, response);
    }

    int32_t executePostStreaming(CMRestPostRequest* request, ICSRestStreamReceiver* receiver,
                                 CMRestResourceResponse** response) override {
        return execute(request, request, response, receiver);
    }

private:
    /// Lease, prepare, transfer (with retries), read the outcome, describe the failure.
    int32_t execute(CMRestRequest* request, CMRestPostRequest* post, CMRestResourceResponse** response,
                    ICSRestStreamReceiver* receiver = nullptr);
    void prepare(CURL* handle, Exchange& exchange) const;
    bool transferWithRetries(const HandleLease& lease, Exchange& exchange) const;
    std::optional<Failure> readOutcome(CURL* handle, Exchange& exchange,
                                       CMRestResourceResponse** response) const;
    int32_t recordFailure(const Exchange& exchange, Failure failure) const;

    const CMRestGlobalSettings& settings_;
    CMRestSession* session_;
};

int32_t programmingError(const std::string& what) {
    return recordError("request", what + " (programming error)");
}

int32_t RestExecutor::execute(CMRestRequest* request, CMRestPostRequest* post,
                              CMRestResourceResponse** response, ICSRestStreamReceiver* receiver) {
    if (response == nullptr) return programmingError("Request refused: no place for the response");
    *response = nullptr;
    if (request == nullptr) return programmingError("Request refused: no request");
    if (request->tag != kCMRestRequestTag) {
        return programmingError("Request refused: the request does not carry the request tag");
    }

    Exchange exchange{request, post, receiver};  // before the lease: the handle points into it
    exchange.url = appendQuery(request->obtainURL(), request->obtainQueryParams());
    exchange.headerList = requestHeaders(session_, request, post);

    ensureCurlGlobalInit();
    HandleLease lease(session_ != nullptr ? session_->obtainPoolCenter() : nullptr);
    CURL* handle = lease.get().easy;
    if (handle == nullptr || lease.get().multi == nullptr || !exchange.headerList)
        return recordFailure(exchange, {"transport", "Could not start the request: out of memory"});
    if (lease.stopFlag() != nullptr && lease.stopFlag()->load()) return cancelled();

    prepare(handle, exchange);
    if (!transferWithRetries(lease, exchange)) return cancelled();
    std::optional<Failure> failure = readOutcome(handle, exchange, response);
    return failure ? recordFailure(exchange, std::move(*failure)) : 0;
}

/// Sets the handle up for the exchange: where to, with which limits, through
/// which proxy and trusting what, with which headers and body.
void RestExecutor::prepare(CURL* handle, Exchange& exchange) const {
    exchange.sink.limit = std::max<int64_t>(settings_.maxResponseBytes, 0);
    curl_easy_setopt(handle, CURLOPT_URL, exchange.url.c_str());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, exchange.errorBuffer);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // Redirects end as errors: fixed headers carry keys and must never be
    // replayed to another host.
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, std::max(settings_.connectTimeoutSeconds, 0L));
    // A streamed reply may flow for longer than the request limit, which then
    // bounds the wait for its first progress instead (see transferWithRetries).
    curl_easy_setopt(handle, CURLOPT_TIMEOUT,
                     exchange.receiver != nullptr ? 0L : std::max(settings_.requestTimeoutSeconds, 0L));
    // An empty proxy string keeps libcurl from reading the proxy environment
    // variables: the library's configuration is its settings alone.
    curl_easy_setopt(handle, CURLOPT_PROXY, settings_.proxy.c_str());
    curl_easy_setopt(handle, CURLOPT_NOPROXY, settings_.noProxy.c_str());
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, settings_.verifyTLS ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, settings_.verifyTLS ? 2L : 0L);
    if (!settings_.caFile.empty()) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, settings_.caFile.c_str());
    } else {
#if defined(_WIN32)
        // No CA bundle is built in on Windows: trust the system certificate store.
        curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
#endif
    }
    curl_easy_setopt(handle, CURLOPT_USERAGENT, settings_.userAgent.c_str());
    if (exchange.sink.limit > 0)
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(exchange.sink.limit));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, exchange.headerList.get());
    if (exchange.post != nullptr) {
        const std::string& body = exchange.post->obtainBody();
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
    } else {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    }
}

/// Runs the transfer, and again while an attempt's end is worth another and
/// retries are left; false when a Stop or the receiver ended it.
bool RestExecutor::transferWithRetries(const HandleLease& lease, Exchange& exchange) const {
    CURL* handle = lease.get().easy;
    ICSRestStreamReceiver* receiver = exchange.receiver;
    BodyBuffer& sink = exchange.sink;
    cf_internal::Transfer::Outcome& outcome = exchange.outcome;
    bool& streamed = exchange.streamed;
    // Clamped to a month, so that no setting overflows the clock arithmetic.
    const std::chrono::milliseconds stallLimit(std::clamp(settings_.stallTimeoutSeconds, 0L, 30L * 86400) *
                                               1000);
    const std::chrono::milliseconds firstProgressLimit(
        receiver != nullptr ? std::clamp(settings_.requestTimeoutSeconds, 0L, 30L * 86400) * 1000 : 0);
    const std::atomic<bool>* stop = lease.stopFlag();
    const int retries = std::clamp(settings_.maxRetries, 0, kMostRetries);
    // Whether the receiver stopped the current attempt.
    bool receiverStopped = false;
    using Take = cf_internal::Transfer::Take;
    for (int attempt = 0;; ++attempt) {
        // Only the last attempt's reply is kept; each gets its own time limits.
        sink.body.clear();
        exchange.errorBuffer[0] = '\0';
        bool decided = receiver == nullptr;
        streamed = false;
        int64_t streamedBytes = 0;
        const auto take = [&](std::string_view piece) -> Take {
            if (!decided) {
                decided = true;
                long status = 0;
                char* contentType = nullptr;
                curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
                curl_easy_getinfo(handle, CURLINFO_CONTENT_TYPE, &contentType);
                streamed = receiver->acceptStream(status, contentType != nullptr ? contentType : "");
            }
            if (!streamed) return sink.append(piece) ? Take::Advanced : Take::Stop;
            streamedBytes += static_cast<int64_t>(piece.size());
            if (sink.limit > 0 && streamedBytes > sink.limit) {
                sink.tooLarge = true;
                return Take::Stop;
            }
            switch (receiver->receive(piece)) {
                case ICSRestStreamReceiver::Progress::Waiting:
                    return Take::Waiting;
                case ICSRestStreamReceiver::Progress::Advanced:
                    return Take::Advanced;
                case ICSRestStreamReceiver::Progress::Stop:
                    break;
            }
            receiverStopped = true;
            return Take::Stop;
        };
        cf_internal::Transfer transfer(lease.get().multi, handle, take, stallLimit, stop, firstProgressLimit);
        outcome = transfer.run();
        if (outcome.cancelled || receiverStopped) return false;
        if (attempt >= retries) return true;
        long status = 0;
        if (outcome.result == CURLE_OK) curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        if (!worthRetrying(outcome, status)) return true;
        const std::chrono::milliseconds delay = retryDelay(outcome, attempt, settings_.maxRetryAfterSeconds);
        if (!cf_internal::Transfer::pause(lease.get().multi, delay, stop)) return false;
    }
}

/// What the last attempt came to: nothing for a reply with a status below
/// 300, else why the request failed. A reply, failed or not, goes to response.
std::optional<Failure> RestExecutor::readOutcome(CURL* handle, Exchange& exchange,
                                                 CMRestResourceResponse** response) const {
    const cf_internal::Transfer::Outcome& outcome = exchange.outcome;
    const UrlParts parts = parseUrl(exchange.url);
    const std::string host = parts.host.empty() ? std::string("the server") : parts.host;
    if (outcome.stalled && exchange.streamed) {
        return Failure{"transport", "Request to " + host + " stalled: no reply text came for " +
                                        seconds(settings_.stallTimeoutSeconds)};
    }
    if (outcome.stalled) {
        return Failure{"transport", "Request to " + host + " stalled: nothing received for " +
                                        seconds(settings_.stallTimeoutSeconds)};
    }
    if (outcome.firstProgressLate) {
        return Failure{"transport", "Request to " + host + " timed out after " +
                                        seconds(settings_.requestTimeoutSeconds) + ": no reply text came"};
    }
    if (outcome.headersCut)
        return Failure{"transport",
                       "The reply from " + host + " ended early: the connection closed inside the headers"};
    if (outcome.result != CURLE_OK) {
        return Failure{"transport", describeFailure(handle, outcome.result, exchange.sink, parts,
                                                    exchange.errorBuffer, settings_)};
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status <= 0) return Failure{"transport", "No HTTP reply from " + parts.host};
    *response = new CMRestResourceResponse(status, std::move(exchange.sink.body));
    if (status >= 300) return Failure{"http", describeStatus(status)};
    return std::nullopt;
}

/// Describes the failure for the host: its text, with every secret the
/// request carried blanked, under a new code. Secrets are gathered only here,
/// so a success costs nothing.
int32_t RestExecutor::recordFailure(const Exchange& exchange, Failure failure) const {
    std::vector<std::string_view> secrets;
    for (const auto& param : exchange.request->obtainHeaderParams()) secrets.emplace_back(param.second);
    for (const auto& param : exchange.request->obtainQueryParams()) secrets.emplace_back(param.second);
    cfBlankSessionSecrets(failure.message, session_, settings_, exchange.url, secrets);
    return recordError(std::move(failure.domain), std::move(failure.message));
}

}  // namespace

ICSRestExecutor* createRestExecutor(const CMRestGlobalSettings* settings, CMRestSession* session) {
    ensureCurlGlobalInit();
    return new RestExecutor(settings, session);
}

}  // namespace cf_internal
