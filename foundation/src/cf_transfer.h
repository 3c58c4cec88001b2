#pragma once
// The one place where a request waits: an easy handle driven inside a multi
// handle by a curl_multi_poll loop with the library's own stall timer.
//
// Later work hooks in here and nowhere else: a Stop calls wake() from another
// thread after setting its flag, and the loop checks the flag after each wait;
// retries wait between attempts with the same poll; streaming passes a sink
// that hands each piece on instead of collecting it.
#include <curl/curl.h>

#include <chrono>
#include <functional>
#include <string_view>

namespace cf_internal {

class Transfer {
public:
    /// Receives each piece of the body as it arrives; false (or an exception)
    /// ends the transfer with CURLE_WRITE_ERROR.
    using BodySink = std::function<bool(std::string_view piece)>;

    struct Outcome {
        CURLcode result = CURLE_OK;
        /// Ended by the stall limit: once the request was under way, nothing
        /// arrived (and nothing went out) for that long.
        bool stalled = false;
        /// The connection closed before the reply's header section ended,
        /// which libcurl lets pass as a complete reply (result is then
        /// CURLE_PARTIAL_FILE).
        bool headersCut = false;
    };

    /// easy is set up except for its body, header and progress callbacks,
    /// which the transfer installs. stallLimit <= 0: no stall limit. multi
    /// holds the connection cache and outlives the transfer.
    Transfer(CURLM* multi, CURL* easy, BodySink sink, std::chrono::milliseconds stallLimit);
    /// Takes the easy handle out of the multi handle; a connection left mid-
    /// transfer is closed, a finished one stays cached for the next request.
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    /// Runs the transfer to its end: done, failed, stalled.
    Outcome run();
    /// Ends the current wait at once; callable from any thread while run() runs.
    void wake();

private:
    using Clock = std::chrono::steady_clock;

    static size_t onBody(char* data, size_t size, size_t count, void* self);
    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded);
    /// Whether the request has left (connection up): the stall clock runs from then on.
    bool underWay() const;

    CURLM* multi_;
    CURL* easy_;
    BodySink sink_;
    std::chrono::milliseconds stallLimit_;
    bool added_ = false;
    Clock::time_point lastActivity_ = Clock::now();
    curl_off_t uploaded_ = 0;
    bool headersEnded_ = false;  // the blank line after the last reply's headers arrived
};

}  // namespace cf_internal
