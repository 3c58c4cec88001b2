#include "history.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "console.h"

namespace qai::cli {
namespace {

constexpr const char* kHeader = "qai-history 1";

}  // namespace

std::string escapeLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

bool unescapeLine(const std::string& line, std::string& text) {
    text.clear();
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\') {
            text += line[i];
            continue;
        }
        if (++i == line.size()) return false;
        if (line[i] == '\\')
            text += '\\';
        else if (line[i] == 'n')
            text += '\n';
        else if (line[i] == 'r')
            text += '\r';
        else
            return false;
    }
    return true;
}

std::string HistoryFile::load() {
    std::error_code missing;
    if (!std::filesystem::exists(path_, missing) && !missing) return "";
    std::ifstream in(path_, std::ios::binary);
    if (!in) return "cannot read history " + path_ + ": " + std::strerror(errno);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) return "history " + path_ + " is not a qai history file";
    for (int number = 2; std::getline(in, line); ++number) {
        size_t blank = line.find(' ');
        std::string kind = line.substr(0, blank), text;
        if (blank == std::string::npos || !unescapeLine(line.substr(blank + 1), text))
            return "history " + path_ + " is damaged at line " + std::to_string(number);
        if (kind == "summary")
            summary_ = text;
        else if (kind == "user")
            records_.push_back({QAIMemoryRole_User, text});
        else if (kind == "assistant")
            records_.push_back({QAIMemoryRole_Assistant, text});
        else
            return "history " + path_ + " is damaged at line " + std::to_string(number);
    }
    if (in.bad()) return "cannot read history " + path_;
    return "";
}

void HistoryFile::setSummary(const std::string& text) {
    if (text == summary_) return;
    summary_ = text;
    save();
}

void HistoryFile::addMessage(int32_t role, const std::string& text) {
    records_.push_back({role, text});
    save();
}

std::vector<QAIMemoryRecord> HistoryFile::obtainMessages(int32_t) { return records_; }

void HistoryFile::save() {
    std::string contents = std::string(kHeader) + "\nsummary " + escapeLine(summary_) + "\n";
    for (const QAIMemoryRecord& record : records_)
        contents += (record.role == QAIMemoryRole_Assistant ? "assistant " : "user ") +
                    escapeLine(record.text) + "\n";

    // The temporary file sits beside the history so that the rename stays on
    // one file system and replaces the old file in one step.
    std::string temporary = path_ + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    bool written = file && std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
    int error = errno;
    written = written && flushToDisk(file);
    if (!written) error = errno;
    if (file && std::fclose(file) != 0 && written) {
        written = false;
        error = errno;
    }
    std::string replaceError = written ? replaceFile(temporary, path_) : "";
    if (!written || !replaceError.empty()) {
        std::error_code ignored;
        if (file) std::filesystem::remove(temporary, ignored);  // only what this call made
        saveError_ = "cannot write history " + path_ + ": " +
                     (replaceError.empty() ? std::string(std::strerror(error)) : replaceError);
        return;
    }
    saveError_.clear();
}

}  // namespace qai::cli
