#pragma once
#include <string>
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
    std::vector<std::string> take() {
        std::vector<std::string> taken;
        taken.swap(conditions);
        return taken;
    }

    std::vector<std::string> conditions;
    std::vector<std::string> files;

private:
    static void listen(const char* condition, const char* file, void* user) {
        auto* self = static_cast<DiagCapture*>(user);
        self->conditions.emplace_back(condition);
        self->files.emplace_back(file);
    }
};
