// One addMessage round trip against the local test server over a kept-alive
// loopback connection, next to a bare libcurl POST of the same body on a
// reused easy handle. The library's share is building the body (DDL of a
// small database included), parsing the reply and recording the exchange.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

#include "cf/CMRest.h"
#include "qai.h"
#include "test_server.h"

namespace {

const char* const kChatPath = "/v1/chat/completions";

// A host memory whose history the benchmark empties before each message, so
// every request carries the same body; the database description stays.
class BenchMemory final : public IQAIAssistantMemory {
public:
    void setSummary(const std::string& text) override { summary = text; }
    std::string obtainSummary() override { return summary; }
    void addMessage(int32_t role, const std::string& text) override { records.push_back({role, text}); }
    std::vector<QAIMemoryRecord> obtainMessages(int32_t) override { return records; }

    std::string summary;
    std::vector<QAIMemoryRecord> records;
};

const char* const kDatabase = R"json([{"catalog_name":"shop","schemas":[{"schema_name":"public","tables":[
  {"name":"customers","fields":[{"name":"id","type":"integer"},{"name":"name","type":"text"},
   {"name":"email","type":"text"}],"pkeys":["id"]},
  {"name":"orders","fields":[{"name":"id","type":"integer"},{"name":"customer_id","type":"integer"},
   {"name":"total","type":"numeric(10,2)"},{"name":"placed_at","type":"timestamp"}],"pkeys":["id"],
   "fkeys":[{"fields":["customer_id"],"ref_table":"customers","ref_fields":["id"]}]}],
  "views":[{"name":"big_orders","fields":[{"name":"id","type":"integer"}]}]}]}])json";

struct Deleter {
    void operator()(IQAIObject* object) const { QAIFreeObject(object); }
};

std::string replyBody() { return qai::test::readFixture("openai_chat.json"); }

// Sets up the assistant and returns the body it sends for "Which customers ordered most?".
struct LibrarySetup {
    qai::test::TestServer server;
    BenchMemory memory;
    std::unique_ptr<IQAIAssistant, Deleter> assistant;

    LibrarySetup() {
        server.reply("POST", kChatPath, 200, replyBody());
        assistant.reset(QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "sk-bench",
                                           server.url(), &memory));
        assistant->updateProperties([](IQAIProperties* properties) {
            properties->setProperty("model", CMVariant("gpt-bench"));
            properties->setProperty("user_instructions", CMVariant("Answer with SQL."));
            properties->setProperty("db_structure", CMVariant(kDatabase));
        });
    }
    ~LibrarySetup() { assistant.reset(); }  // before the server: it waits for open connections

    bool roundTrip() {
        memory.records.clear();
        auto [message, error] = assistant->addMessage("Which customers ordered most?");
        QAIFreeObject(message);
        return error.empty();
    }
};

void BM_LibraryAddMessage(benchmark::State& state) {
    LibrarySetup setup;
    if (!setup.roundTrip()) state.SkipWithError("round trip failed");
    if (setup.server.lastRequest().body.find("CREATE TABLE") == std::string::npos)
        state.SkipWithError("the database description was not sent");
    state.counters["body_bytes"] = static_cast<double>(setup.server.lastRequest().body.size());
    for (auto _ : state) {
        if (!setup.roundTrip()) state.SkipWithError("round trip failed");
    }
}
BENCHMARK(BM_LibraryAddMessage)->Unit(benchmark::kMicrosecond);

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

void BM_BareCurlPost(benchmark::State& state) {
    // The same body and reply as the library's round trip.
    std::string body;
    {
        LibrarySetup setup;
        setup.roundTrip();
        body = setup.server.lastRequest().body;
    }
    qai::test::TestServer server;
    server.reply("POST", kChatPath, 200, replyBody());
    const std::string url = server.url() + kChatPath;

    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), &curl_easy_cleanup);
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Authorization: Bearer sk-bench");
    std::string received;
    curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &received);
    state.counters["body_bytes"] = static_cast<double>(body.size());
    for (auto _ : state) {
        received.clear();
        if (curl_easy_perform(handle.get()) != CURLE_OK) state.SkipWithError("curl failed");
        benchmark::DoNotOptimize(received.data());
    }
    handle.reset();  // close the connection before the server stops
    curl_slist_free_all(headers);
}
BENCHMARK(BM_BareCurlPost)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
