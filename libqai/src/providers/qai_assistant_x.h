#pragma once
#include "providers/qai_chat_completions.h"

/// xAI's chat completions (assistant type 4); temperature at most 1.0.
class QAIAssistant_X final : public QAIChatCompletionsAssistant {
public:
    QAIAssistant_X(ICSHTTPPoolCenter* pool, const std::string& apiHost, const std::string& apiKey,
                   IQAIAssistantMemory* memory);

private:
    static const Profile& obtainProfile();
};

/// xAI's failure body: top-level "code" and "error" strings joined by a line
/// feed; otherwise the raw body (which may be empty).
std::string errorTextFromResponse_X(const CMRestResourceResponse* response);
