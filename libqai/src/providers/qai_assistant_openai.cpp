#include "providers/qai_assistant_openai.h"

#include "transport/qai_response.h"

QAIAssistant_OPENAI_v1::QAIAssistant_OPENAI_v1(ICSHTTPPoolCenter* poolCenter, const std::string& host,
                                               const std::string& key, IQAIAssistantMemory* hostMemory)
    : QAIChatCompletionsAssistant(poolCenter, host, key, hostMemory, obtainProfile()) {}

const QAIChatCompletionsAssistant::Profile& QAIAssistant_OPENAI_v1::obtainProfile() {
    static const Profile profile{
        .defaultHost = "api.openai.com",
        .chatPath = {"v1", "chat", "completions"},
        .chatSuffix = ": p/v1/chat/completions",
        .modelsPath = {"v1", "models"},
        .modelsSuffix = ": g/v1/models",
        .modelList = QAIModelListForm::SortedByCreated,
        .instructionsRole = "developer",
        .errorText = errorTextFromResponse,
        .temperatureCap = std::nullopt,
    };
    return profile;
}
