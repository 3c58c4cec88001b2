#include "core/qai_memory.h"

void QAIDefaultAssistantMemory::setSummary(const std::string& text) { summary = text; }

std::string QAIDefaultAssistantMemory::obtainSummary() { return summary; }

void QAIDefaultAssistantMemory::addMessage(int32_t role, const std::string& text) {
    records.push_back(QAIMemoryRecord{role, text});
}

std::vector<QAIMemoryRecord> QAIDefaultAssistantMemory::obtainMessages(int32_t /*limit*/) { return records; }
