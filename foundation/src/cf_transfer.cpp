#include "cf_transfer.h"

#include <algorithm>
#include <cctype>
#include <thread>
#include <utility>

namespace cf_internal {

namespace {
/// Longest single wait without a stall limit: libcurl's own timers (connect
/// and request limits) shorten it further.
constexpr std::chrono::milliseconds kLongestWait{1000};

/// A failure of the multi interface, as the transfer code its texts know.
CURLcode asTransferCode(CURLMcode code) {
    return code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
}

/// The value of a header line "name: value" when its name is name (any
/// case), trimmed; nothing otherwise.
bool headerValue(std::string_view line, std::string_view name, std::string& value) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    }
    std::string_view rest = line.substr(name.size() + 1);
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!rest.empty() && blank(rest.front())) rest.remove_prefix(1);
    while (!rest.empty() && blank(rest.back())) rest.remove_suffix(1);
    value.assign(rest.substr(0, 64));  // a longer value is no number or date anyway
    return true;
}
}  // namespace

Transfer::Transfer(CURLM* multi, CURL* easy, BodySink sink, std::chrono::milliseconds stallLimit,
                   const std::atomic<bool>* stop, std::chrono::milliseconds firstProgressLimit)
    : multi_(multi),
      easy_(easy),
      sink_(std::move(sink)),
      stallLimit_(stallLimit),
      stop_(stop),
      firstProgressLimit_(firstProgressLimit) {
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
    curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
}

Transfer::~Transfer() {
    if (added_) curl_multi_remove_handle(multi_, easy_);
}

size_t Transfer::onBody(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    const size_t bytes = size * count;
    transfer->replyStarted_ = true;
    try {
        switch (transfer->sink_(std::string_view(data, bytes))) {
            case Take::Stop:
                return 0;
            case Take::Waiting:
                return bytes;
            case Take::Advanced:
                transfer->lastActivity_ = Clock::now();
                transfer->advanced_ = true;
                return bytes;
        }
        return 0;
    } catch (...) {
        return 0;  // an exception must not cross libcurl's C frames: the transfer ends instead
    }
}

size_t Transfer::onHeader(char* data, size_t size, size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    const std::string_view line(data, size * count);
    transfer->lastActivity_ = Clock::now();
    transfer->replyStarted_ = true;
    // Each reply (an interim 1xx one too) starts with its status line and
    // ends its headers with a blank line.
    if (line.starts_with("HTTP/")) {
        transfer->headersEnded_ = false;
        transfer->retryAfterMs_.clear();
        transfer->retryAfter_.clear();
    }
    if (!headerValue(line, "retry-after-ms", transfer->retryAfterMs_))
        headerValue(line, "retry-after", transfer->retryAfter_);
    if (line == "\r\n" || line == "\n") transfer->headersEnded_ = true;
    return line.size();
}

int Transfer::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
    // A large body still going out to a slow peer is not a stall.
    auto* transfer = static_cast<Transfer*>(self);
    if (uploaded != transfer->uploaded_) {
        transfer->uploaded_ = uploaded;
        transfer->lastActivity_ = Clock::now();
    }
    return 0;
}

bool Transfer::underWay() const {
    curl_off_t pretransfer = 0;
    return curl_easy_getinfo(easy_, CURLINFO_PRETRANSFER_TIME_T, &pretransfer) == CURLE_OK && pretransfer > 0;
}

Transfer::Outcome Transfer::run() {
    Outcome outcome;
    const auto finish = [this, &outcome]() -> Outcome& {
        outcome.replyStarted = replyStarted_;
        outcome.retryAfterMs = retryAfterMs_;
        outcome.retryAfter = retryAfter_;
        return outcome;
    };
    const auto cancelled = [&outcome, &finish]() -> Outcome& {
        outcome.cancelled = true;
        outcome.result = CURLE_ABORTED_BY_CALLBACK;
        return finish();
    };
    if (stopped()) return cancelled();
    if (const CURLMcode code = curl_multi_add_handle(multi_, easy_); code != CURLM_OK) {
        outcome.result = asTransferCode(code);
        return outcome;
    }
    added_ = true;
    lastActivity_ = Clock::now();
    const Clock::time_point firstProgressDeadline = lastActivity_ + firstProgressLimit_;
    bool started = false;  // the connect limit governs until the request is under way
    for (;;) {
        int running = 0;
        if (const CURLMcode code = curl_multi_perform(multi_, &running); code != CURLM_OK) {
            outcome.result = asTransferCode(code);
            return finish();
        }
        if (running == 0) break;
        if (stopped()) return cancelled();

        const Clock::time_point now = Clock::now();
        if (!started) {
            started = underWay();
            lastActivity_ = now;
        }
        std::chrono::milliseconds wait = kLongestWait;
        if (stallLimit_.count() > 0 && started) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(lastActivity_ + stallLimit_ - now);
            if (left.count() <= 0) {
                outcome.stalled = true;
                outcome.result = CURLE_OPERATION_TIMEDOUT;
                return finish();
            }
            wait = std::min(wait, left + std::chrono::milliseconds(1));
        }
        if (firstProgressLimit_.count() > 0 && !advanced_) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(firstProgressDeadline - now);
            if (left.count() <= 0) {
                outcome.firstProgressLate = true;
                outcome.result = CURLE_OPERATION_TIMEDOUT;
                return finish();
            }
            wait = std::min(wait, left + std::chrono::milliseconds(1));
        }
        const int waitMs = static_cast<int>(wait.count());
        if (const CURLMcode code = curl_multi_poll(multi_, nullptr, 0, waitMs, nullptr); code != CURLM_OK) {
            outcome.result = asTransferCode(code);
            return finish();
        }
        if (stopped()) return cancelled();
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_)
            outcome.result = message->data.result;
    }
    if (outcome.result == CURLE_OK && !headersEnded_) {
        outcome.headersCut = true;
        outcome.result = CURLE_PARTIAL_FILE;
    }
    return finish();
}

bool Transfer::pause(CURLM* multi, std::chrono::milliseconds pause, const std::atomic<bool>* stop) {
    const Clock::time_point end = Clock::now() + pause;
    for (;;) {
        if (stop != nullptr && stop->load()) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) return true;
        const int waitMs = static_cast<int>(std::min(left, kLongestWait).count()) + 1;
        // Nothing is in the multi handle: the poll only sleeps, and a Stop's wakeup ends it.
        if (curl_multi_poll(multi, nullptr, 0, waitMs, nullptr) != CURLM_OK) {
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
        }
    }
}

}  // namespace cf_internal
