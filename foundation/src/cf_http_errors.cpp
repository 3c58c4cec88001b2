// The error describer: codes for failed requests and their plain-English texts.
#include "cf_http_errors.h"

#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

#include "cf/CFAppFactory.h"
#include "cf_http_internal.h"

namespace cf_internal {

namespace {

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

/// Whether a failed TLS handshake met a server speaking plain HTTP: OpenSSL
/// reads the start of an HTTP reply ("HTTP/1.1 ...") as a record header with
/// an impossible version or length.
bool answeredInPlainHttp(std::string_view detail) {
    for (const std::string_view sign : {"wrong version number", "packet length too long"}) {
        if (detail.find(sign) != std::string_view::npos) return true;
    }
    return false;
}

}  // namespace

int32_t recordError(std::string domain, std::string message) {
    const uint32_t sequence = t_errorSequence++;
    DescribedError& slot = t_errors[sequence % kErrorRingSize];
    slot.code = kFirstErrorCode + static_cast<int32_t>(sequence % kErrorCodeSpan);
    slot.domain = std::move(domain);
    slot.message = std::move(message);
    return slot.code;
}

std::string describeStatus(long status) {
    std::string text = "HTTP " + std::to_string(status);
    if (const char* reason = reasonPhrase(status)) text += std::string(" ") + reason;
    if (status >= 300 && status < 400) text += " (redirects are not followed)";
    return text;
}

std::string seconds(long value) { return std::to_string(value) + (value == 1 ? " second" : " seconds"); }

std::string describeFailure(CURL* handle, CURLcode result, const BodyBuffer& sink, const UrlParts& url,
                            const char* errorBuffer, const CMRestGlobalSettings& settings) {
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
            if (!settings.proxy.empty() && !bypassesProxy(url.host, settings.noProxy)) {
                const UrlParts proxy = parseProxy(settings.proxy);
                return "Could not connect to the proxy " + proxy.host + " port " + proxy.port + ": " + reason;
            }
            return "Could not connect to " + host + " port " + url.port + ": " + reason;
        }
        case CURLE_OPERATION_TIMEDOUT: {
            curl_off_t pretransfer = 0;
            curl_easy_getinfo(handle, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
            const long connectLimit = settings.connectTimeoutSeconds;
            const long requestLimit = settings.requestTimeoutSeconds;
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
            return "Could not load the CA file \"" + settings.caFile + "\": " + detail;
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
            return "Response from " + host + " exceeded " + std::to_string(settings.maxResponseBytes) +
                   " bytes";
        case CURLE_WRITE_ERROR:
            if (sink.tooLarge) {
                return "Response from " + host + " exceeded " + std::to_string(settings.maxResponseBytes) +
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
            // libcurl names a reply that is no HTTP at all (HTTP/0.9) so, too.
            if (url.scheme == "http" || url.scheme == "https")
                return host + " sent a reply that is not HTTP: " + detail;
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

ICSErrorDescriber* obtainErrorDescriber() {
    static ErrorDescriber describer;
    return &describer;
}

}  // namespace cf_internal
