#pragma once
// Helpers for provider tests that drive an assistant as a host would: through
// qai.h only, against the local test server.
#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cf/COJson.h"
#include "qai.h"
#include "test_server.h"

namespace qai_test {

struct FreeObject {
    void operator()(IQAIObject* object) const { QAIFreeObject(object); }
};
using AssistantPtr = std::unique_ptr<IQAIAssistant, FreeObject>;

/// A memory as a host writes one; destroyed counts its destructions.
class HostMemory final : public IQAIAssistantMemory {
public:
    explicit HostMemory(int* destroyed = nullptr) : destroyed_(destroyed) {}
    ~HostMemory() override {
        if (destroyed_) ++*destroyed_;
    }
    void setSummary(const std::string& text) override { summary = text; }
    std::string obtainSummary() override { return summary; }
    void addMessage(int32_t role, const std::string& text) override { records.push_back({role, text}); }
    std::vector<QAIMemoryRecord> obtainMessages(int32_t /*limit*/) override { return records; }
    /// The records as "role:text|..." for comparing in one expectation.
    std::string history() const {
        std::string text;
        for (const auto& record : records) text += std::to_string(record.role) + ":" + record.text + "|";
        return text;
    }

    std::string summary;
    std::vector<QAIMemoryRecord> records;

private:
    int* destroyed_;
};

/// A new assistant on a fresh pool; destroy it before its test server.
inline AssistantPtr createAssistant(QAIAssistantType type, const std::string& host,
                                    const std::string& key = "k", IQAIAssistantMemory* memory = nullptr) {
    return AssistantPtr(QAICreateAssistant(type, cfCreateHTTPPoolCenter(), key, host, memory));
}

/// Assigns values through updateProperties; every value must be accepted.
inline void configure(IQAIAssistant* assistant,
                      std::initializer_list<std::pair<std::string, CMVariant>> values) {
    std::vector<std::pair<std::string, CMVariant>> list(values);
    EXPECT_EQ(assistant->updateProperties([&list](IQAIProperties* properties) {
        for (const auto& [key, value] : list) EXPECT_TRUE(properties->setProperty(key, value)) << key;
    }),
              "");
}

/// A property read through a copy of the store, as a host reads it.
inline CMVariant readProperty(IQAIAssistant* assistant, const std::string& key) {
    std::unique_ptr<IQAIProperties, FreeObject> copy(assistant->obtainProperties());
    return copy->obtainProperty(key);
}

/// What addMessage gave back, the message already released.
struct Reply {
    bool hasMessage = false;
    int32_t role = -1;
    size_t sectionCount = 0;
    std::string text;  ///< the sections' texts, concatenated
    std::string error;
};

inline Reply send(IQAIAssistant* assistant, const std::string& text) {
    auto [message, error] = assistant->addMessage(text);
    Reply reply{message != nullptr, -1, 0, "", error};
    if (!message) return reply;
    reply.role = message->obtainRole();
    reply.sectionCount = message->obtainSections().size();
    for (IQAIMessageSection* section : message->obtainSections()) reply.text.append(section->obtainText());
    QAIFreeObject(message);
    return reply;
}

/// text re-serialised compactly, for comparing request bodies.
inline std::string compactJson(std::string_view text) {
    COJson document(text);
    EXPECT_TRUE(document.getIsValidJson()) << text;
    return document.obtainJsonString();
}

/// text as a JSON string literal, quotes included.
inline std::string jsonQuoted(std::string_view text) {
    COJson document;
    document.addKeyValue("s").setString(text);
    const std::string object = document.obtainJsonString();  // {"s":...}
    return object.substr(5, object.size() - 6);
}

}  // namespace qai_test
