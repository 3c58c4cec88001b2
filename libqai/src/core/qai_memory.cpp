#include "core/qai_memory.h"

#include <atomic>

uint64_t QAIDefaultAssistantMemory::nextRevision() {
    // Memories of assistants on different threads draw from it at once.
    static std::atomic<uint64_t> last{0};
    return ++last;
}

void QAIDefaultAssistantMemory::setSummary(const std::string& text) {
    summary = text;
    revision = nextRevision();
}

std::string QAIDefaultAssistantMemory::obtainSummary() { return summary; }

void QAIDefaultAssistantMemory::addMessage(int32_t role, const std::string& text) {
    records.push_back(QAIMemoryRecord{role, text});
}

std::vector<QAIMemoryRecord> QAIDefaultAssistantMemory::obtainMessages(int32_t /*limit*/) { return records; }
