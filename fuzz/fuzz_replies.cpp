// Provider replies. The input picks a provider and an operation (model list or
// message) and gives the status and body a server answers with; a stand-in
// rest service hands them to the adapter through the same response object
// and error codes as the real transport. Every reply must end in a result or
// an error text, and only a reply the adapter accepts may reach the memory.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"
#include "fuzz_check.h"
#include "qai.h"

namespace {

/// The reply every request of the current input gets.
struct CannedReply {
    long status = 200;
    std::string body;
    int requests = 0;
};
CannedReply g_reply;

/// Behaves as the real executor does once a reply has arrived: no response
/// without a status, the response and a code for a status of 300 or more.
class StandInExecutor final : public ICSRestExecutor {
public:
    int32_t executeGet(CMRestGetRequest* request, CMRestResourceResponse** response) override {
        FUZZ_CHECK(request->tag == kCMRestRequestTag && !request->obtainURL().empty());
        return answer(response);
    }
    int32_t executePost(CMRestPostRequest* request, CMRestResourceResponse** response) override {
        FUZZ_CHECK(request->tag == kCMRestRequestTag && request->hasBody());
        return answer(response);
    }

private:
    static int32_t answer(CMRestResourceResponse** response) {
        ++g_reply.requests;
        if (g_reply.status <= 0) return 1;  // no HTTP reply at all
        *response = new CMRestResourceResponse(g_reply.status, g_reply.body);
        return g_reply.status >= 300 ? 2 : 0;
    }
};

class StandInService final : public ICSRestService {
public:
    ICSRestExecutor* createExecutor(ICSAppFactory* /*factory*/, const CMRestGlobalSettings* /*settings*/,
                                    CMRestSession* /*session*/) override {
        return new StandInExecutor();
    }
};

/// A host's memory that counts what the assistant records.
class CountingMemory final : public IQAIAssistantMemory {
public:
    void setSummary(const std::string& /*text*/) override {}
    std::string obtainSummary() override { return {}; }
    void addMessage(int32_t /*role*/, const std::string& /*text*/) override { ++added; }
    std::vector<QAIMemoryRecord> obtainMessages(int32_t /*limit*/) override {
        return {{QAIMemoryRole_User, "earlier"}};
    }
    int added = 0;
};

struct FreeObject {
    void operator()(IQAIObject* object) const { QAIFreeObject(object); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qai_fuzz::silenceDiagnostics();
    static StandInService service;
    static const bool installed = (CF::installRestService(&service), true);
    (void)installed;

    qai_fuzz::InputReader input(data, size);
    const uint8_t selector = input.byte();
    const auto type = static_cast<QAIAssistantType>(selector % 8);
    const bool listModels = (selector & 0x08) != 0;
    g_reply.status = static_cast<long>(input.word() % 600);
    g_reply.body = std::string(input.rest());
    g_reply.requests = 0;

    CountingMemory memory;
    std::unique_ptr<IQAIAssistant, FreeObject> assistant(
        QAICreateAssistant(type, cfCreateHTTPPoolCenter(), "key", "http://127.0.0.1:9", &memory));
    FUZZ_CHECK(assistant != nullptr);

    if (listModels) {
        const auto [models, error] = assistant->obtainAvailableModels();
        // A provider without a model list asks nothing; a paged list asks
        // again only while a page adds models, and never past 50 pages.
        FUZZ_CHECK(g_reply.requests <= 50);
        if (!error.empty()) FUZZ_CHECK(models.empty());
        FUZZ_CHECK(memory.added == 0);
        return 0;
    }

    assistant->updateProperties([](IQAIProperties* properties) {
        FUZZ_CHECK(properties->setProperty("model", CMVariant("m")));
        FUZZ_CHECK(properties->setProperty("user_instructions", CMVariant("be brief")));
    });
    auto [message, error] = assistant->addMessage("hello");
    FUZZ_CHECK(g_reply.requests == 1);
    const std::unique_ptr<IQAIMessage, FreeObject> reply(message);
    // Exactly one of a reply and an error text; the exchange is recorded
    // (question and answer) only with a reply.
    FUZZ_CHECK((reply != nullptr) == error.empty());
    FUZZ_CHECK(memory.added == (reply ? 2 : 0));
    if (reply) {
        FUZZ_CHECK(reply->obtainRole() == QAIMemoryRole_Assistant);
        for (IQAIMessageSection* section : reply->obtainSections()) {
            FUZZ_CHECK(section != nullptr);
            (void)section->obtainText().size();
        }
    }
    return 0;
}
