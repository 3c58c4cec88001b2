#pragma once
// One assistant's worth of transport for the foundation tests: settings, a
// pool and a session on it, and requests run through the executor.
#include <memory>
#include <optional>
#include <string>

#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"
#include "cf/COJson.h"

namespace qai_test {

struct Outcome {
    std::unique_ptr<CMRestResourceResponse> response;
    std::string error;  ///< "domain: text"; empty on success
};

/// One assistant's worth of transport: settings, a pool and a session on it.
struct Client {
    CMRestGlobalSettings settings;
    std::unique_ptr<ICSHTTPPoolCenter> pool{cfCreateHTTPPoolCenter()};
    CMRestSession session;

    explicit Client(const std::string& caFile = "") {
        settings.connectTimeoutSeconds = settings.requestTimeoutSeconds = settings.stallTimeoutSeconds = 2;
        settings.caFile = caFile;
        session.setPoolCenter(pool.get());
    }
    Outcome get(const std::string& url, const CMRestParams& query = {}, const CMRestParams& headers = {}) {
        CMRestGetRequest request;
        request.addQueryParams(query);
        request.addHeaderParams(headers);
        return run(request, url, &ICSRestExecutor::executeGet);
    }
    Outcome post(const std::string& url, const std::optional<std::string>& json) {
        CMRestPostRequest request;
        const std::unique_ptr<COJson> body(json ? new COJson(*json) : nullptr);
        request.updateJson(body.get());
        return run(request, url, &ICSRestExecutor::executePost);
    }
    template <class Request>
    Outcome run(Request& request, const std::string& url,
                int32_t (ICSRestExecutor::*execute)(Request*, CMRestResourceResponse**)) {
        request.tag = kCMRestRequestTag;
        request.setURL(url);
        ICSAppFactory* factory = CF::obtainAppFactory();
        const std::unique_ptr<ICSRestExecutor> executor(
            factory->obtainRestService()->createExecutor(factory, &settings, &session));
        CMRestResourceResponse* response = nullptr;
        const int32_t code = (executor.get()->*execute)(&request, &response);
        CMErrorRecord record;
        if (code == 0) return {std::unique_ptr<CMRestResourceResponse>(response), ""};
        factory->obtainErrorService()->obtainErrorDescriber()->describe(code, record);
        return {std::unique_ptr<CMRestResourceResponse>(response), record.domain + ": " + record.message};
    }
};

}  // namespace qai_test
