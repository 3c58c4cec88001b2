#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qai.h"

/// The memory an assistant creates when the host supplies none.
class QAIDefaultAssistantMemory final : public IQAIAssistantMemory {
public:
    QAIDefaultAssistantMemory() = default;
    QAIDefaultAssistantMemory(const QAIDefaultAssistantMemory&) = delete;
    QAIDefaultAssistantMemory& operator=(const QAIDefaultAssistantMemory&) = delete;

    void setSummary(const std::string& text) override;
    std::string obtainSummary() override;
    void addMessage(int32_t role, const std::string& text) override;
    /// Every record, oldest first; limit is ignored.
    std::vector<QAIMemoryRecord> obtainMessages(int32_t limit) override;
    /// The summary in place, for readers that only look at it (no copy).
    const std::string& obtainSummaryRef() const { return summary; }
    /// Changes with every setSummary, and no two memories of the process
    /// share one: equal revisions mean the same text.
    uint64_t obtainSummaryRevision() const { return revision; }
    /// Expires when this memory is destroyed; lets a holder outlive it safely.
    std::weak_ptr<QAIDefaultAssistantMemory> obtainWeakReference() const { return self; }

private:
    static uint64_t nextRevision();

    std::string summary;
    uint64_t revision = nextRevision();
    std::vector<QAIMemoryRecord> records;
    // Owns nothing; declared last, so it expires before the members above go.
    std::shared_ptr<QAIDefaultAssistantMemory> self{this, [](QAIDefaultAssistantMemory*) {}};
};
