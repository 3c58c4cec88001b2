#include "providers/qai_assistant_deepseek.h"

#include "transport/qai_response.h"

QAIAssistant_DEEPSEEK::QAIAssistant_DEEPSEEK(ICSHTTPPoolCenter* poolCenter, const std::string& host,
                                             const std::string& key, IQAIAssistantMemory* hostMemory)
    : QAIChatCompletionsAssistant(poolCenter, host, key, hostMemory, obtainProfile()) {}

const QAIChatCompletionsAssistant::Profile& QAIAssistant_DEEPSEEK::obtainProfile() {
    static const Profile profile{
        .defaultHost = "api.deepseek.com",
        .chatPath = {"chat", "completions"},
        .chatSuffix = ": p/chat/completions",
        .modelsPath = {"models"},
        .modelsSuffix = ": g/models",
        .modelList = QAIModelListForm::Plain,
        .instructionsRole = "system",
        .errorText = errorTextFromResponse,
        .temperatureCap = std::nullopt,
    };
    return profile;
}
