#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "qai.h"
#include "transport/qai_stream.h"

/// A text section of a reply.
class QAIMessageTextSection final : public IQAIMessageSection {
public:
    int32_t obtainType() override { return 0; }
    std::string_view obtainText() override { return text; }

    std::string text;
};

/// The stop reason a provider's word stands for; the words of every protocol
/// share one table, as none means different things in two of them.
QAIStopReason qaiStopReasonFromText(std::string_view word);

/// A reply message; owns its sections.
class QAIMessage final : public IQAIMessage {
public:
    QAIMessage() = default;
    ~QAIMessage() override;
    QAIMessage(const QAIMessage&) = delete;
    QAIMessage& operator=(const QAIMessage&) = delete;

    int64_t obtainCreatedTime() override { return createdTime; }
    int32_t obtainRole() override { return role; }
    std::vector<IQAIMessageSection*>& obtainSections() override { return sections; }
    int64_t obtainInputTokens() override { return facts.inputTokens; }
    int64_t obtainOutputTokens() override { return facts.outputTokens; }
    int64_t obtainCachedInputTokens() override { return facts.cachedInputTokens; }
    int64_t obtainCacheWriteTokens() override { return facts.cacheWriteTokens; }
    QAIStopReason obtainStopReason() override { return qaiStopReasonFromText(facts.stopReasonText); }
    std::string obtainStopReasonText() override { return facts.stopReasonText; }

    int64_t createdTime = 0;
    int32_t role = QAIMemoryRole_Assistant;
    std::vector<IQAIMessageSection*> sections;
    QAIReplyFacts facts;
};

/// A reply holding one text section with text, stamped with the current time.
QAIMessage* qaiCreateTextReply(std::string text);
