#pragma once
// The providers as the tests see them: one row each, the pieces of their
// wire formats (tests/fixtures/wire/), and the helpers that drive an
// assistant through qai.h against the test server, as a host does.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "qai.h"
#include "test_server.h"

namespace qai::test {

enum class Wire { ChatCompletions, Anthropic, Google, Ollama };

struct Provider {
    const char* name;  ///< as the qai program's --provider names it
    QAIAssistantType type;
    Wire wire;
    const char* chatPath;    ///< of a message for model "<model>" (Google's streamed one differs)
    const char* modelsPath;  ///< "" when the provider lists no models
    const char* defaultHost;
    const char* keyVariable;  ///< the qai program's key variable ("" for none)
};
inline void PrintTo(const Provider& provider, std::ostream* out) { *out << provider.name; }

inline const std::vector<Provider>& allProviders() {
    static const std::vector<Provider> rows = {
        {"openai", QAIAssistantType_OPENAI, Wire::ChatCompletions, "/v1/chat/completions", "/v1/models",
         "api.openai.com", "OPENAI_API_KEY"},
        {"deepseek", QAIAssistantType_DEEPSEEK, Wire::ChatCompletions, "/chat/completions", "/models",
         "api.deepseek.com", "DEEPSEEK_API_KEY"},
        {"xai", QAIAssistantType_X, Wire::ChatCompletions, "/v1/chat/completions", "/v1/models", "api.x.ai",
         "XAI_API_KEY"},
        {"alibaba", QAIAssistantType_ALIBABA, Wire::ChatCompletions, "/compatible-mode/v1/chat/completions",
         "/compatible-mode/v1/models", "dashscope.aliyuncs.com", "DASHSCOPE_API_KEY"},
        {"bytedance", QAIAssistantType_BYTEDANCE, Wire::ChatCompletions, "/api/v3/chat/completions", "",
         "ark.cn-beijing.volces.com", "ARK_API_KEY"},
        {"anthropic", QAIAssistantType_ANTHROPIC, Wire::Anthropic, "/v1/messages", "/v1/models",
         "api.anthropic.com", "ANTHROPIC_API_KEY"},
        {"google", QAIAssistantType_GOOGLE, Wire::Google, "/v1beta/models/<model>:generateContent",
         "/v1beta/models", "generativelanguage.googleapis.com", "GEMINI_API_KEY"},
        {"ollama", QAIAssistantType_OLLAMA, Wire::Ollama, "/api/chat", "/api/tags", "localhost:11434", ""},
    };
    return rows;
}

/// The rows of the named providers, in the order named.
inline std::vector<Provider> providers(std::initializer_list<std::string_view> names) {
    std::vector<Provider> rows;
    for (std::string_view name : names)
        for (const Provider& row : allProviders())
            if (row.name == name) rows.push_back(row);
    return rows;
}
/// One provider of each wire format.
inline std::vector<Provider> oneOfEachWire() {
    return providers({"openai", "anthropic", "google", "ollama"});
}

/// text with every mark replaced by value.
inline std::string replaced(std::string text, const std::string& mark, const std::string& value) {
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size()))
        text.replace(at, mark.size(), value);
    return text;
}

/// Where a message for model goes.
inline std::string chatPath(const Provider& p, bool streaming = false, const std::string& model = "m") {
    return replaced(replaced(p.chatPath, "<model>", model), ":generate",
                    streaming ? ":streamGenerate" : ":generate");
}

/// The part of a wire format's fixture file, "<text>" replaced by text as a
/// JSON string with its bytes as given (half a character stays half), only
/// quotes, backslashes and control characters escaped.
inline std::string wirePart(Wire wire, const std::string& part, std::string_view text = "") {
    static const char* const kFiles[] = {"chat_completions", "anthropic", "google", "ollama"};
    std::string quoted = "\"";
    for (const char c : text) {
        char escaped[8] = {'\\', c, 0};
        if (static_cast<unsigned char>(c) < 0x20) std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        quoted += c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 ? escaped : std::string(1, c);
    }
    const std::string file = readFixture(std::string("wire/") + kFiles[static_cast<int>(wire)] + ".txt");
    const size_t from = file.find("== " + part + "\n") + part.size() + 4, end = file.find("\n== ", from - 1);
    return replaced(file.substr(from, end == std::string::npos ? end : end + 1 - from), "<text>",
                    quoted + "\"");
}

/// A stream of deltas with keep-alives between them, the closing part and, when end, the end marker.
inline std::string streamBody(Wire wire, const std::vector<std::string>& deltas, bool end = true,
                              const std::string& closing = "closing") {
    std::string body = wirePart(wire, "opening") + wirePart(wire, "keep_alive");
    for (const std::string& delta : deltas)
        body += wirePart(wire, "delta", delta) + wirePart(wire, "keep_alive");
    return body + wirePart(wire, closing) + (end ? wirePart(wire, "end") : "");
}

/// A streamed reply sent in pieces; cut: the connection closes before the body's end.
inline CannedReply streamReply(Wire wire, std::vector<ReplyPiece> pieces, bool cut = false) {
    CannedReply reply;
    reply.contentType = wire == Wire::Ollama ? "application/x-ndjson" : "text/event-stream";
    reply.pieces = std::move(pieces);
    reply.cutBeforeEnd = cut;
    return reply;
}

/// True when text is a sequence of whole UTF-8 characters.
inline bool wholeUtf8(std::string_view text) {
    for (size_t i = 0, length = 0; i < text.size(); i += length) {
        const auto lead = static_cast<unsigned char>(text[i]);
        length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    return true;
}

/// The library-wide HTTP settings for one scope, the defaults again after it.
struct SettingsScope {
    explicit SettingsScope(const CMRestGlobalSettings& settings) { QAISetHTTPSettings(settings); }
    ~SettingsScope() { QAISetHTTPSettings(CMRestGlobalSettings{}); }
};

struct FreeObject {
    void operator()(IQAIObject* object) const { QAIFreeObject(object); }
};
using AssistantPtr = std::unique_ptr<IQAIAssistant, FreeObject>;

/// A memory as a host writes one.
struct HostMemory : IQAIAssistantMemory {
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
};

/// A new assistant on a fresh pool; destroy it before its test server.
inline AssistantPtr createAssistant(QAIAssistantType type, const std::string& host,
                                    const std::string& key = "k", IQAIAssistantMemory* memory = nullptr) {
    return AssistantPtr(QAICreateAssistant(type, cfCreateHTTPPoolCenter(), key, host, memory));
}

/// Assigns values through updateProperties; every value must be accepted.
inline void configure(IQAIAssistant* assistant,
                      std::initializer_list<std::pair<std::string, CMVariant>> values) {
    EXPECT_EQ(assistant->updateProperties([&values](IQAIProperties* properties) {
        for (const auto& [key, value] : values) EXPECT_TRUE(properties->setProperty(key, value)) << key;
    }),
              "");
}

/// A property read through a copy of the store, as a host reads it.
inline CMVariant readProperty(IQAIAssistant* assistant, const std::string& key) {
    return std::unique_ptr<IQAIProperties, FreeObject>(assistant->obtainProperties())->obtainProperty(key);
}

/// The calls that go to the provider: addMessage("hi"), addMessageStreaming("hi"), obtainAvailableModels.
enum class Call { Message, Stream, Models };

/// What a call gave back, the message already released.
struct Outcome {
    bool produced = false;  ///< a message, or a list with models
    std::string text;       ///< the message's sections joined, or the models each followed by ","
    std::string error;
    std::vector<std::string> pieces;  ///< what a stream handed to the host
    std::string facts;  ///< "role R, S section(s), I in, O out, C cached, W written, stop N (TEXT)"
};

inline Outcome run(IQAIAssistant* assistant, Call call,
                   const std::function<bool(std::string_view)>& onPiece = {}) {
    Outcome out;
    if (call == Call::Models) {
        auto [models, error] = assistant->obtainAvailableModels();
        for (const std::string& model : models) out.text += model + ",";
        out.produced = !models.empty();
        out.error = error;
        return out;
    }
    const auto [message, error] = call == Call::Message
                                      ? assistant->addMessage("hi")
                                      : assistant->addMessageStreaming("hi", [&](std::string_view piece) {
                                            out.pieces.emplace_back(piece);
                                            return !onPiece || onPiece(piece);
                                        });
    out.error = error;
    if (!(out.produced = message != nullptr)) return out;
    for (IQAIMessageSection* section : message->obtainSections()) out.text.append(section->obtainText());
    out.facts = "role " + std::to_string(message->obtainRole()) + ", " +
                std::to_string(message->obtainSections().size()) + " section(s), " +
                std::to_string(message->obtainInputTokens()) + " in, " +
                std::to_string(message->obtainOutputTokens()) + " out, " +
                std::to_string(message->obtainCachedInputTokens()) + " cached, " +
                std::to_string(message->obtainCacheWriteTokens()) + " written, stop " +
                std::to_string(message->obtainStopReason()) + " (" + message->obtainStopReasonText() + ")";
    QAIFreeObject(message);
    return out;
}

/// Runs a call that must fail, with an earlier exchange in the memory: it
/// hands back nothing and leaves the memory as it was. Returns the error text.
inline std::string failure(IQAIAssistant* assistant, HostMemory& memory, Call call,
                           const std::function<bool(std::string_view)>& onPiece = {}) {
    memory.records = {{0, "earlier"}, {1, "answer"}};
    const Outcome out = run(assistant, call, onPiece);
    EXPECT_FALSE(out.produced) << out.text;
    EXPECT_NE(out.error, "");
    EXPECT_EQ(memory.history(), "0:earlier|1:answer|");
    return out.error;
}

}  // namespace qai::test
