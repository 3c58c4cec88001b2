// The keep-alive pool: handles reused by every request of their owner, and its Stop.
#include "cf_http_pool.h"

namespace cf_internal {

void ensureCurlGlobalInit() {
    // Once per process; libcurl wants this before any other call and before
    // threads race to create handles. Never cleaned up: handles may outlive
    // static destruction in hosts that unload late.
    static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)initialized;
}

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

HandleLease::HandleLease(ICSHTTPPoolCenter* pool) {
    pool_ = dynamic_cast<HTTPPoolCenter*>(pool);
    if (pool_ != nullptr) handles_ = pool_->acquire();
    if (handles_.easy == nullptr) {
        pool_ = nullptr;
        temporaryMulti_.reset(curl_multi_init());
        temporaryEasy_.reset(curl_easy_init());
        handles_ = {temporaryMulti_.get(), temporaryEasy_.get()};
    }
}

HandleLease::~HandleLease() {
    if (pool_ != nullptr) pool_->release();
}

const std::atomic<bool>* HandleLease::stopFlag() const {
    return pool_ != nullptr ? pool_->stopFlag() : nullptr;
}

}  // namespace cf_internal

using cf_internal::ensureCurlGlobalInit;
using cf_internal::HTTPPoolCenter;

ICSHTTPPoolCenter* cfCreateHTTPPoolCenter() {
    ensureCurlGlobalInit();
    return new HTTPPoolCenter();
}

void cfArmHTTPPoolCenter(ICSHTTPPoolCenter* pool) {
    if (auto* own = dynamic_cast<HTTPPoolCenter*>(pool)) own->arm();
}
