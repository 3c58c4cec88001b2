// The retry policy: which failed attempts are tried again, and after what wait.
#include "cf_http_retry.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <thread>

namespace cf_internal {

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kLongestBackoff{8000};

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

}  // namespace

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

}  // namespace cf_internal
