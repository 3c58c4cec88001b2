#pragma once
#include "providers/qai_chat_completions.h"

/// Alibaba's DashScope compatible mode (assistant type 6); temperature below 2.0.
class QAIAssistant_ALIBABA final : public QAIChatCompletionsAssistant {
public:
    QAIAssistant_ALIBABA(ICSHTTPPoolCenter* pool, const std::string& apiHost, const std::string& apiKey,
                         IQAIAssistantMemory* memory);

private:
    static const Profile& obtainProfile();
};
