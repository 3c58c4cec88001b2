#pragma once
#include <string>
#include <utility>
#include <vector>

#include "core/qai_diagnostics.h"

/// Collects the diagnostics reported while it lives.
class DiagCapture {
public:
    DiagCapture() { qai::diag::setListener(&DiagCapture::listen, this); }
    ~DiagCapture() { qai::diag::setListener(nullptr, nullptr); }
    DiagCapture(const DiagCapture&) = delete;
    DiagCapture& operator=(const DiagCapture&) = delete;
    /// The conditions reported so far; clears the record.
    std::vector<std::string> take() { return std::exchange(conditions, {}); }
    std::vector<std::string> conditions, files;

private:
    static void listen(const char* condition, const char* file, void* user) {
        static_cast<DiagCapture*>(user)->conditions.emplace_back(condition);
        static_cast<DiagCapture*>(user)->files.emplace_back(file);
    }
};
