#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cf/cf_export.h"

class COJson;
class ICOJsonValue;

/// Ordered name/value pairs, for query parameters and headers.
using CMRestParams = std::vector<std::pair<std::string, std::string>>;

/// Transport settings shared by every request of the library.
struct CF_API CMRestGlobalSettings {
    /// Time to establish the TCP/TLS connection.
    long connectTimeoutSeconds = 30;
    /// Whole request, reply included; non-streamed model replies can take minutes.
    /// For a streamed reply: the wait for its first text.
    long requestTimeoutSeconds = 300;
    /// A transfer that receives nothing for this long ends (dead connection);
    /// a streamed reply ends when no text came for this long (keep-alives aside).
    long stallTimeoutSeconds = 120;
    /// Proxy URL; empty: none.
    std::string proxy;
    /// Comma-separated hosts that bypass the proxy.
    std::string noProxy = "localhost,127.0.0.1,::1";
    bool verifyTLS = true;
    /// CA bundle in PEM; empty: the system store.
    std::string caFile;
    std::string userAgent = "libqai/1.0";
    /// Larger replies end as an error instead of filling the host's memory.
    int64_t maxResponseBytes = 64LL * 1024 * 1024;
    /// Further attempts after a failed one (at most 10): on 408, 409, 429 and
    /// 5xx replies and on connections that fail before any reply arrives,
    /// never on a time-out. 0: exactly one request per call.
    int maxRetries = 0;
    /// A server's retry-after-ms or Retry-After up to this long is waited for
    /// before a retry; a longer one gets the usual backoff (0.5 s doubling up
    /// to 8 s, less up to a quarter at random).
    long maxRetryAfterSeconds = 60;
};

/// A keep-alive connection cache. Requests of one assistant reuse its
/// connections, so consecutive requests to one host share one TCP/TLS link.
class CF_API ICSHTTPPoolCenter {
public:
    virtual ~ICSHTTPPoolCenter();
    /// Stop: ends the request running on the pool, or the wait before its
    /// retry, at once; it then fails with a "cancelled" error. Callable from
    /// any thread while the pool lives. A Stop between two calls of the
    /// pool's owner is forgotten when the next call arms the pool.
    virtual void cancelRequests() = 0;
};

/// A new, empty pool; the owner destroys it through its virtual destructor.
CF_API ICSHTTPPoolCenter* cfCreateHTTPPoolCenter();
/// Forgets an earlier Stop: the owner calls this as each of its calls
/// starts. Does nothing for a pool that cfCreateHTTPPoolCenter did not make.
CF_API void cfArmHTTPPoolCenter(ICSHTTPPoolCenter* pool);

/// The error domain (see ICSErrorDescriber) of a request ended by a Stop.
inline constexpr std::string_view kCMRestCancelledDomain = "cancelled";

/// What every request of one assistant shares: its pool and fixed headers.
class CF_API CMRestSession {
public:
    CMRestSession();
    ~CMRestSession();
    CMRestSession(const CMRestSession&) = delete;
    CMRestSession& operator=(const CMRestSession&) = delete;

    /// The pool the session's requests run on (not owned).
    void setPoolCenter(ICSHTTPPoolCenter* pool) { pool_ = pool; }
    ICSHTTPPoolCenter* obtainPoolCenter() const { return pool_; }

    /// Value of the Authorization header sent with every request.
    void setAuthorizationHeaderValue(const std::string& value);
    /// A header sent with every request.
    void addHeaderParam(const std::string& name, const std::string& value);

    const std::string& obtainAuthorizationHeaderValue() const { return authorization_; }
    const CMRestParams& obtainHeaderParams() const { return headers_; }
    /// False until setAuthorizationHeaderValue is called: no Authorization header.
    bool hasAuthorizationHeaderValue() const { return hasAuthorization_; }

private:
    ICSHTTPPoolCenter* pool_ = nullptr;
    std::string authorization_;
    bool hasAuthorization_ = false;
    CMRestParams headers_;
};

/// Value every request must carry in `tag` before it is executed.
inline constexpr uint64_t kCMRestRequestTag = 0x7AF634CA;

/// Common part of GET and POST requests.
class CF_API CMRestRequest {
public:
    /// Must be the first data member; set to kCMRestRequestTag by the sender.
    uint64_t tag = 0;

    void setURL(std::string url) { url_ = std::move(url); }
    void addQueryParams(const CMRestParams& params);
    void addHeaderParams(const CMRestParams& params);

    const std::string& obtainURL() const { return url_; }
    const CMRestParams& obtainQueryParams() const { return query_; }
    const CMRestParams& obtainHeaderParams() const { return headers_; }

private:
    std::string url_;
    CMRestParams query_;
    CMRestParams headers_;
};

class CF_API CMRestGetRequest : public CMRestRequest {};

class CF_API CMRestPostRequest : public CMRestRequest {
public:
    /// Serialises the body now; the value stays the caller's. Null: no body.
    void updateJson(const ICOJsonValue* body);
    const std::string& obtainBody() const { return body_; }
    bool hasBody() const { return hasBody_; }

private:
    std::string body_;
    bool hasBody_ = false;
};

/// Takes a reply body as it arrives, on the requesting thread.
class CF_API ICSRestStreamReceiver {
public:
    /// What a piece did for the transfer.
    enum class Progress {
        /// End the transfer now.
        Stop,
        /// Taken, but no progress (a keep-alive): the stall clock keeps running.
        Waiting,
        /// Taken, and the reply advanced.
        Advanced,
    };
    virtual ~ICSRestStreamReceiver();
    /// The body begins: true takes it through receive, false has it collected
    /// into the response.
    virtual bool acceptStream(long status, std::string_view contentType) = 0;
    /// One piece of any size (never empty). Must not throw.
    virtual Progress receive(std::string_view piece) = 0;
};

/// A completed exchange: status, raw body and, for a non-empty body, the
/// parsed JSON document (which may report itself invalid).
class CF_API CMRestResourceResponse {
public:
    CMRestResourceResponse(long status, std::string body);
    virtual ~CMRestResourceResponse();
    CMRestResourceResponse(const CMRestResourceResponse&) = delete;
    CMRestResourceResponse& operator=(const CMRestResourceResponse&) = delete;

    long obtainHTTPStatus() const { return status_; }
    const std::string& getBufferString() const { return body_; }
    /// Parsed body; null when the body was empty.
    COJson* obtainJson() const { return json_.get(); }

private:
    long status_;
    std::string body_;
    std::unique_ptr<COJson> json_;
};

/// Values shorter than this are too common to be keys and too likely to hit
/// ordinary words: they are never blanked.
inline constexpr size_t kShortestSecret = 8;
/// What a blanked secret reads as.
inline constexpr std::string_view kBlankedSecret = "[redacted]";

/// Replaces every occurrence of each secret in text by kBlankedSecret;
/// overlapping and adjacent occurrences become one marker.
CF_API void cfBlankSecrets(std::string& text, const std::vector<std::string_view>& secrets);

/// Blanks in text every secret a request to url over session may carry: the
/// Authorization value and the credential after its scheme word, the values
/// of the session's headers, the user information of url and of the proxy
/// (the proxy URL quoted whole loses it whatever its length), and extra.
/// session may be null and url empty.
CF_API void cfBlankSessionSecrets(std::string& text, const CMRestSession* session,
                                  const CMRestGlobalSettings& settings, std::string_view url,
                                  const std::vector<std::string_view>& extra = {});
