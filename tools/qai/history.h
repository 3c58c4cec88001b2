#pragma once
// A conversation memory kept in a file, so that a later run continues the
// conversation. Every change rewrites the file atomically: a new file beside
// it, flushed to disk, then renamed over the old one.
#include <string>
#include <vector>

#include "qai.h"

namespace qai::cli {

class HistoryFile : public IQAIAssistantMemory {
public:
    explicit HistoryFile(std::string path) : path_(std::move(path)) {}

    /// Reads the file; a missing file is an empty history. Returns an error text.
    std::string load();
    /// The last failure to write the file, empty when the file is current.
    const std::string& saveError() const { return saveError_; }

    void setSummary(const std::string& text) override;
    std::string obtainSummary() override { return summary_; }
    void addMessage(int32_t role, const std::string& text) override;
    /// All records: the file is the conversation, the limit is not applied.
    std::vector<QAIMemoryRecord> obtainMessages(int32_t limit) override;

private:
    void save();

    std::string path_;
    std::string summary_;
    std::vector<QAIMemoryRecord> records_;
    std::string saveError_;
};

/// One line of the file: the text with backslash, line feed and carriage
/// return escaped, so every record stays on its line.
std::string escapeLine(const std::string& text);
/// The reverse of escapeLine; false for a malformed escape.
bool unescapeLine(const std::string& line, std::string& text);

}  // namespace qai::cli
