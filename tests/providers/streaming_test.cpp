// Streamed replies as a host sees them, one table row per provider: the
// pieces handed to the host, the final message, its usage and stop reason,
// and every way a stream can end early.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "provider_fixture.h"

using namespace qai_test;
using qai::test::CannedReply;
using qai::test::ReplyPiece;
using qai::test::TestServer;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

enum class Protocol { ChatCompletions, Anthropic, Google, Ollama };

struct Provider {
    const char* name;
    QAIAssistantType type;
    Protocol protocol;
    const char* streamPath;  // for model "m"
    const char* wholePath;
};
void PrintTo(const Provider& provider, std::ostream* out) { *out << provider.name; }

const Provider kProviders[] = {
    {"OpenAI", QAIAssistantType_OPENAI, Protocol::ChatCompletions, "/v1/chat/completions",
     "/v1/chat/completions"},
    {"DeepSeek", QAIAssistantType_DEEPSEEK, Protocol::ChatCompletions, "/chat/completions",
     "/chat/completions"},
    {"X", QAIAssistantType_X, Protocol::ChatCompletions, "/v1/chat/completions", "/v1/chat/completions"},
    {"Alibaba", QAIAssistantType_ALIBABA, Protocol::ChatCompletions, "/compatible-mode/v1/chat/completions",
     "/compatible-mode/v1/chat/completions"},
    {"Bytedance", QAIAssistantType_BYTEDANCE, Protocol::ChatCompletions, "/api/v3/chat/completions",
     "/api/v3/chat/completions"},
    {"Anthropic", QAIAssistantType_ANTHROPIC, Protocol::Anthropic, "/v1/messages", "/v1/messages"},
    {"Google", QAIAssistantType_GOOGLE, Protocol::Google, "/v1beta/models/m:streamGenerateContent",
     "/v1beta/models/m:generateContent"},
    {"Ollama", QAIAssistantType_OLLAMA, Protocol::Ollama, "/api/chat", "/api/chat"},
};

/// text as a JSON string with its bytes as given: half a character stays half.
std::string rawQuoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

/// The wire form of one text delta (bytes as given, possibly half a character).
std::string deltaEvent(Protocol protocol, const std::string& text) {
    const std::string quoted = rawQuoted(text);
    switch (protocol) {
        case Protocol::ChatCompletions:
            return R"(data: {"choices":[{"index":0,"delta":{"content":)" + quoted + "}}]}\n\n";
        case Protocol::Anthropic:
            return "event: content_block_delta\ndata: "
                   R"({"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":)" +
                   quoted + "}}\n\n";
        case Protocol::Google:
            return R"(data: {"candidates":[{"content":{"role":"model","parts":[{"text":)" + quoted +
                   R"(}]}}],"usageMetadata":{"promptTokenCount":11,"candidatesTokenCount":2}})" + "\n\n";
        case Protocol::Ollama:
            return R"({"message":{"role":"assistant","content":)" + quoted + R"(},"done":false})" + "\n";
    }
    return {};
}

/// What opens a stream before its first delta.
std::string opening(Protocol protocol) {
    if (protocol == Protocol::Anthropic)
        return "event: message_start\ndata: "
               R"({"type":"message_start","message":{"usage":{"input_tokens":11,"output_tokens":1}}})"
               "\n\n";
    return {};
}

/// What a server sends while the model thinks: no text, no progress.
std::string keepAlive(Protocol protocol) {
    switch (protocol) {
        case Protocol::ChatCompletions:
        case Protocol::Google:
            return ": keep-alive\n\n";
        case Protocol::Anthropic:
            return "event: ping\ndata: {\"type\": \"ping\"}\n\n";
        case Protocol::Ollama:
            return "\n";
    }
    return {};
}

/// The stream's end: stop reason at the token limit, 11 tokens in, 7 out,
/// and the end marker unless cut. usageLast: usage on an extra chunk after
/// the finish chunk (chat completions) rather than on it.
std::string closing(Protocol protocol, bool withEndMarker = true, bool usageLast = true) {
    switch (protocol) {
        case Protocol::ChatCompletions: {
            const std::string usage = R"("usage":{"prompt_tokens":11,"completion_tokens":7})";
            std::string text = R"(data: {"choices":[{"index":0,"delta":{},"finish_reason":"length"}],)" +
                               (usageLast ? std::string(R"("usage":null})") : usage + "}") + "\n\n";
            if (usageLast) text += R"(data: {"choices":[],)" + usage + "}\n\n";
            return text + (withEndMarker ? "data: [DONE]\n\n" : "");
        }
        case Protocol::Anthropic:
            return "event: message_delta\ndata: "
                   R"({"type":"message_delta","delta":{"stop_reason":"max_tokens"},"usage":{"output_tokens":7}})"
                   "\n\n" +
                   std::string(withEndMarker ? "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n"
                                             : "");
        case Protocol::Google:
            // No end marker: the clean end of the body ends the reply.
            return R"(data: {"candidates":[{"content":{"role":"model","parts":[{"text":""}]},)"
                   R"("finishReason":"MAX_TOKENS"}],"usageMetadata":{"promptTokenCount":11,"candidatesTokenCount":7}})"
                   "\n\n";
        case Protocol::Ollama:
            return withEndMarker ? R"({"message":{"role":"assistant","content":""},"done":true,)"
                                   R"("done_reason":"length","prompt_eval_count":11,"eval_count":7})"
                                   "\n"
                                 : "";
    }
    return {};
}

const char* streamType(Protocol protocol) {
    return protocol == Protocol::Ollama ? "application/x-ndjson" : "text/event-stream";
}

/// body cut into pieces of size bytes, each sent after delay.
std::vector<ReplyPiece> inPieces(const std::string& body, size_t size, milliseconds delay = milliseconds(1)) {
    std::vector<ReplyPiece> pieces;
    for (size_t at = 0; at < body.size(); at += size) pieces.push_back({delay, body.substr(at, size)});
    return pieces;
}

CannedReply streamReply(Protocol protocol, std::vector<ReplyPiece> pieces, bool cut = false) {
    CannedReply reply(200, "");
    reply.contentType = streamType(protocol);
    reply.pieces = std::move(pieces);
    reply.cutBeforeEnd = cut;
    return reply;
}

/// Every line end replaced by ending ("\n", "\r\n" or "\r").
std::string withLineEnds(const std::string& text, const std::string& ending) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out += ending;
        } else {
            out += c;
        }
    }
    return out;
}

struct SettingsScope {
    explicit SettingsScope(const CMRestGlobalSettings& settings) { QAISetHTTPSettings(settings); }
    ~SettingsScope() { QAISetHTTPSettings(CMRestGlobalSettings{}); }
};

/// What addMessageStreaming gave back, the message already released.
struct Streamed {
    std::vector<std::string> pieces;
    std::string joined;
    Reply reply;
    int64_t inputTokens = -2, outputTokens = -2;
    QAIStopReason stopReason = QAIStopReason_Unknown;
    std::string stopReasonText;
};

Streamed stream(IQAIAssistant* assistant, const std::function<bool(std::string_view)>& extra = {}) {
    Streamed result;
    auto [message, error] = assistant->addMessageStreaming("hi", [&](std::string_view piece) {
        result.pieces.emplace_back(piece);
        result.joined.append(piece);
        return extra ? extra(piece) : true;
    });
    result.reply.error = error;
    result.reply.hasMessage = message != nullptr;
    if (!message) return result;
    for (IQAIMessageSection* section : message->obtainSections())
        result.reply.text.append(section->obtainText());
    result.inputTokens = message->obtainInputTokens();
    result.outputTokens = message->obtainOutputTokens();
    result.stopReason = message->obtainStopReason();
    result.stopReasonText = message->obtainStopReasonText();
    QAIFreeObject(message);
    return result;
}

bool wholeUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

// 2-, 3- and 4-byte characters, each split between two deltas.
const std::vector<std::string> kSplitDeltas = {"H\xC3", "\xA9llo \xE4\xB8", "\x96\xE7\x95\x8C \xF0\x9F",
                                               "\x98\x80!"};
const std::string kSplitText = "H\xC3\xA9llo \xE4\xB8\x96\xE7\x95\x8C \xF0\x9F\x98\x80!";

std::string fullStream(Protocol protocol, bool usageLast = true) {
    std::string body = opening(protocol) + keepAlive(protocol);
    for (const std::string& delta : kSplitDeltas) body += deltaEvent(protocol, delta) + keepAlive(protocol);
    return body + closing(protocol, true, usageLast);
}

class Streaming : public ::testing::TestWithParam<Provider> {
protected:
    void SetUp() override {
        assistant =
            AssistantPtr(QAICreateAssistant(GetParam().type, pool, "key-123456789", server.url(), &memory));
        configure(assistant.get(), {{"model", CMVariant("m")}});
    }
    void TearDown() override { assistant.reset(); }

    TestServer server;
    HostMemory memory;
    ICSHTTPPoolCenter* pool = cfCreateHTTPPoolCenter();
    AssistantPtr assistant;
};

// Characters split across pieces and across events, every line ending, keep-alives and
// pings between events: the host gets whole characters, the message their join, the facts.
TEST_P(Streaming, HandsOnWholeCharactersAndTheFinalFacts) {
    const Provider& provider = GetParam();
    for (const char* ending : {"\n", "\r\n", "\r"}) {
        for (const size_t size : {size_t{1}, size_t{5}, size_t{64}}) {
            for (const bool usageLast : {true, false}) {
                if (!usageLast && provider.protocol != Protocol::ChatCompletions) continue;
                SCOPED_TRACE(testing::Message()
                             << "ending " << int(ending[0]) << int(ending[1]) << ", pieces of " << size
                             << (usageLast ? ", usage last" : ", usage on finish"));
                const std::string body = withLineEnds(fullStream(provider.protocol, usageLast), ending);
                server.replyOnce(
                    "POST", provider.streamPath,
                    streamReply(provider.protocol, inPieces(body, size, milliseconds(size == 1 ? 0 : 1))));
                memory.records.clear();
                const Streamed result = stream(assistant.get());
                ASSERT_EQ(result.reply.error, "");
                EXPECT_EQ(result.joined, kSplitText);
                EXPECT_EQ(result.reply.text, kSplitText);
                for (const std::string& piece : result.pieces) {
                    EXPECT_FALSE(piece.empty());
                    EXPECT_TRUE(wholeUtf8(piece)) << piece;
                }
                EXPECT_EQ(result.inputTokens, 11);
                EXPECT_EQ(result.outputTokens, 7);
                EXPECT_EQ(result.stopReason, QAIStopReason_TokenLimit);
                EXPECT_EQ(memory.history(), "0:hi|1:" + kSplitText + "|");
            }
        }
    }
    // A host that wants no pieces passes no function.
    server.replyOnce("POST", provider.streamPath,
                     streamReply(provider.protocol, inPieces(fullStream(provider.protocol), 64)));
    auto [message, error] = assistant->addMessageStreaming("hi", {});
    ASSERT_NE(message, nullptr) << error;
    EXPECT_EQ(message->obtainSections().front()->obtainText(), kSplitText);
    QAIFreeObject(message);
    const std::string sent = server.lastRequest().body;
    if (provider.protocol == Protocol::ChatCompletions) {
        EXPECT_NE(sent.find(R"("stream":true,"stream_options":{"include_usage":true})"), std::string::npos)
            << sent;
    } else if (provider.protocol == Protocol::Google) {
        EXPECT_EQ(server.lastRequest().get_param_value("alt"), "sse");
        EXPECT_EQ(server.lastRequest().get_param_value("key"), "key-123456789");
    } else {
        EXPECT_NE(sent.find(R"("stream":true)"), std::string::npos) << sent;
    }
}

// Each way a stream fails: the pieces shown so far stay the host's, the call fails with a
// clear text and the memory is unchanged.
TEST_P(Streaming, FailuresLeaveTheMemoryUnchanged) {
    const Provider& provider = GetParam();
    const Protocol protocol = provider.protocol;
    struct Case {
        const char* name;
        CannedReply reply;
        std::string error;  // a part of the expected text
    };
    const std::string first = opening(protocol) + deltaEvent(protocol, "Hal");
    std::vector<Case> cases;
    // Google has no end marker: a cut shows as the transport's broken chunked body.
    cases.push_back({"missing end marker",
                     streamReply(protocol, {{milliseconds(0), first + closing(protocol, false)}}, true),
                     protocol == Protocol::Google ? "ended early" : ""});
    if (protocol != Protocol::Google) {
        cases.push_back({"clean end without end marker",
                         streamReply(protocol, {{milliseconds(0), first + closing(protocol, false)}}),
                         "The reply ended before it was complete"});
    }
    const std::map<Protocol, std::string> midError = {
        {Protocol::ChatCompletions, R"(data: {"error":{"message":"server overloaded","type":"x"}})"
                                    "\n\n"},
        {Protocol::Anthropic,
         "event: error\ndata: "
         R"({"type":"error","error":{"type":"overloaded_error","message":"server overloaded"}})"
         "\n\n"},
        // Outside the event framing, over several lines.
        {Protocol::Google,
         "{\n  \"error\": {\n    \"code\": 503,\n    \"message\": \"server overloaded\",\n"
         "    \"status\": \"UNAVAILABLE\"\n  }\n}\n"},
        {Protocol::Ollama, R"({"error":"server overloaded"})"
                           "\n"},
    };
    cases.push_back(
        {"provider error mid-stream",
         streamReply(protocol, {{milliseconds(0), first}, {milliseconds(5), midError.at(protocol)}}),
         "server overloaded"});
    const std::string garbage = protocol == Protocol::Ollama ? "{not json\n" : "data: {not json\n\n";
    cases.push_back({"piece that is no JSON", streamReply(protocol, {{milliseconds(0), first + garbage}}),
                     "Invalid response: "});
    CannedReply refused(400, R"({"error":{"message":"bad request here"}})");
    cases.push_back(
        {"4xx JSON error", refused, provider.type == QAIAssistantType_X ? "" : "bad request here"});

    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        server.replyOnce("POST", provider.streamPath, item.reply);
        memory.records = {{0, "q"}, {1, "a"}};
        const Streamed result = stream(assistant.get());
        EXPECT_FALSE(result.reply.hasMessage);
        EXPECT_NE(result.reply.error, "");
        EXPECT_NE(result.reply.error.find(item.error), std::string::npos) << result.reply.error;
        EXPECT_EQ(memory.history(), "0:q|1:a|");
    }
}

// A 2xx that is not a stream is read as today's whole reply and handed over as one piece.
TEST_P(Streaming, WholeReplyFallbackIsOnePiece) {
    const Provider& provider = GetParam();
    const std::map<Protocol, std::string> whole = {
        {Protocol::ChatCompletions,
         R"({"choices":[{"message":{"role":"assistant","content":"Whole"},"finish_reason":"stop"}],)"
         R"("usage":{"prompt_tokens":3,"completion_tokens":4}})"},
        {Protocol::Anthropic,
         R"({"content":[{"type":"text","text":"Whole"}],"stop_reason":"end_turn","usage":{"input_tokens":3,"output_tokens":4}})"},
        {Protocol::Google,
         R"({"candidates":[{"content":{"role":"model","parts":[{"text":"Whole"}]},"finishReason":"STOP"}],)"
         R"("usageMetadata":{"promptTokenCount":3,"candidatesTokenCount":4}})"},
        {Protocol::Ollama,
         R"({"message":{"role":"assistant","content":"Whole"},"done":true,"done_reason":"stop",)"
         R"("prompt_eval_count":3,"eval_count":4})"},
    };
    server.replyOnce("POST", provider.streamPath, CannedReply(200, whole.at(provider.protocol)));
    const Streamed result = stream(assistant.get());
    ASSERT_EQ(result.reply.error, "");
    EXPECT_EQ(result.pieces, std::vector<std::string>{"Whole"});
    EXPECT_EQ(result.reply.text, "Whole");
    EXPECT_EQ(result.inputTokens, 3);
    EXPECT_EQ(result.outputTokens, 4);
    EXPECT_EQ(result.stopReason, QAIStopReason_EndOfTurn);

    // addMessage reads the same facts from its (never streamed) reply.
    server.replyOnce("POST", provider.wholePath, CannedReply(200, whole.at(provider.protocol)));
    auto [message, error] = assistant->addMessage("again");
    ASSERT_NE(message, nullptr) << error;
    EXPECT_EQ(message->obtainInputTokens(), 3);
    EXPECT_EQ(message->obtainOutputTokens(), 4);
    EXPECT_EQ(message->obtainStopReason(), QAIStopReason_EndOfTurn);
    EXPECT_NE(message->obtainStopReasonText(), "");
    QAIFreeObject(message);
}

// The host ends the stream: by returning false, by throwing, by Stop while the server is
// silent and while text flows. Each returns at once with the memory unchanged, and the
// connection is not reused.
TEST_P(Streaming, HostEndsTheStream) {
    const Provider& provider = GetParam();
    const Protocol protocol = provider.protocol;
    const std::string first = opening(protocol) + deltaEvent(protocol, "one");
    const auto slowStream = [&] {
        return streamReply(protocol, {{milliseconds(0), first},
                                      {milliseconds(5000), deltaEvent(protocol, "two")},
                                      {milliseconds(0), closing(protocol)}});
    };
    struct Case {
        const char* name;
        std::function<bool(std::string_view)> onDelta;
        bool stopFromOutside;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"onDelta false", [](std::string_view) { return false; }, false, "Request cancelled"},
        {"onDelta throws", [](std::string_view) -> bool { throw std::runtime_error("view gone"); }, false,
         "The reply text handler failed: view gone"},
        {"Stop mid-stream",
         [this](std::string_view) {
             pool->cancelRequests();
             return true;
         },
         false, "Request cancelled"},
        {"Stop while idle", {}, true, "Request cancelled"},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        if (item.stopFromOutside) {
            CannedReply silent = slowStream();
            silent.pieces.front().delay = milliseconds(5000);
            server.replyOnce("POST", provider.streamPath, silent);
        } else {
            server.replyOnce("POST", provider.streamPath, slowStream());
        }
        memory.records.clear();
        server.clearRequests();
        const auto start = Clock::now();
        auto running = std::async(std::launch::async, [&] { return stream(assistant.get(), item.onDelta); });
        if (item.stopFromOutside) {
            std::this_thread::sleep_for(milliseconds(300));
            pool->cancelRequests();
        }
        const Streamed result = running.get();
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.0);
        EXPECT_EQ(result.reply.error, item.error);
        EXPECT_EQ(memory.history(), "");
        // The next call runs on a new connection.
        server.replyOnce("POST", provider.streamPath,
                         streamReply(protocol, {{milliseconds(0), fullStream(protocol)}}));
        EXPECT_EQ(stream(assistant.get()).reply.error, "");
        EXPECT_EQ(server.connectionCount(), 2u);
    }
}

// Only reply text is progress: keep-alives alone end a stream at the stall limit, mid-stream
// and before the first text (the request limit); a long healthy stream outlives the request limit.
TEST_P(Streaming, TimeLimitsCountReplyTextOnly) {
    const Provider& provider = GetParam();
    const Protocol protocol = provider.protocol;
    CMRestGlobalSettings settings;
    settings.stallTimeoutSeconds = 1;
    settings.requestTimeoutSeconds = 1;
    SettingsScope scope(settings);

    std::vector<ReplyPiece> idling = {{milliseconds(0), opening(protocol) + deltaEvent(protocol, "one")}};
    for (int i = 0; i < 12; ++i) idling.push_back({milliseconds(250), keepAlive(protocol)});
    server.replyOnce("POST", provider.streamPath, streamReply(protocol, idling));
    Streamed result = stream(assistant.get());
    EXPECT_EQ(result.joined, "one");
    EXPECT_NE(result.reply.error.find("stalled: no reply text came for 1 second"), std::string::npos)
        << result.reply.error;

    idling.front().text = opening(protocol) + keepAlive(protocol);
    settings.stallTimeoutSeconds = 5;  // the request limit alone ends the wait for the first text
    QAISetHTTPSettings(settings);
    server.replyOnce("POST", provider.streamPath, streamReply(protocol, idling));
    result = stream(assistant.get());
    EXPECT_NE(result.reply.error.find("timed out after 1 second: no reply text came"), std::string::npos)
        << result.reply.error;

    settings.stallTimeoutSeconds = 1;
    QAISetHTTPSettings(settings);
    std::vector<ReplyPiece> healthy = {{milliseconds(0), opening(protocol)}};
    for (int i = 0; i < 8; ++i) healthy.push_back({milliseconds(250), deltaEvent(protocol, "x")});
    healthy.push_back({milliseconds(0), closing(protocol)});
    server.replyOnce("POST", provider.streamPath, streamReply(protocol, healthy));
    result = stream(assistant.get());
    EXPECT_EQ(result.reply.error, "");
    EXPECT_EQ(result.reply.text, "xxxxxxxx");
    EXPECT_EQ(memory.history(), "0:hi|1:xxxxxxxx|");
}

INSTANTIATE_TEST_SUITE_P(Providers, Streaming, ::testing::ValuesIn(kProviders),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
