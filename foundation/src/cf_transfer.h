#pragma once
// The one place where a request waits: an easy handle driven inside a multi
// handle by a curl_multi_poll loop with the library's own stall timer.
//
// A Stop sets the pool's flag and wakes the multi handle from another thread
// (curl_multi_wakeup); the loop checks the flag before the transfer starts
// and after each wait, and the pause between retries waits on the same poll.
// A streamed reply's sink hands each piece on and says whether it advanced
// the reply: keep-alives then do not hold off the stall limit.
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace cf_internal {

class Transfer {
public:
    /// What the sink made of a piece.
    enum class Take { Stop, Waiting, Advanced };
    /// Receives each piece of the body as it arrives; Stop (or an exception)
    /// ends the transfer with CURLE_WRITE_ERROR. Only Advanced resets the
    /// stall clock.
    using BodySink = std::function<Take(std::string_view piece)>;

    struct Outcome {
        CURLcode result = CURLE_OK;
        /// Ended by the stall limit: once the request was under way, nothing
        /// arrived (and nothing went out) for that long.
        bool stalled = false;
        /// The connection closed before the reply's header section ended,
        /// which libcurl lets pass as a complete reply (result is then
        /// CURLE_PARTIAL_FILE).
        bool headersCut = false;
        /// Ended because no piece advanced the reply within the first-progress
        /// limit; result is then CURLE_OPERATION_TIMEDOUT.
        bool firstProgressLate = false;
        /// Ended by a Stop; result is then CURLE_ABORTED_BY_CALLBACK.
        bool cancelled = false;
        /// Some byte of a reply (a header line or body) arrived.
        bool replyStarted = false;
        /// The last reply's retry-after-ms and Retry-After values, trimmed;
        /// empty when absent.
        std::string retryAfterMs;
        std::string retryAfter;
    };

    /// easy is set up except for its body, header and progress callbacks,
    /// which the transfer installs. stallLimit <= 0: no stall limit. multi
    /// holds the connection cache and outlives the transfer. stop (may be
    /// null) ends the transfer once true; whoever sets it wakes multi.
    /// firstProgressLimit > 0: the transfer ends when no piece advanced the
    /// reply that long after it started (a streamed reply's request limit).
    Transfer(CURLM* multi, CURL* easy, BodySink sink, std::chrono::milliseconds stallLimit,
             const std::atomic<bool>* stop = nullptr,
             std::chrono::milliseconds firstProgressLimit = std::chrono::milliseconds(0));
    /// Takes the easy handle out of the multi handle; a connection left mid-
    /// transfer is closed, a finished one stays cached for the next request.
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    /// Runs the transfer to its end: done, failed, stalled, stopped.
    Outcome run();

    /// Waits for pause on multi (no transfer in it), returning early when
    /// stop becomes true (false then; true when the pause ran out).
    static bool pause(CURLM* multi, std::chrono::milliseconds pause, const std::atomic<bool>* stop);

private:
    using Clock = std::chrono::steady_clock;

    static size_t onBody(char* data, size_t size, size_t count, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded);
    /// Whether the request has left (connection up): the stall clock runs from then on.
    bool underWay() const;
    bool stopped() const { return stop_ != nullptr && stop_->load(); }

    CURLM* multi_;
    CURL* easy_;
    BodySink sink_;
    std::chrono::milliseconds stallLimit_;
    const std::atomic<bool>* stop_;
    std::chrono::milliseconds firstProgressLimit_;
    bool advanced_ = false;
    bool added_ = false;
    Clock::time_point lastActivity_ = Clock::now();
    curl_off_t uploaded_ = 0;
    bool headersEnded_ = false;  // the blank line after the last reply's headers arrived
    bool replyStarted_ = false;
    std::string retryAfterMs_;
    std::string retryAfter_;
};

}  // namespace cf_internal
