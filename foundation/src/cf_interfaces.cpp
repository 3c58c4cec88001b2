// Out-of-line destructors anchor the interfaces' vtables in libcf.
#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"
#include "cf/COJson.h"

ICOJsonValue::~ICOJsonValue() = default;
ICSHTTPPoolCenter::~ICSHTTPPoolCenter() = default;
ICSRestExecutor::~ICSRestExecutor() = default;
ICSRestStreamReceiver::~ICSRestStreamReceiver() = default;

int32_t ICSRestExecutor::executePostStreaming(CMRestPostRequest* request, ICSRestStreamReceiver* /*receiver*/,
                                              CMRestResourceResponse** response) {
    return executePost(request, response);
}
ICSRestService::~ICSRestService() = default;
ICSErrorDescriber::~ICSErrorDescriber() = default;
ICSErrorService::~ICSErrorService() = default;
ICSDateTimeConverter::~ICSDateTimeConverter() = default;
ICSDateTimeService::~ICSDateTimeService() = default;
ICSAppFactory::~ICSAppFactory() = default;
