// The stream reader's pieces on their own: line splitting at every cut, whole
// characters across deltas, the event framing with a bare error object, and
// the stop-reason words.
#include <gtest/gtest.h>

#include <sstream>

#include "core/qai_message.h"
#include "transport/qai_stream.h"

namespace {

TEST(LineSplitter, EndsLinesOnLfCrAndCrLfWhereverThePiecesBreak) {
    // clang-format off
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"a\nb\n", {"a", "b"}}, {"a\r\nb\r\n\r\n", {"a", "b", ""}}, {"a\rb\r\rc", {"a", "b", "", "c"}},
        {"data: x\r\n\ndata: y", {"data: x", "", "data: y"}}, {"\r\n\r", {"", ""}}};
    // clang-format on
    for (const auto& [body, expected] : cases) {
        // Three pieces at every pair of cuts, a CR ending one piece and its LF starting the next included.
        for (size_t i = 0; i <= body.size(); ++i) {
            for (size_t j = i; j <= body.size(); ++j) {
                QAILineSplitter splitter;
                std::vector<std::string> lines;
                const auto take = [&lines](std::string_view line) { lines.emplace_back(line); };
                for (const std::string& piece : {body.substr(0, i), body.substr(i, j - i), body.substr(j)})
                    splitter.feed(piece, take);
                splitter.finish(take);
                EXPECT_EQ(lines, expected) << body << " cut at " << i << ", " << j;
            }
        }
    }
}

TEST(Utf8Joiner, HoldsBackAnUnfinishedCharacterUntilTheNextDelta) {
    for (const std::string text :
         {"a\xC3\xA9z", "a\xE4\xB8\x96z", "a\xF0\x9F\x98\x80z", "\xC3\xA9\xF0\x9F\x98\x80"}) {
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            // The first delta ends where the character the cut falls into begins.
            size_t whole = cut;
            while (whole < text.size() && (static_cast<unsigned char>(text[whole]) & 0xC0) == 0x80) --whole;
            QAIUtf8Joiner joiner;
            EXPECT_EQ(joiner.take(text.substr(0, cut)), text.substr(0, whole)) << cut;
            EXPECT_EQ(joiner.take(text.substr(cut)), text.substr(whole)) << cut;
            EXPECT_EQ(joiner.flush(), "") << cut;
        }
    }
    // A sequence the reply never completes comes out at the end, as it is.
    QAIUtf8Joiner joiner;
    EXPECT_EQ(joiner.take("ab\xE4\xB8"), "ab");
    EXPECT_EQ(joiner.flush(), "\xE4\xB8");
}

/// Records what the framing hands on; a bare object fails the reader with its error text.
struct RecordingDecoder final : QAISseDecoder {
    void event(std::string_view type, std::string_view data, QAIStreamReader&) override {
        seen.push_back(std::string(type) + "|" + std::string(data));
    }
    std::vector<std::string> seen;
};

TEST(EventFraming, GathersFieldsSkipsCommentsAndCollectsABareObject) {
    RecordingDecoder decoder;
    QAIStreamReader reader(decoder, [](std::string_view) { return true; });
    // A bare error object over several lines has braces inside its strings; the last event
    // lacks its blank line.
    std::istringstream lines(
        ": keep-alive\n\nevent: a\ndata: 1\ndata:2\nid: 7\n\ndata: {\"x\":1}\n\n"
        "{\n  \"error\": {\n    \"message\": \"bad } { input\",\n    \"code\": 400\n  }\n}\ndata: tail");
    for (std::string line; std::getline(lines, line);) decoder.line(line, reader);
    decoder.finish(reader);
    EXPECT_EQ(decoder.seen, (std::vector<std::string>{"a|1\n2", "|{\"x\":1}", "|tail"}));
    EXPECT_EQ(reader.failure(), "bad } { input");
}

TEST(StopReason, ProviderWordsMapAcrossProtocols) {
    // clang-format off
    const QAIStopReason end = QAIStopReason_EndOfTurn, limit = QAIStopReason_TokenLimit,
                        filter = QAIStopReason_ContentFilter, other = QAIStopReason_Other;
    const std::pair<const char*, QAIStopReason> cases[] = {
        {"", QAIStopReason_Unknown}, {"tool_calls", other}, {"Stop", other}, {"stop", end}, {"end_turn", end},
        {"STOP", end}, {"length", limit}, {"max_tokens", limit}, {"MAX_TOKENS", limit}, {"refusal", filter},
        {"content_filter", filter}, {"SAFETY", filter}};
    // clang-format on
    for (const auto& [word, reason] : cases) EXPECT_EQ(qaiStopReasonFromText(word), reason) << word;
}

}  // namespace
