#pragma once
// Helpers for provider tests that drive an assistant as a host would: through
// qai.h only, against the local test server. Generic over the assistant type.
#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cf/COJson.h"
#include "qai.h"
#include "test_server.h"

namespace qai_test {

/// Releases library objects with QAIFreeObject.
struct FreeObject {
    void operator()(IQAIObject* object) const { QAIFreeObject(object); }
};
using AssistantPtr = std::unique_ptr<IQAIAssistant, FreeObject>;

/// A memory as a host writes one: records in a vector, and a counter the
/// test reads to see whether (and how often) the memory was destroyed.
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

    std::string summary;
    std::vector<QAIMemoryRecord> records;

private:
    int* destroyed_;
};

/// A new assistant of type on a fresh pool; host is the API host as the
/// host application passes it (e.g. "http://127.0.0.1:PORT").
inline AssistantPtr createAssistant(QAIAssistantType type, const std::string& host,
                                    const std::string& key = "test-key",
                                    IQAIAssistantMemory* memory = nullptr) {
    return AssistantPtr(QAICreateAssistant(type, cfCreateHTTPPoolCenter(), key, host, memory));
}

/// A new assistant of type pointed at the local test server. Destroy it
/// before the server: the server waits for open keep-alive connections.
inline AssistantPtr createAssistant(QAIAssistantType type, const qai::test::TestServer& server,
                                    const std::string& key = "test-key",
                                    IQAIAssistantMemory* memory = nullptr) {
    return createAssistant(type, server.url(), key, memory);
}

/// A canned reply of status with a JSON body.
inline qai::test::CannedReply cannedReply(int status, std::string body) {
    qai::test::CannedReply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

/// Assigns values through updateProperties; every value must be accepted.
inline void configure(IQAIAssistant* assistant,
                      std::initializer_list<std::pair<std::string, CMVariant>> values) {
    std::vector<std::pair<std::string, CMVariant>> list(values);
    const std::string error = assistant->updateProperties([&list](IQAIProperties* properties) {
        for (const auto& [key, value] : list) EXPECT_TRUE(properties->setProperty(key, value)) << key;
    });
    EXPECT_EQ(error, "");
}

/// A property read through a copy of the store, as a host reads it.
inline CMVariant readProperty(IQAIAssistant* assistant, const std::string& key) {
    std::unique_ptr<IQAIProperties, FreeObject> copy(assistant->obtainProperties());
    return copy->obtainProperty(key);
}

/// What addMessage gave back, with the message already released.
struct Reply {
    bool hasMessage = false;
    int32_t role = -1;
    size_t sectionCount = 0;
    std::string text;  ///< the sections' texts, concatenated
    std::string error;
};

inline Reply send(IQAIAssistant* assistant, const std::string& text) {
    auto [message, error] = assistant->addMessage(text);
    Reply reply;
    reply.error = error;
    if (message) {
        reply.hasMessage = true;
        reply.role = message->obtainRole();
        reply.sectionCount = message->obtainSections().size();
        for (IQAIMessageSection* section : message->obtainSections())
            reply.text.append(section->obtainText());
        QAIFreeObject(message);
    }
    return reply;
}

/// text re-serialised compactly, for comparing request bodies with expected JSON.
inline std::string compactJson(std::string_view text) {
    COJson document(text);
    EXPECT_TRUE(document.getIsValidJson()) << text;
    return document.obtainJsonString();
}

/// text as a JSON string literal, quotes included, for building expected bodies.
inline std::string jsonQuoted(std::string_view text) {
    COJson document;
    document.addKeyValue("s").setString(text);
    const std::string object = document.obtainJsonString();  // {"s":...}
    return object.substr(5, object.size() - 6);
}

/// A recorded reply body from tests/fixtures.
inline std::string loadFixture(const std::string& name) {
    std::ifstream in(std::string(QAI_TEST_FIXTURES) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

/// Registers a localization callback answering from a table (keys missing
/// from it get no answer) for its lifetime; switches localization off after.
class ScopedTranslations {
public:
    explicit ScopedTranslations(std::initializer_list<std::pair<const std::string, std::string>> table) {
        table_ = table;
        QAIRegisterCallback(&ScopedTranslations::answer);
    }
    explicit ScopedTranslations(const std::map<std::string, std::string>& table) {
        table_ = table;
        QAIRegisterCallback(&ScopedTranslations::answer);
    }
    ~ScopedTranslations() {
        QAIRegisterCallback(nullptr);
        table_.clear();
    }
    ScopedTranslations(const ScopedTranslations&) = delete;
    ScopedTranslations& operator=(const ScopedTranslations&) = delete;

private:
    static void answer(const char* key, void* data) {
        auto* info = static_cast<QAICallbackLocalizationInfo*>(data);
        if (std::string_view(key) != "QAILocalizeString") return;
        auto it = table_.find(info->text);
        if (it == table_.end()) return;
        it->second.copy(info->localized, sizeof info->localized - 1);
    }
    static inline std::map<std::string, std::string> table_;
};

}  // namespace qai_test
