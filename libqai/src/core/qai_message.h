#pragma once
#include <string>
#include <vector>

#include "qai.h"

/// A text section of a reply.
class QAIMessageTextSection final : public IQAIMessageSection {
public:
    int32_t obtainType() override { return 0; }
    std::string_view obtainText() override { return text; }

    std::string text;
};

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

    int64_t createdTime = 0;
    int32_t role = QAIMemoryRole_Assistant;
    std::vector<IQAIMessageSection*> sections;
};

/// A reply holding one text section with text, stamped with the current time.
QAIMessage* qaiCreateTextReply(std::string text);
