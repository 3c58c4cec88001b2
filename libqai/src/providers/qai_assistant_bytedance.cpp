#include "providers/qai_assistant_bytedance.h"

#include "transport/qai_response.h"

QAIAssistant_BYTEDANCE::QAIAssistant_BYTEDANCE(ICSHTTPPoolCenter* poolCenter, const std::string& host,
                                               const std::string& key, IQAIAssistantMemory* hostMemory)
    : QAIChatCompletionsAssistant(poolCenter, host, key, hostMemory, obtainProfile()) {}

const QAIChatCompletionsAssistant::Profile& QAIAssistant_BYTEDANCE::obtainProfile() {
    static const Profile profile{
        .defaultHost = "ark.cn-beijing.volces.com",
        .chatPath = {"api", "v3", "chat", "completions"},
        .chatSuffix = ": p/api/v3/chat/completions",
        .modelsPath = {},
        .modelsSuffix = "",
        .modelList = QAIModelListForm::None,
        .instructionsRole = "system",
        .errorText = errorTextFromResponse,
        .temperatureCap = std::nullopt,
    };
    return profile;
}
