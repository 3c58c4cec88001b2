#include "providers/qai_assistant_x.h"

#include "transport/qai_response.h"

QAIAssistant_X::QAIAssistant_X(ICSHTTPPoolCenter* poolCenter, const std::string& host, const std::string& key,
                               IQAIAssistantMemory* hostMemory)
    : QAIChatCompletionsAssistant(poolCenter, host, key, hostMemory, obtainProfile()) {}

const QAIChatCompletionsAssistant::Profile& QAIAssistant_X::obtainProfile() {
    static const Profile profile{
        .defaultHost = "api.x.ai",
        .chatPath = {"v1", "chat", "completions"},
        .chatSuffix = ": p/v1/chat/completions",
        .modelsPath = {"v1", "models"},
        .modelsSuffix = ": g/v1/models",
        .modelList = QAIModelListForm::SortedErrorFirst,
        .instructionsRole = "system",
        .errorText = errorTextFromResponse_X,
        .temperatureCap = TemperatureCap{1.0, false, 1.0},
    };
    return profile;
}

std::string errorTextFromResponse_X(const CMRestResourceResponse* response) {
    if (!response) return {};
    if (COJsonValue root = qaiValidRoot(response)) {
        const COJsonValue code = root.obtainMember("code");
        const COJsonValue error = root.obtainMember("error");
        if (error.obtainType() == COJsonTypeString && code.obtainType() == COJsonTypeString)
            return code.obtainString() + "\n" + error.obtainString();
    }
    return response->getBufferString();
}
