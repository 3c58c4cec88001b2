#pragma once
#include "providers/qai_chat_completions.h"

/// OpenAI's chat completions (assistant type 0).
class QAIAssistant_OPENAI_v1 final : public QAIChatCompletionsAssistant {
public:
    QAIAssistant_OPENAI_v1(ICSHTTPPoolCenter* pool, const std::string& apiHost, const std::string& apiKey,
                           IQAIAssistantMemory* memory);

private:
    static const Profile& obtainProfile();
};
