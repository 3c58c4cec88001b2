// The pieces of the stream reader on their own: line splitting across any
// piece boundary, whole characters across deltas, the event framing with a
// bare error object, and the stop-reason words.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/qai_message.h"
#include "transport/qai_stream.h"

namespace {

std::vector<std::string> splitAt(const std::string& body, const std::vector<size_t>& cuts) {
    QAILineSplitter splitter;
    std::vector<std::string> lines;
    const auto take = [&lines](std::string_view line) { lines.emplace_back(line); };
    size_t from = 0;
    for (const size_t cut : cuts) {
        splitter.feed(std::string_view(body).substr(from, cut - from), take);
        from = cut;
    }
    splitter.feed(std::string_view(body).substr(from), take);
    splitter.finish(take);
    return lines;
}

TEST(LineSplitter, EndsLinesOnLfCrAndCrLfWhereverThePiecesBreak) {
    const struct {
        std::string body;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n\r\n", {"a", "b", ""}},
        {"a\rb\r\rc", {"a", "b", "", "c"}},
        {"data: x\r\n\ndata: y", {"data: x", "", "data: y"}},
        {"\r\n\r", {"", ""}},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.body);
        EXPECT_EQ(splitAt(item.body, {}), item.lines);
        // Every single cut and every pair of cuts, a CR ending one piece and its LF
        // starting the next included.
        for (size_t i = 0; i <= item.body.size(); ++i) {
            for (size_t j = i; j <= item.body.size(); ++j) {
                EXPECT_EQ(splitAt(item.body, {i, j}), item.lines) << "cuts " << i << ", " << j;
            }
        }
    }
}

/// Whether text is a run of whole UTF-8 sequences.
bool wholeCharacters(std::string_view text) {
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

TEST(Utf8Joiner, HoldsBackAnUnfinishedCharacterUntilTheNextDelta) {
    for (const std::string& text :
         {std::string("a\xC3\xA9z"), std::string("a\xE4\xB8\x96z"), std::string("a\xF0\x9F\x98\x80z"),
          std::string("\xC3\xA9\xF0\x9F\x98\x80")}) {
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            QAIUtf8Joiner joiner;
            const std::string first = joiner.take(text.substr(0, cut));
            const std::string second = joiner.take(text.substr(cut));
            EXPECT_EQ(first + second + joiner.flush(), text) << "cut " << cut;
            EXPECT_TRUE(wholeCharacters(first)) << "cut " << cut;
            EXPECT_TRUE(wholeCharacters(second)) << "cut " << cut;
        }
    }
    // A sequence the reply never completes comes out at the end, as it is.
    QAIUtf8Joiner joiner;
    EXPECT_EQ(joiner.take("ab\xE4\xB8"), "ab");
    EXPECT_EQ(joiner.flush(), "\xE4\xB8");
}

/// Records what the framing hands on.
class RecordingDecoder final : public QAISseDecoder {
public:
    std::vector<std::string> seen;

protected:
    void event(std::string_view type, std::string_view data, QAIStreamReader&) override {
        seen.push_back(std::string(type) + "|" + std::string(data));
    }
    void bare(std::string_view json, QAIStreamReader&) override {
        seen.push_back("bare|" + qaiStreamErrorText(json));
    }
};

TEST(EventFraming, GathersFieldsSkipsCommentsAndCollectsABareObject) {
    RecordingDecoder decoder;
    QAIStreamReader reader(decoder, [](std::string_view) { return true; });
    const char* const lines[] = {
        ": keep-alive",
        "",
        "event: a",
        "data: 1",
        "data:2",
        "id: 7",
        "",
        "data: {\"x\":1}",
        "",
        // A bare error object over several lines, braces inside its strings.
        "{",
        "  \"error\": {",
        "    \"message\": \"bad } { input\",",
        "    \"code\": 400",
        "  }",
        "}",
        "data: tail",
    };
    for (const char* line : lines) decoder.line(line, reader);
    decoder.finish(reader);  // the last event lacks its blank line
    EXPECT_EQ(decoder.seen,
              (std::vector<std::string>{"a|1\n2", "|{\"x\":1}", "bare|bad } { input", "|tail"}));
}

TEST(StopReason, ProviderWordsMapAcrossProtocols) {
    const std::pair<const char*, QAIStopReason> cases[] = {
        {"", QAIStopReason_Unknown},
        {"stop", QAIStopReason_EndOfTurn},
        {"end_turn", QAIStopReason_EndOfTurn},
        {"STOP", QAIStopReason_EndOfTurn},
        {"length", QAIStopReason_TokenLimit},
        {"max_tokens", QAIStopReason_TokenLimit},
        {"MAX_TOKENS", QAIStopReason_TokenLimit},
        {"content_filter", QAIStopReason_ContentFilter},
        {"SAFETY", QAIStopReason_ContentFilter},
        {"refusal", QAIStopReason_ContentFilter},
        {"tool_calls", QAIStopReason_Other},
        {"Stop", QAIStopReason_Other},
    };
    for (const auto& [word, reason] : cases) EXPECT_EQ(qaiStopReasonFromText(word), reason) << word;
}

}  // namespace
