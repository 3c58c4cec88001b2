// Streamed replies as a host sees them, once per wire format: the pieces
// handed to the host, the final message and its facts, and every way a
// stream ends early. (provider_rules_test streams once through every
// provider: each chat-completions provider uses the shared decoder.)
#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "providers.h"

using namespace qai::test;
using std::chrono::milliseconds;

namespace {

// 2-, 3- and 4-byte characters, each split between two deltas.
const std::vector<std::string> kSplitDeltas = {"H\xC3", "\xA9llo \xE4\xB8", "\x96\xE7\x95\x8C \xF0\x9F",
                                               "\x98\x80!"};
const std::string kSplitText = "H\xC3\xA9llo \xE4\xB8\x96\xE7\x95\x8C \xF0\x9F\x98\x80!";
// Each wire's word for the token limit (the fixtures' closing) and for the end of a turn (their whole reply).
const char* const kLimitWord[] = {"length", "max_tokens", "MAX_TOKENS", "length"};
const char* const kEndWord[] = {"stop", "end_turn", "STOP", "stop"};
// What each wire's closing and whole reply say of the prompt cache (whole: DeepSeek's name wins).
const char* const kStreamCache[] = {"6 cached, 2 written", "6 cached, 2 written", "6 cached, -1 written",
                                    "-1 cached, -1 written"};
const char* const kWholeCache[] = {"1 cached, -1 written", "1 cached, -1 written", "1 cached, -1 written",
                                   "-1 cached, -1 written"};

/// body cut into pieces of size bytes, each sent after delay.
std::vector<ReplyPiece> inPieces(const std::string& body, size_t size, milliseconds delay = milliseconds(1)) {
    std::vector<ReplyPiece> pieces;
    for (size_t at = 0; at < body.size(); at += size) pieces.push_back({delay, body.substr(at, size)});
    return pieces;
}

class Streaming : public testing::TestWithParam<Provider> {
protected:
    void SetUp() override { configure(assistant.get(), {{"model", CMVariant("m")}}); }
    /// Answers the next streamed message with pieces.
    void next(std::vector<ReplyPiece> pieces, bool cut = false) {
        server.replyOnce("POST", chatPath(GetParam(), true),
                         streamReply(GetParam().wire, std::move(pieces), cut));
    }

    const Wire wire = GetParam().wire;
    TestServer server;
    HostMemory memory;
    ICSHTTPPoolCenter* pool = cfCreateHTTPPoolCenter();
    AssistantPtr assistant{QAICreateAssistant(GetParam().type, pool, "key-123456789", server.url(), &memory)};
};

// Characters split across pieces and across events, every line ending, keep-alives and
// pings between events: the host gets whole characters, the message their join, the facts.
TEST_P(Streaming, HandsOnWholeCharactersAndTheFinalFacts) {
    const std::string facts = "role 1, 1 section(s), 11 in, 7 out, " + std::string(kStreamCache[int(wire)]) +
                              ", stop 2 (" + kLimitWord[int(wire)] + ")";
    for (const char* ending : {"\n", "\r\n", "\r"}) {
        for (const size_t size : {size_t{1}, size_t{5}, size_t{64}}) {
            for (const char* closing : {"closing", "closing_usage_on_finish"}) {
                if (std::string(closing) != "closing" && wire != Wire::ChatCompletions) continue;
                SCOPED_TRACE(testing::Message() << "ending " << int(ending[0]) << int(ending[1])
                                                << ", pieces of " << size << ", " << closing);
                // What follows the end marker is read off the connection, never parsed
                // (Google's stream has none: its end is the body's).
                const std::string trailer = wire == Wire::Google ? "" : "data: {proxy trailer\n\nnot json\n";
                next(inPieces(replaced(streamBody(wire, kSplitDeltas, true, closing), "\n", ending) + trailer,
                              size, milliseconds(size == 1 ? 0 : 1)));
                memory.records.clear();
                const Outcome out = run(assistant.get(), Call::Stream);
                ASSERT_EQ(out.error, "");
                EXPECT_EQ(out.text, kSplitText);
                std::string joined;
                for (const std::string& piece : out.pieces) {
                    EXPECT_TRUE(!piece.empty() && wholeUtf8(piece)) << piece;
                    joined += piece;
                }
                EXPECT_EQ(joined, kSplitText);
                EXPECT_EQ(out.facts, facts);
                EXPECT_EQ(memory.history(), "0:hi|1:" + kSplitText + "|");
            }
        }
    }
    EXPECT_EQ(server.connectionCount(), 1u);  // every stream was read to its end
    // A host that wants no pieces passes no function.
    next({{milliseconds(0), streamBody(wire, kSplitDeltas)}});
    auto [message, error] = assistant->addMessageStreaming("hi", {});
    ASSERT_NE(message, nullptr) << error;
    EXPECT_EQ(message->obtainSections().front()->obtainText(), kSplitText);
    QAIFreeObject(message);
    const ReceivedRequest sent = server.lastRequest();
    const std::string marks = replaced(wirePart(wire, "stream_request"), "\n", "");
    EXPECT_NE((sent.target + sent.body).find(marks), std::string::npos) << sent.target << sent.body;
}

// Each way a stream fails: the call fails with a clear text, the memory unchanged.
TEST_P(Streaming, FailuresLeaveTheMemoryUnchanged) {
    const std::string first = wirePart(wire, "opening") + wirePart(wire, "delta", "Hal");
    const std::string cutEnd = first + wirePart(wire, "closing");
    // A named error event fails the call in every event-stream format, even with the end marker after it.
    const std::string errorEvent = "event: error\ndata: {\"message\":\"quota gone\"}\n\n";
    const struct {
        const char* name;
        std::string body;
        bool cut;
        std::string error;  // a part of the expected text
    } rows[] = {
        // Google has no end marker: a cut shows as the transport's broken chunked body.
        {"missing end marker", cutEnd, true, wire == Wire::Google ? "ended early" : ""},
        {"clean end without end marker", cutEnd, false, "The reply ended before it was complete"},
        {"provider error mid-stream", first + wirePart(wire, "error"), false, "server overloaded"},
        {"named error event", first + errorEvent, false, "quota gone"},
        {"named error event, then the end", errorEvent + wirePart(wire, "closing") + wirePart(wire, "end"),
         false, "quota gone"},
        {"piece that is no JSON", first + wirePart(wire, "garbage"), false, "Invalid response: "},
    };
    for (const auto& row : rows) {
        // Google ends cleanly without an end marker: that is a whole reply; Ollama's lines are no events.
        if ((wire == Wire::Google && std::string(row.name) == "clean end without end marker") ||
            (wire == Wire::Ollama && std::string(row.name).find("event") != std::string::npos))
            continue;
        for (const size_t size : {row.body.size(), size_t{1}}) {
            SCOPED_TRACE(testing::Message() << row.name << ", pieces of " << size);
            next(inPieces(row.body, size, milliseconds(0)), row.cut);
            const std::string error = failure(assistant.get(), memory, Call::Stream);
            EXPECT_NE(error.find(row.error), std::string::npos) << error;
        }
    }
}

// A 2xx that is not a stream is read as a whole reply and handed over as one piece;
// addMessage reads the same facts from its (never streamed) reply.
TEST_P(Streaming, WholeReplyFallbackIsOnePiece) {
    const std::string facts = "role 1, 1 section(s), 3 in, 4 out, " + std::string(kWholeCache[int(wire)]) +
                              ", stop 1 (" + kEndWord[int(wire)] + ")";
    server.replyOnce("POST", chatPath(GetParam(), true), CannedReply(200, wirePart(wire, "whole", "Whole")));
    Outcome out = run(assistant.get(), Call::Stream);
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.pieces, std::vector<std::string>{"Whole"});
    EXPECT_EQ(out.text + " " + out.facts, "Whole " + facts);
    server.replyOnce("POST", chatPath(GetParam()), CannedReply(200, wirePart(wire, "whole", "Whole")));
    out = run(assistant.get(), Call::Message);
    EXPECT_EQ(out.text + " " + out.facts, "Whole " + facts);
}

// The host ends the stream: by returning false, by throwing, by Stop while text flows and
// while the server is silent. Each returns at once, with the host's word for "Request
// cancelled" and the memory unchanged, and the next call runs on a new connection. A Stop
// between calls is forgotten by the next.
TEST_P(Streaming, HostEndsTheStream) {
    QAIRegisterCallback([](const char*, void* data) {
        auto* info = static_cast<QAICallbackLocalizationInfo*>(data);
        if (std::string_view(info->text) == "Request cancelled")
            std::string("Anfrage abgebrochen").copy(info->localized, sizeof info->localized - 1);
    });
    const std::string first = wirePart(wire, "opening") + wirePart(wire, "delta", "one");
    const struct {
        const char* name;
        std::function<bool(std::string_view)> onPiece;
        std::string error;
    } rows[] = {
        {"host returns false", [](std::string_view) { return false; }, "Anfrage abgebrochen"},
        {"host throws", [](std::string_view) -> bool { throw std::runtime_error("view gone"); },
         "The reply text handler failed: view gone"},
        {"Stop mid-stream", [this](std::string_view) { return pool->cancelRequests(), true; },
         "Anfrage abgebrochen"},
        {"Stop while the server is silent", {}, "Anfrage abgebrochen"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        next({{milliseconds(row.onPiece ? 0 : 5000), first},
              {milliseconds(5000), wirePart(wire, "delta", "two")},
              {milliseconds(0), streamBody(wire, {})}});
        server.clearRequests();
        const auto start = std::chrono::steady_clock::now();
        auto stopper = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(milliseconds(300));
            if (!row.onPiece) pool->cancelRequests();
        });
        EXPECT_EQ(failure(assistant.get(), memory, Call::Stream, row.onPiece), row.error);
        stopper.get();
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
        next({{milliseconds(0), streamBody(wire, {"x"})}});
        EXPECT_EQ(run(assistant.get(), Call::Stream).error, "");
        EXPECT_EQ(server.connectionCount(), 2u);
    }
    QAIRegisterCallback(nullptr);
    server.reply("POST", chatPath(GetParam()), 200, wirePart(wire, "whole", "ok"));
    server.reply("GET", GetParam().modelsPath, 200, wirePart(wire, "models"));
    for (const Call call : {Call::Message, Call::Models}) {
        pool->cancelRequests();
        EXPECT_EQ(run(assistant.get(), call).error, "");
    }
}

// Only reply text is progress: keep-alives alone end a stream at the stall limit, mid-stream
// and before the first text (the request limit); a long healthy stream outlives the request limit.
TEST_P(Streaming, TimeLimitsCountReplyTextOnly) {
    CMRestGlobalSettings settings;
    settings.stallTimeoutSeconds = 1;
    settings.requestTimeoutSeconds = 1;
    SettingsScope scope(settings);
    std::vector<ReplyPiece> idling = {
        {milliseconds(0), wirePart(wire, "opening") + wirePart(wire, "delta", "one")}};
    for (int i = 0; i < 12; ++i) idling.push_back({milliseconds(250), wirePart(wire, "keep_alive")});
    next(idling);
    EXPECT_NE(failure(assistant.get(), memory, Call::Stream).find("stalled: no reply text came for 1 second"),
              std::string::npos);

    idling.front().text = wirePart(wire, "opening") + wirePart(wire, "keep_alive");
    settings.stallTimeoutSeconds = 5;  // the request limit alone ends the wait for the first text
    QAISetHTTPSettings(settings);
    next(idling);
    EXPECT_NE(
        failure(assistant.get(), memory, Call::Stream).find("timed out after 1 second: no reply text came"),
        std::string::npos);

    settings.stallTimeoutSeconds = 1;
    QAISetHTTPSettings(settings);
    std::vector<ReplyPiece> healthy = {{milliseconds(0), wirePart(wire, "opening")}};
    for (int i = 0; i < 8; ++i) healthy.push_back({milliseconds(250), wirePart(wire, "delta", "x")});
    healthy.push_back({milliseconds(0), streamBody(wire, {})});
    next(healthy);
    memory.records.clear();
    EXPECT_EQ(run(assistant.get(), Call::Stream).text, "xxxxxxxx");
    EXPECT_EQ(memory.history(), "0:hi|1:xxxxxxxx|");
}

INSTANTIATE_TEST_SUITE_P(Wires, Streaming, testing::ValuesIn(oneOfEachWire()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
