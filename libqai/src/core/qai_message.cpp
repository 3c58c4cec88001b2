#include "core/qai_message.h"

#include <array>
#include <ctime>
#include <utility>

QAIMessage::~QAIMessage() {
    for (IQAIMessageSection* section : sections) delete section;
}

QAIMessage* qaiCreateTextReply(std::string text) {
    auto* message = new QAIMessage();
    message->createdTime = static_cast<int64_t>(std::time(nullptr));
    auto* section = new QAIMessageTextSection();
    section->text = std::move(text);
    try {
        message->sections.push_back(section);
    } catch (...) {
        delete section;
        delete message;
        throw;
    }
    return message;
}

QAIStopReason qaiStopReasonFromText(std::string_view word) {
    static constexpr std::array<std::pair<std::string_view, QAIStopReason>, 16> kWords{{
        {"stop", QAIStopReason_EndOfTurn},           // chat completions, Ollama
        {"end_turn", QAIStopReason_EndOfTurn},       // Anthropic
        {"stop_sequence", QAIStopReason_EndOfTurn},  // Anthropic
        {"STOP", QAIStopReason_EndOfTurn},           // Google
        {"length", QAIStopReason_TokenLimit},        // chat completions, Ollama
        {"max_tokens", QAIStopReason_TokenLimit},    // Anthropic
        {"MAX_TOKENS", QAIStopReason_TokenLimit},    // Google
        {"content_filter", QAIStopReason_ContentFilter},
        {"refusal", QAIStopReason_ContentFilter},
        {"SAFETY", QAIStopReason_ContentFilter},
        {"RECITATION", QAIStopReason_ContentFilter},
        {"BLOCKLIST", QAIStopReason_ContentFilter},
        {"PROHIBITED_CONTENT", QAIStopReason_ContentFilter},
        {"SPII", QAIStopReason_ContentFilter},
        {"IMAGE_SAFETY", QAIStopReason_ContentFilter},
        {"FINISH_REASON_UNSPECIFIED", QAIStopReason_Unknown},
    }};
    if (word.empty()) return QAIStopReason_Unknown;
    for (const auto& [known, reason] : kWords) {
        if (known == word) return reason;
    }
    return QAIStopReason_Other;
}
