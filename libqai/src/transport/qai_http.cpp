#include "transport/qai_http.h"

#include "cf/CFAppFactory.h"
#include "cf/CFText.h"
#include "transport/qai_library_state.h"
#include "transport/qai_response.h"

namespace {

// Shared by GET and POST: the request is already tagged and filled up to its
// body; this adds query and headers, runs it and words a failure.
template <typename Request, typename Perform>
HTTPResult execute(Request* request, CMRestSession* session, const HTTPParams& query,
                   const HTTPParams& headers, Perform perform) {
    if (!query.empty()) request->addQueryParams(query);
    if (!headers.empty()) request->addHeaderParams(headers);

    ICSAppFactory* factory = CF::obtainAppFactory();
    ICSRestExecutor* executor =
        factory->obtainRestService()->createExecutor(factory, &qai::obtainHTTPSettings(), session);
    CODefer destroyExecutor([executor] { delete executor; });

    CMRestResourceResponse* raw = nullptr;
    const int32_t code = perform(executor, request, &raw);
    HTTPResult result;
    result.response.reset(raw);
    if (code != 0) {
        CMErrorRecord record;
        CF::obtainAppFactory()->obtainErrorService()->obtainErrorDescriber()->describe(code, record);
        // A Stop is worded by the library, localized like its other texts.
        result.error =
            record.domain == kCMRestCancelledDomain ? localizeText(kQAIRequestCancelled) : record.message;
    }
    return result;
}

}  // namespace

namespace HTTP {

HTTPResult Get(CMRestSession* session, const std::string& url, const HTTPParams& query,
               const HTTPParams& headers) {
    auto* request = new CMRestGetRequest();
    CODefer destroyRequest([request] { delete request; });
    request->tag = kCMRestRequestTag;
    request->setURL(url);
    return execute(request, session, query, headers,
                   [](ICSRestExecutor* executor, CMRestGetRequest* r, CMRestResourceResponse** response) {
                       return executor ? executor->executeGet(r, response) : -1;
                   });
}

HTTPResult Post(CMRestSession* session, const std::string& url, const ICOJsonValue* body,
                const HTTPParams& query, const HTTPParams& headers) {
    auto* request = new CMRestPostRequest();
    CODefer destroyRequest([request] { delete request; });
    request->tag = kCMRestRequestTag;
    request->setURL(url);
    if (body) request->updateJson(body);
    return execute(request, session, query, headers,
                   [](ICSRestExecutor* executor, CMRestPostRequest* r, CMRestResourceResponse** response) {
                       return executor ? executor->executePost(r, response) : -1;
                   });
}

HTTPResult PostStreaming(CMRestSession* session, const std::string& url, const ICOJsonValue* body,
                         const HTTPParams& query, ICSRestStreamReceiver* receiver) {
    auto* request = new CMRestPostRequest();
    CODefer destroyRequest([request] { delete request; });
    request->tag = kCMRestRequestTag;
    request->setURL(url);
    if (body) request->updateJson(body);
    return execute(
        request, session, query, {},
        [receiver](ICSRestExecutor* executor, CMRestPostRequest* r, CMRestResourceResponse** response) {
            return executor ? executor->executePostStreaming(r, receiver, response) : -1;
        });
}

}  // namespace HTTP
