// The HTTP layer against a loopback peer that answers with the input. The
// first byte chooses GET or POST and whether the rest is sent raw (any bytes
// as the peer's whole answer) or framed: then the rest goes out as the body of
// a well-formed reply of a chosen status, with a Content-Length or in chunks
// of a chosen size, and the client must hand back exactly that status and body.
// Whatever the answer, an error text never holds the key and a body never
// passes the size limit.
#include <cstdint>
#include <memory>
#include <string>

#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"
#include "cf/COJson.h"
#include "fuzz_check.h"
#include "raw_server.h"

namespace {

constexpr size_t kMaxResponseBytes = 16 * 1024;
std::shared_ptr<const std::string> g_answer;  // what the peer sends, for the current input

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qai::test::RawServer peer([](qai::test::RawConnection& connection) {
        connection.readRequest();
        connection.send(*std::atomic_load(&g_answer));  // the next input may replace it meanwhile
    });
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const uint8_t mode = qai_fuzz::takeByte(input);
    const bool post = (mode & 1) != 0, framed = (mode & 2) != 0, chunked = (mode & 4) != 0;
    const size_t chunkSize = 1 + (mode >> 3);
    long status = 0;
    if (framed) {
        const int high = qai_fuzz::takeByte(input);
        status = 200 + (high << 8 | qai_fuzz::takeByte(input)) % 400;
        if (status == 204 || status == 205 || status == 304) status = 200;  // these never carry a body
    }
    const std::string body(input);
    std::string answer =
        "HTTP/1.1 " + std::to_string(status) + " Whatever\r\nContent-Type: application/json\r\n";
    answer += chunked ? "Transfer-Encoding: chunked\r\n\r\n"
                      : "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    for (size_t at = 0; chunked && at < body.size(); at += chunkSize) {
        char length[32];
        std::snprintf(length, sizeof length, "%zx\r\n", body.substr(at, chunkSize).size());
        answer += length + body.substr(at, chunkSize) + "\r\n";
    }
    answer += chunked ? "0\r\n\r\n" : body;
    std::atomic_store(&g_answer, std::make_shared<const std::string>(framed ? answer : body));

    CMRestGlobalSettings settings;
    settings.requestTimeoutSeconds = 10;  // the peer closes after its answer: a safety net only
    settings.maxResponseBytes = kMaxResponseBytes;
    CMRestSession session;  // no pool: one connection per request
    session.setAuthorizationHeaderValue("Bearer secret-key-1234");
    ICSAppFactory* factory = CF::obtainAppFactory();
    const std::unique_ptr<ICSRestExecutor> executor(
        factory->obtainRestService()->createExecutor(factory, &settings, &session));
    CMRestGetRequest get;
    CMRestPostRequest request;
    get.tag = request.tag = kCMRestRequestTag;
    get.setURL(peer.url() + "/v1/x");
    request.setURL(peer.url() + "/v1/x");
    const COJson json(R"({"model":"m"})");
    request.updateJson(&json);
    CMRestResourceResponse* raw = nullptr;
    const int32_t code = post ? executor->executePost(&request, &raw) : executor->executeGet(&get, &raw);
    const std::unique_ptr<CMRestResourceResponse> response(raw);

    CMErrorRecord record;
    if (code != 0) factory->obtainErrorService()->obtainErrorDescriber()->describe(code, record);
    FUZZ_CHECK((code == 0) == record.message.empty() &&
               record.message.find("secret-key-1234") == std::string::npos);
    FUZZ_CHECK(!response || response->getBufferString().size() <= kMaxResponseBytes);
    if (framed && body.size() <= kMaxResponseBytes) {  // arrives intact
        FUZZ_CHECK(response && response->obtainHTTPStatus() == status && response->getBufferString() == body);
        FUZZ_CHECK((code == 0) == (status < 300));
    }
    return 0;
}
