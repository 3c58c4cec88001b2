#pragma once
// The keep-alive pool's handles and the lease that lends them to one request.
#include <curl/curl.h>

#include <atomic>
#include <memory>

#include "cf/CMRest.h"

namespace cf_internal {

/// libcurl's process-wide set-up, done once before any other of its calls.
void ensureCurlGlobalInit();

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;

/// The handles a request runs on: an easy handle and the multi handle that
/// drives it and holds its connection cache.
struct Handles {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
};

class HTTPPoolCenter;

/// The handles one request runs on: the pool's when there is one, otherwise
/// temporary handles whose connections close with them.
class HandleLease {
public:
    explicit HandleLease(ICSHTTPPoolCenter* pool);
    ~HandleLease();
    HandleLease(const HandleLease&) = delete;
    HandleLease& operator=(const HandleLease&) = delete;

    /// Both null-checked by the caller.
    const Handles& get() const { return handles_; }
    /// The pool's Stop flag; null on temporary handles, which no Stop reaches.
    const std::atomic<bool>* stopFlag() const;

private:
    HTTPPoolCenter* pool_ = nullptr;
    MultiHandle temporaryMulti_;  // declared first: destroyed after the easy handle
    EasyHandle temporaryEasy_;
    Handles handles_;
};

}  // namespace cf_internal
