#pragma once
#include "providers/qai_chat_completions.h"

/// DeepSeek's chat completions (assistant type 2).
class QAIAssistant_DEEPSEEK final : public QAIChatCompletionsAssistant {
public:
    QAIAssistant_DEEPSEEK(ICSHTTPPoolCenter* pool, const std::string& apiHost, const std::string& apiKey,
                          IQAIAssistantMemory* memory);

private:
    static const Profile& obtainProfile();
};
