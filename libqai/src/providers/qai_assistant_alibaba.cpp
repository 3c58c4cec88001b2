#include "providers/qai_assistant_alibaba.h"

#include "transport/qai_response.h"

QAIAssistant_ALIBABA::QAIAssistant_ALIBABA(ICSHTTPPoolCenter* poolCenter, const std::string& host,
                                           const std::string& key, IQAIAssistantMemory* hostMemory)
    : QAIChatCompletionsAssistant(poolCenter, host, key, hostMemory, obtainProfile()) {}

const QAIChatCompletionsAssistant::Profile& QAIAssistant_ALIBABA::obtainProfile() {
    static const Profile profile{
        .defaultHost = "dashscope.aliyuncs.com",
        .chatPath = {"compatible-mode", "v1", "chat", "completions"},
        .chatSuffix = ": p/compatible-mode/v1/chat/completions",
        .modelsPath = {"compatible-mode", "v1", "models"},
        .modelsSuffix = ": g/compatible-mode/v1/models",
        .modelList = QAIModelListForm::SortedErrorFirst,
        .instructionsRole = "system",
        .errorText = errorTextFromResponse,
        .temperatureCap = TemperatureCap{2.0, true, 1.99},
        .cacheMarkers = true,
    };
    return profile;
}
