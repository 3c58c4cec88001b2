#pragma once
// The five chat-completions providers and what a host can observe of each.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "qai.h"

namespace qai_test {

enum class ModelForm { SortedByCreated, SortedErrorFirst, Plain, None };

struct ChatProvider {
    const char* name;
    QAIAssistantType type;
    const char* defaultHost;
    const char* chatPath;
    const char* chatSuffix;
    const char* modelsPath;
    const char* modelsSuffix;
    const char* instructionsRole;
    ModelForm modelForm;
    bool xErrorShape;  ///< failure bodies read as top-level "code" and "error"
};

inline const std::vector<ChatProvider>& chatProviders() {
    static const std::vector<ChatProvider> rows = {
        {"OpenAI", QAIAssistantType_OPENAI, "api.openai.com", "/v1/chat/completions",
         ": p/v1/chat/completions", "/v1/models", ": g/v1/models", "developer", ModelForm::SortedByCreated,
         false},
        {"DeepSeek", QAIAssistantType_DEEPSEEK, "api.deepseek.com", "/chat/completions",
         ": p/chat/completions", "/models", ": g/models", "system", ModelForm::Plain, false},
        {"X", QAIAssistantType_X, "api.x.ai", "/v1/chat/completions", ": p/v1/chat/completions", "/v1/models",
         ": g/v1/models", "system", ModelForm::SortedErrorFirst, true},
        {"Alibaba", QAIAssistantType_ALIBABA, "dashscope.aliyuncs.com",
         "/compatible-mode/v1/chat/completions", ": p/compatible-mode/v1/chat/completions",
         "/compatible-mode/v1/models", ": g/compatible-mode/v1/models", "system", ModelForm::SortedErrorFirst,
         false},
        {"ByteDance", QAIAssistantType_BYTEDANCE, "ark.cn-beijing.volces.com", "/api/v3/chat/completions",
         ": p/api/v3/chat/completions", "", "", "system", ModelForm::None, false},
    };
    return rows;
}

inline void PrintTo(const ChatProvider& provider, std::ostream* out) { *out << provider.name; }

inline std::string providerName(const testing::TestParamInfo<ChatProvider>& info) { return info.param.name; }

}  // namespace qai_test
