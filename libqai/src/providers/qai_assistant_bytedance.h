#pragma once
#include "providers/qai_chat_completions.h"

/// ByteDance's Ark (assistant type 7); it offers no model list.
class QAIAssistant_BYTEDANCE final : public QAIChatCompletionsAssistant {
public:
    QAIAssistant_BYTEDANCE(ICSHTTPPoolCenter* pool, const std::string& apiHost, const std::string& apiKey,
                           IQAIAssistantMemory* memory);

private:
    static const Profile& obtainProfile();
};
