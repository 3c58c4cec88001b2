// Provider replies. The input picks a provider and an operation (model list,
// message, or streamed message) and gives the status and body a server
// answers with; a stand-in rest service hands them to the adapter through the
// same response object and error codes as the real transport, a streamed body
// in pieces of the size the input picks. Every reply must end in a result or
// an error text (no exception escapes), only a reply the adapter accepts may
// reach the memory, and a streamed reply's text is exactly its pieces joined.
#include <cstdint>
#include <memory>
#include <string>

#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"
#include "core/qai_memory.h"
#include "fuzz_check.h"
#include "qai.h"

namespace {

/// The reply every request of the current input gets.
struct {
    long status = 200;
    std::string body, contentType;
    bool smallPieces = false;  // 1 to 7 bytes in turn, else the body at once
    int requests = 0;
} g_reply;

/// Behaves as the real executor does once a reply has arrived: no response
/// without a status, the response and a code for a status of 300 or more.
struct StandInExecutor final : ICSRestExecutor {
    int32_t executeGet(CMRestGetRequest*, CMRestResourceResponse** out) override { return answer(out); }
    int32_t executePost(CMRestPostRequest*, CMRestResourceResponse** out) override { return answer(out); }
    int32_t executePostStreaming(CMRestPostRequest*, ICSRestStreamReceiver* receiver,
                                 CMRestResourceResponse** response) override {
        if (g_reply.status <= 0 || g_reply.body.empty() ||
            !receiver->acceptStream(g_reply.status, g_reply.contentType))
            return answer(response);
        ++g_reply.requests;
        std::string_view rest = g_reply.body;
        for (size_t size = 1; !rest.empty(); size = size % 7 + 1) {
            const std::string_view piece = rest.substr(0, g_reply.smallPieces ? size : rest.size());
            rest.remove_prefix(piece.size());
            if (receiver->receive(piece) == ICSRestStreamReceiver::Progress::Stop) return 3;
        }
        *response = new CMRestResourceResponse(g_reply.status, "");
        return g_reply.status >= 300 ? 2 : 0;
    }
    static int32_t answer(CMRestResourceResponse** response) {
        ++g_reply.requests;
        if (g_reply.status <= 0) return 1;  // no HTTP reply at all
        *response = new CMRestResourceResponse(g_reply.status, g_reply.body);
        return g_reply.status >= 300 ? 2 : 0;
    }
};

struct StandInService final : ICSRestService {
    ICSRestExecutor* createExecutor(ICSAppFactory*, const CMRestGlobalSettings*, CMRestSession*) override {
        return new StandInExecutor();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qai_fuzz::silenceDiagnostics();
    static StandInService service;
    [[maybe_unused]] static ICSRestService* const builtIn = CF::installRestService(&service);

    std::string_view input(reinterpret_cast<const char*>(data), size);
    const uint8_t selector = qai_fuzz::takeByte(input);
    constexpr const char* kContentTypes[] = {"text/event-stream", "application/x-ndjson", "application/json",
                                             "text/event-stream; charset=utf-8"};
    g_reply.contentType = kContentTypes[(selector >> 5) & 3];
    g_reply.smallPieces = (selector & 0x80) != 0;
    const int high = qai_fuzz::takeByte(input);
    g_reply.status = (high << 8 | qai_fuzz::takeByte(input)) % 600;
    g_reply.body = std::string(input);
    g_reply.requests = 0;

    QAIDefaultAssistantMemory memory;
    const std::unique_ptr<IQAIAssistant, void (*)(IQAIObject*)> assistant(
        QAICreateAssistant(static_cast<QAIAssistantType>(selector % 8), cfCreateHTTPPoolCenter(), "key",
                           "http://127.0.0.1:9", &memory),
        QAIFreeObject);
    if ((selector & 0x08) != 0) {
        // A provider without a model list asks nothing; a paged list asks
        // again only while a page adds models, and never past 50 pages.
        const auto [models, error] = assistant->obtainAvailableModels();
        FUZZ_CHECK(g_reply.requests <= 50 && (error.empty() || models.empty()) &&
                   memory.obtainMessages(0).empty());
        return 0;
    }
    assistant->updateProperties(
        [](IQAIProperties* properties) { properties->setProperty("model", CMVariant("m")); });
    std::string joined;
    const auto collect = [&joined](std::string_view delta) {
        FUZZ_CHECK(!delta.empty());
        joined += delta;
        return true;
    };
    const bool streaming = (selector & 0x10) != 0;
    auto [message, error] =
        streaming ? assistant->addMessageStreaming("hello", collect) : assistant->addMessage("hello");
    const std::unique_ptr<IQAIMessage, void (*)(IQAIObject*)> reply(message, QAIFreeObject);
    // Exactly one of a reply and an error text; the exchange (question and
    // answer) is recorded only with a reply, whose text is what streamed.
    FUZZ_CHECK(g_reply.requests == 1 && (reply != nullptr) == error.empty());
    FUZZ_CHECK(memory.obtainMessages(0).size() == (reply ? 2u : 0u));
    if (!reply) return 0;
    FUZZ_CHECK(reply->obtainRole() == QAIMemoryRole_Assistant);
    std::string text;
    for (IQAIMessageSection* section : reply->obtainSections()) text += section->obtainText();
    if (streaming) FUZZ_CHECK(text == joined);
    return 0;
}
