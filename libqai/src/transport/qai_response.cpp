#include "transport/qai_response.h"

#include "transport/qai_library_state.h"

COJsonValue qaiValidRoot(const CMRestResourceResponse* response) {
    if (!response) return {};
    COJson* document = response->obtainJson();
    if (!document || !document->getIsValidJson()) return {};
    COJsonValue root = document->obtainRoot();
    return root.getIsValidJson() ? root : COJsonValue();
}

std::string errorTextFromResponse(const CMRestResourceResponse* response) {
    if (!response) return {};
    if (COJsonValue root = qaiValidRoot(response)) {
        COJsonValue error = root.obtainMember("error");
        if (error.obtainType() == COJsonTypeObject) {
            COJsonValue message = error.obtainMember("message");
            if (message.obtainType() == COJsonTypeString) return message.obtainString();
        }
    }
    return response->getBufferString();
}

std::string qaiFailureText(const HTTPResult& result, QAIErrorTextExtractor extractor) {
    std::string text = result.response ? extractor(result.response.get()) : std::string();
    return text.empty() ? result.error : text;
}

std::vector<std::string> QAINewestFirst::take() {
    std::vector<std::string> names;
    names.reserve(byKey_.size());
    for (auto& entry : byKey_) names.push_back(std::move(entry.second));
    byKey_.clear();
    return names;
}

std::string qaiComposeError(const char* key, std::string_view suffix) {
    std::string text = localizeText(key);
    text.append(suffix);
    return text;
}

int64_t qaiTokenCount(const COJsonValue& value) {
    if (value.obtainType() != COJsonTypeInteger) return -1;
    const int64_t count = value.obtainInt64();
    return count >= 0 ? count : -1;
}

void qaiTakeTokenCount(const COJsonValue& value, int64_t& into) {
    if (const int64_t count = qaiTokenCount(value); count >= 0) into = count;
}

int64_t qaiFirstTokenCount(std::initializer_list<COJsonValue> values) {
    for (const COJsonValue& value : values) {
        if (const int64_t count = qaiTokenCount(value); count >= 0) return count;
    }
    return -1;
}

std::string qaiStringOf(const COJsonValue& value) {
    return value.obtainType() == COJsonTypeString ? value.obtainString() : std::string();
}
