// Sessions, requests and responses: plain data that the executor reads.
#include "cf/CMRest.h"
#include "cf/COJson.h"

CMRestSession::CMRestSession() = default;
CMRestSession::~CMRestSession() = default;

void CMRestSession::setAuthorizationHeaderValue(const std::string& value) {
    authorization_ = value;
    hasAuthorization_ = true;
}

void CMRestSession::addHeaderParam(const std::string& name, const std::string& value) {
    headers_.emplace_back(name, value);
}

void CMRestRequest::addQueryParams(const CMRestParams& params) {
    query_.insert(query_.end(), params.begin(), params.end());
}

void CMRestRequest::addHeaderParams(const CMRestParams& params) {
    headers_.insert(headers_.end(), params.begin(), params.end());
}

void CMRestPostRequest::updateJson(const ICOJsonValue* body) {
    if (body == nullptr) {
        body_.clear();
        hasBody_ = false;
        return;
    }
    body_ = body->obtainJsonString();
    hasBody_ = true;
}

CMRestResourceResponse::CMRestResourceResponse(long status, std::string body)
    : status_(status), body_(std::move(body)) {
    if (!body_.empty()) json_ = std::make_unique<COJson>(body_);
}

CMRestResourceResponse::~CMRestResourceResponse() = default;
