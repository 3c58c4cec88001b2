#include "providers/qai_assistant_alibaba.h"
#include "providers/qai_assistant_anthropic.h"
#include "providers/qai_assistant_bytedance.h"
#include "providers/qai_assistant_deepseek.h"
#include "providers/qai_assistant_google.h"
#include "providers/qai_assistant_ollama.h"
#include "providers/qai_assistant_openai.h"
#include "providers/qai_assistant_x.h"
#include "qai.h"

IQAIAssistant* QAICreateAssistant(QAIAssistantType type, ICSHTTPPoolCenter* pool, const std::string& apiKey,
                                  const std::string& apiHost, IQAIAssistantMemory* memory) {
    // Compared as unsigned, so a negative type is out of range as well. For a
    // null result nothing is created and the pool stays the caller's.
    switch (static_cast<unsigned>(type)) {
        case QAIAssistantType_OPENAI:
            return new QAIAssistant_OPENAI_v1(pool, apiHost, apiKey, memory);
        case QAIAssistantType_DEEPSEEK:
            return new QAIAssistant_DEEPSEEK(pool, apiHost, apiKey, memory);
        case QAIAssistantType_X:
            return new QAIAssistant_X(pool, apiHost, apiKey, memory);
        case QAIAssistantType_ALIBABA:
            return new QAIAssistant_ALIBABA(pool, apiHost, apiKey, memory);
        case QAIAssistantType_BYTEDANCE:
            return new QAIAssistant_BYTEDANCE(pool, apiHost, apiKey, memory);
        case QAIAssistantType_GOOGLE:
            return new QAIAssistant_GOOGLE(pool, apiHost, apiKey, memory);
        case QAIAssistantType_OLLAMA:  // takes no key
            return new QAIAssistant_OLLAMA(pool, apiHost, memory);
        case QAIAssistantType_ANTHROPIC:
            return new QAIAssistant_ANTHROPIC(pool, apiHost, apiKey, memory);
        default:
            return nullptr;
    }
}
