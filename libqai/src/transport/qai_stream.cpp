#include "transport/qai_stream.h"

#include <exception>
#include <utility>

#include "cf/COJson.h"

namespace {

/// Length of the UTF-8 sequence lead starts; 1 for any byte that starts none.
size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC2) return 2;
    return 1;
}

bool startsWithCaseless(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

}  // namespace

void QAILineSplitter::feed(std::string_view piece, const std::function<void(std::string_view)>& line) {
    if (skipLineFeed_ && !piece.empty()) {
        if (piece.front() == '\n') piece.remove_prefix(1);
        skipLineFeed_ = false;
    }
    while (!piece.empty()) {
        const size_t end = piece.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            pending_.append(piece);
            return;
        }
        if (pending_.empty()) {
            line(piece.substr(0, end));
        } else {
            pending_.append(piece.substr(0, end));
            const std::string whole = std::move(pending_);
            pending_.clear();
            line(whole);
        }
        const bool carriageReturn = piece[end] == '\r';
        piece.remove_prefix(end + 1);
        if (carriageReturn) {
            if (piece.empty()) {
                skipLineFeed_ = true;  // its LF may start the next piece
            } else if (piece.front() == '\n') {
                piece.remove_prefix(1);
            }
        }
    }
}

void QAILineSplitter::finish(const std::function<void(std::string_view)>& line) {
    if (pending_.empty()) return;
    const std::string last = std::move(pending_);
    pending_.clear();
    line(last);
}

std::string QAIUtf8Joiner::take(std::string_view text) {
    held_.append(text);
    // Look back at most three bytes for the lead of an unfinished sequence.
    size_t keep = 0;
    for (size_t back = 1; back <= 3 && back <= held_.size(); ++back) {
        const auto byte = static_cast<unsigned char>(held_[held_.size() - back]);
        if ((byte & 0xC0) == 0x80) continue;  // continuation byte
        if (sequenceLength(byte) > back) keep = back;
        break;
    }
    std::string ready = held_.substr(0, held_.size() - keep);
    held_.erase(0, held_.size() - keep);
    return ready;
}

std::string QAIUtf8Joiner::flush() { return std::exchange(held_, {}); }

std::string qaiStreamErrorText(std::string_view json) {
    COJson document(json);
    if (document.getIsValidJson()) {
        COJsonValue root = document.obtainRoot();
        // Some servers wrap the object in an array.
        if (root.obtainType() == COJsonTypeArray && root.obtainArraySize() > 0)
            root = root.obtainArrayItem(0);
        const COJsonValue message = root.obtainMember("message");
        if (message.obtainType() == COJsonTypeString) return message.obtainString();
        const COJsonValue error = root.obtainMember("error");
        if (error.obtainType() == COJsonTypeString) return error.obtainString();
        const COJsonValue nested = error.obtainMember("message");
        if (nested.obtainType() == COJsonTypeString) return nested.obtainString();
    }
    return std::string(json);
}

void QAISseDecoder::line(std::string_view text, QAIStreamReader& reader) {
    if (!bare_.empty() || (type_.empty() && !hasData_ && (text.starts_with('{') || text.starts_with('[')))) {
        for (const char c : text) {
            if (bareEscape_) {
                bareEscape_ = false;
            } else if (bareInString_) {
                if (c == '\\') bareEscape_ = true;
                if (c == '"') bareInString_ = false;
            } else if (c == '"') {
                bareInString_ = true;
            } else if (c == '{' || c == '[') {
                ++bareDepth_;
            } else if (c == '}' || c == ']') {
                --bareDepth_;
            }
        }
        bare_.append(text).append("\n");
        if (bareDepth_ <= 0) {
            const std::string json = std::exchange(bare_, {});
            bareDepth_ = 0;
            bareInString_ = bareEscape_ = false;
            bare(json, reader);
        }
        return;
    }
    if (text.empty()) {
        dispatch(reader);
        return;
    }
    if (text.front() == ':') return;  // a comment: keep-alive
    const size_t colon = text.find(':');
    const std::string_view field = text.substr(0, colon);
    std::string_view value = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
    if (value.starts_with(' ')) value.remove_prefix(1);
    if (field == "data") {
        if (hasData_) data_ += '\n';
        data_.append(value);
        hasData_ = true;
    } else if (field == "event") {
        type_.assign(value);
    }
}

void QAISseDecoder::dispatch(QAIStreamReader& reader) {
    // A named error event fails the call in every wire format, whatever the
    // protocol's own events are.
    if (type_ == "error") {
        reader.fail(qaiStreamErrorText(data_));
    } else if (hasData_) {
        event(type_, data_, reader);
    }
    type_.clear();
    data_.clear();
    hasData_ = false;
}

void QAISseDecoder::finish(QAIStreamReader& reader) {
    // An event the body did not close with a blank line still counts; a bare
    // object cut short is an error all the same.
    if (!bare_.empty()) bare(std::exchange(bare_, {}), reader);
    dispatch(reader);
    ended(reader);
}

void QAISseDecoder::bare(std::string_view json, QAIStreamReader& reader) {
    reader.fail(qaiStreamErrorText(json));
}

QAIStreamReader::QAIStreamReader(QAIStreamDecoder& decoder, std::function<bool(std::string_view)> onDelta)
    : decoder_(decoder), onDelta_(std::move(onDelta)) {}

bool QAIStreamReader::acceptStream(long status, std::string_view contentType) {
    accepted_ = status >= 200 && status < 300 &&
                (startsWithCaseless(contentType, "text/event-stream") ||
                 startsWithCaseless(contentType, "application/x-ndjson") ||
                 startsWithCaseless(contentType, "application/ndjson"));
    return accepted_;
}

ICSRestStreamReceiver::Progress QAIStreamReader::receive(std::string_view piece) {
    advanced_ = false;
    try {
        lines_.feed(piece, [this](std::string_view line) {
            if (reading()) decoder_.line(line, *this);
        });
    } catch (...) {
        // Out of memory while decoding: the stream cannot go on.
        if (failure_.empty()) failure_ = "Out of memory";
    }
    if (!failure_.empty()) return Progress::Stop;
    return advanced_ || ended_ ? Progress::Advanced : Progress::Waiting;
}

void QAIStreamReader::finish() {
    if (!failure_.empty()) return;
    lines_.finish([this](std::string_view line) {
        if (reading()) decoder_.line(line, *this);
    });
    if (reading()) decoder_.finish(*this);
    // A sequence the reply never completed is handed on as it is, so that
    // the final text still equals the pieces joined.
    if (failure_.empty()) deliver(joiner_.flush());
}

void QAIStreamReader::text(std::string_view delta) {
    if (!failure_.empty()) return;
    deliver(joiner_.take(delta));
}

bool QAIStreamReader::deliver(std::string_view text) {
    if (text.empty()) return true;
    text_.append(text);
    advanced_ = true;
    bool goOn = true;
    try {
        if (onDelta_) goOn = onDelta_(text);
    } catch (const std::exception& error) {
        failure_ = std::string("The reply text handler failed: ") + error.what();
        return false;
    } catch (...) {
        failure_ = "The reply text handler failed";
        return false;
    }
    if (!goOn) {
        stoppedByHost_ = true;
        failure_ = "Request cancelled";
    }
    return goOn;
}

void QAIStreamReader::fail(std::string error) {
    if (failure_.empty())
        failure_ = error.empty() ? std::string("The provider reported an error") : std::move(error);
}
