#include "chat.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "console.h"

namespace qai::cli {
namespace {

// Standard error's waiting indicator and standard output's reply text, which
// the request's thread and the waiting thread share.
class Output {
public:
    explicit Output(bool indicator) : indicator_(indicator) {}

    void tick() {
        static constexpr char kFrames[] = {'|', '/', '-', '\\'};
        std::lock_guard<std::mutex> lock(mutex_);
        if (!indicator_ || replyStarted_) return;
        std::fprintf(stderr, "\r%c ", kFrames[frame_++ % 4]);
        std::fflush(stderr);
        shown_ = true;
    }

    void write(std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        clearLocked();
        replyStarted_ = true;
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        lastChar_ = text.empty() ? lastChar_ : text.back();
    }

    /// Clears the indicator and ends a started reply with a line feed.
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        clearLocked();
        if (replyStarted_ && lastChar_ != '\n') std::fputc('\n', stdout);
        std::fflush(stdout);
    }

private:
    void clearLocked() {
        if (!shown_) return;
        std::fputs("\r  \r", stderr);
        std::fflush(stderr);
        shown_ = false;
    }

    std::mutex mutex_;
    bool indicator_;
    bool shown_ = false;
    bool replyStarted_ = false;
    char lastChar_ = '\n';
    unsigned frame_ = 0;
};

// The request itself; the reply's text goes to output piece by piece as it arrives.
std::pair<IQAIMessage*, std::string> sendMessage(IQAIAssistant* assistant, const std::string& text,
                                                 Output& output) {
    return assistant->addMessageStreaming(text, [&output](std::string_view piece) {
        output.write(piece);
        return true;
    });
}

const char* stopReasonWords(QAIStopReason reason) {
    switch (reason) {
        case QAIStopReason_EndOfTurn:
            return "end of turn";
        case QAIStopReason_TokenLimit:
            return "token limit, the reply was cut";
        case QAIStopReason_ContentFilter:
            return "content filter";
        case QAIStopReason_Other:
            return "other";
        default:
            return "unknown";
    }
}

// Token usage, what the provider's prompt cache served, and the stop reason
// of a reply, on standard error.
void printStats(IQAIMessage* message) {
    auto count = [](int64_t tokens) { return tokens < 0 ? std::string("unknown") : std::to_string(tokens); };
    std::string line = "[tokens: " + count(message->obtainInputTokens()) + " in, " +
                       count(message->obtainOutputTokens()) + " out";
    if (const int64_t cached = message->obtainCachedInputTokens(); cached >= 0)
        line += ", cached " + std::to_string(cached) + " of " + count(message->obtainInputTokens()) +
                " input tokens";
    line += std::string("; stop: ") + stopReasonWords(message->obtainStopReason());
    if (std::string word = message->obtainStopReasonText(); !word.empty()) line += " (" + word + ")";
    std::fprintf(stderr, "%s]\n", line.c_str());
}

}  // namespace

bool exchange(Session& session, const std::string& text, const ChatSettings& settings) {
    Output output(settings.indicator);
    std::pair<IQAIMessage*, std::string> result;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;

    setRequestPending(true);
    std::thread request([&] {
        std::pair<IQAIMessage*, std::string> reply;
        try {
            reply = sendMessage(session.assistant, text, output);
        } catch (const std::exception& failure) {  // out of memory, for one
            reply = {nullptr, failure.what()};
        }
        std::lock_guard<std::mutex> lock(mutex);
        result = std::move(reply);
        done = true;
        finished.notify_one();
    });
    bool stopping = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return done; })) {
            lock.unlock();
            if (!stopping && takeInterrupt()) {
                stopping = true;
                session.pool->cancelRequests();  // the request then ends with the library's text
            } else {
                output.tick();
            }
            lock.lock();
        }
    }
    request.join();
    setRequestPending(false);
    output.finish();

    auto [message, error] = result;
    if (!message) {
        std::fprintf(stderr, "qai: %s\n", error.c_str());
        return false;
    }
    if (settings.stats) printStats(message);
    QAIFreeObject(message);
    if (settings.history && !settings.history->saveError().empty()) {
        std::fprintf(stderr, "qai: %s\n", settings.history->saveError().c_str());
        return false;
    }
    return true;
}

int converse(Session& session, std::istream& in, const ChatSettings& settings) {
    std::string line;
    int status = 0;
    for (;;) {
        if (settings.prompt) {
            std::fputs("> ", stdout);
            std::fflush(stdout);
        }
        if (!std::getline(in, line)) break;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (!exchange(session, line, settings)) status = 1;
    }
    if (settings.prompt) std::fputc('\n', stdout);
    return status;
}

}  // namespace qai::cli
