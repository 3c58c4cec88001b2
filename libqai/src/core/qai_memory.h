#pragma once
#include <string>
#include <vector>

#include "qai.h"

/// The memory an assistant creates when the host supplies none.
class QAIDefaultAssistantMemory final : public IQAIAssistantMemory {
public:
    void setSummary(const std::string& text) override;
    std::string obtainSummary() override;
    void addMessage(int32_t role, const std::string& text) override;
    /// Every record, oldest first; limit is ignored.
    std::vector<QAIMemoryRecord> obtainMessages(int32_t limit) override;
    /// The summary in place, for readers that only look at it (no copy).
    const std::string& obtainSummaryRef() const { return summary; }

private:
    std::string summary;
    std::vector<QAIMemoryRecord> records;
};
