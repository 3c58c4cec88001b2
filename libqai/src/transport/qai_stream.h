#pragma once
// Streamed replies: the body's pieces become lines (LF, CR or CRLF, split
// anywhere), a protocol's decoder turns lines into text deltas and facts, and
// the deltas reach the host in whole UTF-8 characters.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "cf/CMRest.h"

/// What a provider said about a reply besides its text.
struct QAIReplyFacts {
    /// The whole input, cached tokens included.
    int64_t inputTokens = -1;
    int64_t outputTokens = -1;
    /// Of the input: served from the provider's prompt cache, and written into it.
    int64_t cachedInputTokens = -1;
    int64_t cacheWriteTokens = -1;
    /// The provider's own word; empty when it gave none.
    std::string stopReasonText;
};

/// Splits a body arriving in pieces of any size into lines ended by LF, CR or
/// CRLF; a CR ending one piece and an LF starting the next end one line.
class QAILineSplitter {
public:
    /// Calls line(text) for each line piece completes, without its end.
    void feed(std::string_view piece, const std::function<void(std::string_view)>& line);
    /// The last line when the body did not end it.
    void finish(const std::function<void(std::string_view)>& line);

private:
    std::string pending_;
    bool skipLineFeed_ = false;
};

/// Hands text on in whole UTF-8 characters: an incomplete sequence at the end
/// of a delta waits for the next one.
class QAIUtf8Joiner {
public:
    /// What of the held bytes and text ends on a character boundary.
    std::string take(std::string_view text);
    /// The bytes still held (a sequence the reply never completed).
    std::string flush();

private:
    std::string held_;
};

class QAIStreamReader;

/// One protocol's reading of a stream's lines.
class QAIStreamDecoder {
public:
    virtual ~QAIStreamDecoder() = default;
    /// One line without its end.
    virtual void line(std::string_view text, QAIStreamReader& reader) = 0;
    /// The body ended without a transport failure.
    virtual void finish(QAIStreamReader& reader) = 0;
};

/// Server-sent events: "event:" and "data:" fields are gathered until a blank
/// line, comments (keep-alives) are skipped. A bare JSON object outside the
/// framing (an error some servers send mid-stream) is collected until its
/// braces balance and handed to bare.
class QAISseDecoder : public QAIStreamDecoder {
public:
    void line(std::string_view text, QAIStreamReader& reader) final;
    void finish(QAIStreamReader& reader) final;

protected:
    /// One event; type is empty when the event named none.
    virtual void event(std::string_view type, std::string_view data, QAIStreamReader& reader) = 0;
    /// A bare JSON value: the provider's error.
    virtual void bare(std::string_view json, QAIStreamReader& reader);
    /// The body ended cleanly after the last event.
    virtual void ended(QAIStreamReader& /*reader*/) {}

private:
    void dispatch(QAIStreamReader& reader);

    std::string type_;
    std::string data_;
    bool hasData_ = false;
    std::string bare_;
    int bareDepth_ = 0;
    bool bareInString_ = false;
    bool bareEscape_ = false;
};

/// The provider's text of an error object read from a stream: its "message",
/// else "error"."message" (or "error" as a string), else the raw text.
std::string qaiStreamErrorText(std::string_view json);

/// Takes a streamed reply for one request and hands its text to the host.
class QAIStreamReader final : public ICSRestStreamReceiver {
public:
    QAIStreamReader(QAIStreamDecoder& decoder, std::function<bool(std::string_view)> onDelta);

    /// A 2xx reply of a stream's content type (server-sent events, NDJSON).
    bool acceptStream(long status, std::string_view contentType) override;
    Progress receive(std::string_view piece) override;
    /// After a transfer that ended without failure: the last line and the
    /// decoder's end.
    void finish();

    // For decoders.
    /// A delta of reply text.
    void text(std::string_view delta);
    /// The provider reported an error: the stream ends.
    void fail(std::string error);
    /// The protocol's end marker arrived.
    void end() { ended_ = true; }
    QAIReplyFacts& facts() { return facts_; }

    // For the caller, after the transfer.
    bool accepted() const { return accepted_; }
    bool ended() const { return ended_; }
    /// The provider's error, the host's stop or its exception; empty otherwise.
    const std::string& failure() const { return failure_; }
    bool stoppedByHost() const { return stoppedByHost_; }
    const std::string& joinedText() const { return text_; }

private:
    /// Lines are decoded until a failure or the protocol's end marker: what
    /// follows the end is read off the connection but never parsed.
    bool reading() const { return failure_.empty() && !ended_; }
    /// Hands text to the host; false once the stream must end.
    bool deliver(std::string_view text);

    QAIStreamDecoder& decoder_;
    std::function<bool(std::string_view)> onDelta_;
    QAILineSplitter lines_;
    QAIUtf8Joiner joiner_;
    QAIReplyFacts facts_;
    std::string text_;
    std::string failure_;
    bool accepted_ = false;
    bool ended_ = false;
    bool advanced_ = false;
    bool stoppedByHost_ = false;
};
