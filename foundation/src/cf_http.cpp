// HTTP over libcurl: the keep-alive pool, the synchronous executor and the
// describer that turns its codes into plain-English texts.
#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cf/CFAppFactory.h"
#include "cf/CFText.h"
#include "cf/CMRest.h"
#include "cf_http_internal.h"
#include "cf_transfer.h"

namespace {

void ensureCurlGlobalInit() {
    // Once per process; libcurl wants this before any other call and before
    // threads race to create handles. Never cleaned up: handles may outlive
    // static destruction in hosts that unload late.
    static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)initialized;
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// ---------------------------------------------------------------------------
// Pool

/// The handles a request runs on: an easy handle and the multi handle that
/// drives it and holds its connection cache.
struct Handles {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
};

/// One easy handle and one multi handle reused for every request of their
/// owner: curl_easy_reset clears the options, and the multi handle keeps the
/// connections, so the next request to the same host rides the same TCP/TLS
/// connection. The pool also carries its owner's Stop: a flag that the
/// owner's calls clear when they start, and that a Stop sets from any thread
/// before waking the multi handle out of its poll.
class HTTPPoolCenter final : public ICSHTTPPoolCenter {
public:
    HTTPPoolCenter() : multi_(curl_multi_init()) {}

    /// The pooled handles, the easy one's options cleared by release, or
    /// nulls when they are in use (a nested request) or could not be created.
    Handles acquire() {
        if (busy_.exchange(true)) return {};
        if (!easy_) easy_.reset(curl_easy_init());
        if (!multi_ || !easy_) {
            busy_ = false;
            return {};
        }
        return {multi_.get(), easy_.get()};
    }
    /// Drops the options of the finished request, which point into its frame;
    /// the live connections stay.
    void release() {
        curl_easy_reset(easy_.get());
        busy_ = false;
    }

    void cancelRequests() override {
        stopped_ = true;
        // Thread-safe by libcurl's contract; a wakeup with nobody polling
        // only shortens the next wait once.
        if (multi_) curl_multi_wakeup(multi_.get());
    }
    void arm() { stopped_ = false; }
    const std::atomic<bool>* stopFlag() const { return &stopped_; }

private:
    // The multi handle is declared first so that it is destroyed last: the
    // easy handle, already out of it after each transfer, goes before the
    // connection cache closes. It is made once, in the constructor, so that
    // a Stop from another thread never sees it change.
    MultiHandle multi_;
    EasyHandle easy_;
    std::atomic<bool> busy_{false};  // a second user gets temporary handles
    std::atomic<bool> stopped_{false};
};

/// The handles one request runs on: the pool's when there is one, otherwise
/// temporary handles whose connections close with them.
class HandleLease {
public:
    explicit HandleLease(ICSHTTPPoolCenter* pool) {
        pool_ = dynamic_cast<HTTPPoolCenter*>(pool);
        if (pool_ != nullptr) handles_ = pool_->acquire();
        if (handles_.easy == nullptr) {
            pool_ = nullptr;
            temporaryMulti_.reset(curl_multi_init());
            temporaryEasy_.reset(curl_easy_init());
            handles_ = {temporaryMulti_.get(), temporaryEasy_.get()};
        }
    }
    ~HandleLease() {
        if (pool_ != nullptr) pool_->release();
    }
    HandleLease(const HandleLease&) = delete;
    HandleLease& operator=(const HandleLease&) = delete;

    /// Both null-checked by the caller.
    const Handles& get() const { return handles_; }
    /// The pool's Stop flag; null on temporary handles, which no Stop reaches.
    const std::atomic<bool>* stopFlag() const { return pool_ != nullptr ? pool_->stopFlag() : nullptr; }

private:
    HTTPPoolCenter* pool_ = nullptr;
    MultiHandle temporaryMulti_;  // declared first: destroyed after the easy handle
    EasyHandle temporaryEasy_;
    Handles handles_;
};

// ---------------------------------------------------------------------------
// Error descriptions

/// Codes handed out start here so that they never look like curl codes.
constexpr int32_t kFirstErrorCode = 1000;
constexpr uint32_t kErrorCodeSpan = 1000000;
constexpr size_t kErrorRingSize = 32;

struct DescribedError {
    int32_t code = 0;
    std::string domain;
    std::string message;
};

// Each thread describes the codes it was given, so the ring needs no lock; a
// code is found as long as fewer than kErrorRingSize later errors happened on
// the thread.
thread_local std::array<DescribedError, kErrorRingSize> t_errors;
thread_local uint32_t t_errorSequence = 0;

int32_t recordError(std::string domain, std::string message) {
    const uint32_t sequence = t_errorSequence++;
    DescribedError& slot = t_errors[sequence % kErrorRingSize];
    slot.code = kFirstErrorCode + static_cast<int32_t>(sequence % kErrorCodeSpan);
    slot.domain = std::move(domain);
    slot.message = std::move(message);
    return slot.code;
}

class ErrorDescriber final : public ICSErrorDescriber {
public:
    void describe(int32_t code, CMErrorRecord& record) override {
        for (const DescribedError& error : t_errors) {
            if (error.code == code && code != 0) {
                record.domain = error.domain;
                record.message = error.message;
                return;
            }
        }
        record.domain = "request";
        record.message = "Request failed (code " + std::to_string(code) + ")";
    }
};

const char* reasonPhrase(long status) {
    switch (status) {
        case 300:
            return "Multiple Choices";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 402:
            return "Payment Required";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 406:
            return "Not Acceptable";
        case 407:
            return "Proxy Authentication Required";
        case 408:
            return "Request Timeout";
        case 409:
            return "Conflict";
        case 410:
            return "Gone";
        case 411:
            return "Length Required";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 415:
            return "Unsupported Media Type";
        case 422:
            return "Unprocessable Entity";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return nullptr;
    }
}

std::string describeStatus(long status) {
    std::string text = "HTTP " + std::to_string(status);
    if (const char* reason = reasonPhrase(status)) text += std::string(" ") + reason;
    if (status >= 300 && status < 400) text += " (redirects are not followed)";
    return text;
}

/// Words for the socket error libcurl reports: errno values, or on Windows
/// the Winsock codes (which curl.h's winsock2.h defines).
std::string describeSocketError(long osError) {
#if defined(_WIN32)
    constexpr long kRefused = WSAECONNREFUSED, kReset = WSAECONNRESET, kNetUnreachable = WSAENETUNREACH,
                   kHostUnreachable = WSAEHOSTUNREACH, kTimedOut = WSAETIMEDOUT,
                   kAddressNotAvailable = WSAEADDRNOTAVAIL;
#else
    constexpr long kRefused = ECONNREFUSED, kReset = ECONNRESET, kNetUnreachable = ENETUNREACH,
                   kHostUnreachable = EHOSTUNREACH, kTimedOut = ETIMEDOUT,
                   kAddressNotAvailable = EADDRNOTAVAIL;
#endif
    switch (osError) {
        case kRefused:
            return "connection refused";
        case kReset:
            return "connection reset";
        case kNetUnreachable:
            return "network is unreachable";
        case kHostUnreachable:
            return "host is unreachable";
        case kTimedOut:
            return "timed out";
        case kAddressNotAvailable:
            return "address not available";
        default:
            return "";
    }
}

std::string seconds(long value) { return std::to_string(value) + (value == 1 ? " second" : " seconds"); }

// ---------------------------------------------------------------------------
// Request building

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

struct UrlParts {
    std::string host;  // empty when the URL does not parse
    std::string port;
    std::string scheme;  // lower case
};

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

/// Whether a failed TLS handshake met a server speaking plain HTTP: OpenSSL
/// reads the start of an HTTP reply ("HTTP/1.1 ...") as a record header with
/// an impossible version or length.
bool answeredInPlainHttp(std::string_view detail) {
    for (const std::string_view sign : {"wrong version number", "packet length too long"}) {
        if (detail.find(sign) != std::string_view::npos) return true;
    }
    return false;
}

/// Host and port of the proxy URL (never its credentials); libcurl's proxy
/// port is 1080 unless the URL names one.
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

/// Whether host bypasses the proxy by the comma-separated noProxy list, as
/// libcurl decides it: "*" matches every host, other entries match the host
/// itself and its subdomains.
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

const CMRestGlobalSettings& defaultSettings() {
    static const CMRestGlobalSettings settings;
    return settings;
}

// ---------------------------------------------------------------------------
// Retries

/// More retries than this are never made, whatever the settings say.
constexpr int kMostRetries = 10;
constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kLongestBackoff{8000};

/// Whether an attempt's end is worth another attempt: a status that says the
/// trouble may pass (408, 409, 429, 5xx), or a connection that failed before
/// any byte of a reply arrived. A time-out never is: the next attempt would
/// only make the caller wait as long again.
bool worthRetrying(const cf_internal::Transfer::Outcome& outcome, long status) {
    if (outcome.cancelled || outcome.stalled) return false;
    if (outcome.result == CURLE_OK)
        return status == 408 || status == 409 || status == 429 || (status >= 500 && status <= 599);
    if (outcome.replyStarted) return false;
    switch (outcome.result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return true;
        default:
            return false;
    }
}

/// The wait the server asked for, when it asked for one within cap: the
/// milliseconds of retry-after-ms, else Retry-After in seconds or as an HTTP date.
std::optional<std::chrono::milliseconds> serverDelay(const cf_internal::Transfer::Outcome& outcome,
                                                     long capSeconds) {
    double milliseconds = -1;
    const auto number = [](const std::string& text, double& value) {
        const char* end = text.data() + text.size();
        const auto [next, error] = std::from_chars(text.data(), end, value);
        return error == std::errc() && next == end && std::isfinite(value);
    };
    double value = 0;
    if (!outcome.retryAfterMs.empty() && number(outcome.retryAfterMs, value)) {
        milliseconds = value;
    } else if (!outcome.retryAfter.empty()) {
        if (number(outcome.retryAfter, value)) {
            milliseconds = value * 1000;
        } else if (const time_t date = curl_getdate(outcome.retryAfter.c_str(), nullptr); date != -1) {
            milliseconds = std::difftime(date, std::time(nullptr)) * 1000;
        }
    }
    // Waits beyond the cap, or none at all, fall back to the backoff.
    if (milliseconds <= 0 || milliseconds > static_cast<double>(std::max(capSeconds, 0L)) * 1000) return {};
    return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(milliseconds)));
}

/// Before retry number retry (0 for the first): what the server asked for,
/// else 0.5 s doubled per retry up to 8 s, less up to a quarter at random so
/// that many clients do not return in step.
std::chrono::milliseconds retryDelay(const cf_internal::Transfer::Outcome& outcome, int retry,
                                     long capSeconds) {
    if (const auto asked = serverDelay(outcome, capSeconds)) return *asked;
    const std::chrono::milliseconds backoff =
        std::min(kFirstBackoff * (int64_t{1} << std::min(retry, 5)), kLongestBackoff);
    thread_local std::minstd_rand jitter(static_cast<unsigned>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^
        static_cast<int64_t>(std::hash<std::thread::id>()(std::this_thread::get_id()))));
    const double share = 1.0 - 0.25 * std::uniform_real_distribution<double>(0.0, 1.0)(jitter);
    return std::chrono::milliseconds(static_cast<int64_t>(static_cast<double>(backoff.count()) * share));
}

/// The code of a request ended by a Stop; its text is the caller's to word.
int32_t cancelled() { return recordError(std::string(kCMRestCancelledDomain), "Request cancelled"); }

// ---------------------------------------------------------------------------
// Executor

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
    int32_t execute(CMRestRequest* request, CMRestPostRequest* post, CMRestResourceResponse** response,
                    ICSRestStreamReceiver* receiver = nullptr);
    std::string describeFailure(CURL* handle, CURLcode result, const BodyBuffer& sink, const UrlParts& url,
                                const char* errorBuffer) const;

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

    const std::string url = appendQuery(request->obtainURL(), request->obtainQueryParams());
    const UrlParts parts = parseUrl(url);

    HeaderSet headers;
    headers.set("Accept", "application/json");
    std::vector<std::string> removals = {"Expect"};  // no 100-continue round trip before a body
    if (post != nullptr && post->hasBody()) {
        headers.set("Content-Type", "application/json");
    } else if (post != nullptr) {
        removals.emplace_back("Content-Type");  // curl would claim a form otherwise
    }
    if (session_ != nullptr) {
        if (session_->hasAuthorizationHeaderValue())
            headers.set("Authorization", session_->obtainAuthorizationHeaderValue());
        for (const auto& [name, value] : session_->obtainHeaderParams()) headers.set(name, value);
    }
    for (const auto& [name, value] : request->obtainHeaderParams()) headers.set(name, value);

    // Secrets are gathered only when a text is worded: a success costs nothing.
    auto fail = [this, request, &url](std::string domain, std::string message) {
        std::vector<std::string_view> secrets;
        for (const auto& param : request->obtainHeaderParams()) secrets.emplace_back(param.second);
        for (const auto& param : request->obtainQueryParams()) secrets.emplace_back(param.second);
        cfBlankSessionSecrets(message, session_, settings_, url, secrets);
        return recordError(std::move(domain), std::move(message));
    };

    // Everything the handle points to is declared before the lease, so it
    // outlives the handle's use, reset or cleanup.
    Slist headerList = headers.toList(removals);
    BodyBuffer sink;
    sink.limit = std::max<int64_t>(settings_.maxResponseBytes, 0);
    char errorBuffer[CURL_ERROR_SIZE] = {};

    ensureCurlGlobalInit();
    HandleLease lease(session_ != nullptr ? session_->obtainPoolCenter() : nullptr);
    CURL* handle = lease.get().easy;
    if (handle == nullptr || lease.get().multi == nullptr || !headerList)
        return fail("transport", "Could not start the request: out of memory");
    if (lease.stopFlag() != nullptr && lease.stopFlag()->load()) return cancelled();

    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // Redirects end as errors: fixed headers carry keys and must never be
    // replayed to another host.
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, std::max(settings_.connectTimeoutSeconds, 0L));
    // A streamed reply may flow for longer than the request limit, which then
    // bounds the wait for its first progress instead (below).
    curl_easy_setopt(handle, CURLOPT_TIMEOUT,
                     receiver != nullptr ? 0L : std::max(settings_.requestTimeoutSeconds, 0L));
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
    if (sink.limit > 0)
        curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.limit));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());
    if (post != nullptr) {
        const std::string& body = post->obtainBody();
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
    } else {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    }

    // Clamped to a month, so that no setting overflows the clock arithmetic.
    const std::chrono::milliseconds stallLimit(std::clamp(settings_.stallTimeoutSeconds, 0L, 30L * 86400) *
                                               1000);
    const std::chrono::milliseconds firstProgressLimit(
        receiver != nullptr ? std::clamp(settings_.requestTimeoutSeconds, 0L, 30L * 86400) * 1000 : 0);
    const std::atomic<bool>* stop = lease.stopFlag();
    const int retries = std::clamp(settings_.maxRetries, 0, kMostRetries);
    cf_internal::Transfer::Outcome outcome;
    // Whether the receiver took the current attempt's body, and stopped it.
    bool streamed = false;
    bool receiverStopped = false;
    using Take = cf_internal::Transfer::Take;
    for (int attempt = 0;; ++attempt) {
        // Only the last attempt's reply is kept; each gets its own time limits.
        sink.body.clear();
        errorBuffer[0] = '\0';
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
        if (outcome.cancelled || receiverStopped) return cancelled();
        if (attempt >= retries) break;
        long status = 0;
        if (outcome.result == CURLE_OK) curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        if (!worthRetrying(outcome, status)) break;
        const std::chrono::milliseconds delay = retryDelay(outcome, attempt, settings_.maxRetryAfterSeconds);
        if (!cf_internal::Transfer::pause(lease.get().multi, delay, stop)) return cancelled();
    }

    const std::string host = parts.host.empty() ? std::string("the server") : parts.host;
    if (outcome.stalled && streamed) {
        return fail("transport", "Request to " + host + " stalled: no reply text came for " +
                                     seconds(settings_.stallTimeoutSeconds));
    }
    if (outcome.stalled) {
        return fail("transport", "Request to " + host + " stalled: nothing received for " +
                                     seconds(settings_.stallTimeoutSeconds));
    }
    if (outcome.firstProgressLate) {
        return fail("transport", "Request to " + host + " timed out after " +
                                     seconds(settings_.requestTimeoutSeconds) + ": no reply text came");
    }
    if (outcome.headersCut)
        return fail("transport",
                    "The reply from " + host + " ended early: the connection closed inside the headers");
    if (outcome.result != CURLE_OK) {
        return fail("transport", describeFailure(handle, outcome.result, sink, parts, errorBuffer));
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status <= 0) return fail("transport", "No HTTP reply from " + parts.host);
    *response = new CMRestResourceResponse(status, std::move(sink.body));
    if (status >= 300) return fail("http", describeStatus(status));
    return 0;
}

std::string RestExecutor::describeFailure(CURL* handle, CURLcode result, const BodyBuffer& sink,
                                          const UrlParts& url, const char* errorBuffer) const {
    const std::string host = url.host.empty() ? std::string("the server") : url.host;
    std::string detail = errorBuffer;
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r')) detail.pop_back();
    if (detail.empty()) detail = curl_easy_strerror(result);

    switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return "Could not resolve host " + host;
        case CURLE_COULDNT_RESOLVE_PROXY:
            return "Could not resolve the proxy host: " + detail;
        case CURLE_COULDNT_CONNECT: {
            long osErrno = 0;
            curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osErrno);
            std::string reason = describeSocketError(osErrno);
            if (reason.empty()) reason = detail;
            if (!settings_.proxy.empty() && !bypassesProxy(url.host, settings_.noProxy)) {
                const UrlParts proxy = parseProxy(settings_.proxy);
                return "Could not connect to the proxy " + proxy.host + " port " + proxy.port + ": " + reason;
            }
            return "Could not connect to " + host + " port " + url.port + ": " + reason;
        }
        case CURLE_OPERATION_TIMEDOUT: {
            curl_off_t pretransfer = 0;
            curl_easy_getinfo(handle, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
            const long connectLimit = settings_.connectTimeoutSeconds;
            const long requestLimit = settings_.requestTimeoutSeconds;
            if (pretransfer == 0 && connectLimit > 0 && (requestLimit <= 0 || connectLimit <= requestLimit)) {
                return "Connection to " + host + " port " + url.port + " timed out after " +
                       seconds(connectLimit);
            }
            return "Request to " + host + " timed out after " + seconds(requestLimit);
        }
        case CURLE_PEER_FAILED_VERIFICATION:
            return "The TLS certificate of " + host + " could not be verified: " + detail;
        case CURLE_SSL_CONNECT_ERROR:
            if (url.scheme == "https" && answeredInPlainHttp(detail)) {
                return host + " port " + url.port + " answered in plain HTTP, not TLS: use http://" + host +
                       ":" + url.port;
            }
            return "TLS handshake with " + host + " failed: " + detail;
        case CURLE_SSL_CACERT_BADFILE:
            return "Could not load the CA file \"" + settings_.caFile + "\": " + detail;
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
            return "TLS error with " + host + ": " + detail;
        case CURLE_FILESIZE_EXCEEDED:
            return "Response from " + host + " exceeded " + std::to_string(settings_.maxResponseBytes) +
                   " bytes";
        case CURLE_WRITE_ERROR:
            if (sink.tooLarge) {
                return "Response from " + host + " exceeded " + std::to_string(settings_.maxResponseBytes) +
                       " bytes";
            }
            if (sink.outOfMemory) return "Response from " + host + " did not fit in memory";
            break;
        case CURLE_GOT_NOTHING:
            return host + " closed the connection without replying";
        case CURLE_PARTIAL_FILE:
            return "The reply from " + host + " ended early: " + detail;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return "Connection to " + host + " broke: " + detail;
        case CURLE_WEIRD_SERVER_REPLY:
            return host + " sent an invalid HTTP reply: " + detail;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return "Unsupported URL scheme for " + host + ": only http and https are allowed";
        case CURLE_URL_MALFORMAT:
            return "Invalid URL" + (url.host.empty() ? std::string() : " for host " + url.host);
        case CURLE_OUT_OF_MEMORY:
            return "Request to " + host + " ran out of memory";
        default:
            break;
    }
    return "Request to " + host + " failed: " + detail;
}

}  // namespace

ICSHTTPPoolCenter* cfCreateHTTPPoolCenter() {
    ensureCurlGlobalInit();
    return new HTTPPoolCenter();
}

void cfArmHTTPPoolCenter(ICSHTTPPoolCenter* pool) {
    if (auto* own = dynamic_cast<HTTPPoolCenter*>(pool)) own->arm();
}

namespace cf_internal {

ICSRestExecutor* createRestExecutor(const CMRestGlobalSettings* settings, CMRestSession* session) {
    ensureCurlGlobalInit();
    return new RestExecutor(settings, session);
}

ICSErrorDescriber* obtainErrorDescriber() {
    static ErrorDescriber describer;
    return &describer;
}

}  // namespace cf_internal
