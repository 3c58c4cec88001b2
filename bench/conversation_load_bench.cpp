// A thousand (and four thousand) consecutive messages on one assistant
// against the local test server: the connections the assistant used and how
// far the process's resident memory grew, next to the bytes its growing
// history holds. Flat means: the growth follows the history, not the count.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cf/CMRest.h"
#include "qai.h"
#include "test_server.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <psapi.h>
#include <windows.h>
#endif

namespace {

// First-use allocations (connection, caches, the test server's record of the
// latest 100 requests) settle first.
constexpr int kWarmUp = 100;

/// Resident set size of this process in bytes; 0 when unknown.
int64_t residentBytes() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return static_cast<int64_t>(counters.WorkingSetSize);
#else
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen("/proc/self/statm", "r"), &std::fclose);
    long pages = 0, resident = 0;
    if (!file || std::fscanf(file.get(), "%ld %ld", &pages, &resident) != 2) return 0;
    return static_cast<int64_t>(resident) * 4096;
#endif
}

struct Deleter {
    void operator()(IQAIObject* object) const { QAIFreeObject(object); }
};

/// Keeps the history, as a host's memory does, and counts the bytes it holds
/// (texts and records).
class CountingMemory final : public IQAIAssistantMemory {
public:
    void setSummary(const std::string& text) override { summary = text; }
    std::string obtainSummary() override { return summary; }
    void addMessage(int32_t role, const std::string& text) override {
        records.push_back({role, text});
        historyBytes += static_cast<int64_t>(text.size() + sizeof(QAIMemoryRecord));
    }
    /// The latest 20 records, as a host's memory would bound the request.
    std::vector<QAIMemoryRecord> obtainMessages(int32_t limit) override {
        const size_t keep = std::min(records.size(), static_cast<size_t>(limit));
        return {records.end() - static_cast<std::ptrdiff_t>(keep), records.end()};
    }

    std::string summary;
    std::vector<QAIMemoryRecord> records;
    int64_t historyBytes = 0;
};

void BM_MessagesOnOneAssistant(benchmark::State& state) {
    const int messages = static_cast<int>(state.range(0));
    for (auto _ : state) {
        qai::test::TestServer server;
        server.reply("POST", "/v1/chat/completions", 200, qai::test::readFixture("openai_chat.json"));
        CountingMemory memory;
        std::unique_ptr<IQAIAssistant, Deleter> assistant(QAICreateAssistant(
            QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "sk-load", server.url(), &memory));
        assistant->updateProperties(
            [](IQAIProperties* properties) { properties->setProperty("model", CMVariant("gpt-load")); });
        auto send = [&assistant](int i) {
            auto [message, error] = assistant->addMessage("Message number " + std::to_string(i));
            QAIFreeObject(message);
            return error.empty();
        };
        bool ok = true;
        for (int i = 0; i < kWarmUp; ++i) ok = send(i) && ok;
        const int64_t historyBefore = memory.historyBytes;
        const int64_t before = residentBytes();
        for (int i = 0; i < messages; ++i) ok = send(i) && ok;
        const int64_t after = residentBytes();
        if (!ok) state.SkipWithError("a message failed");

        state.counters["messages"] = messages;
        state.counters["connections"] = static_cast<double>(server.connectionCount());
        state.counters["rss_growth_KiB"] = static_cast<double>(after - before) / 1024;
        state.counters["history_growth_KiB"] =
            static_cast<double>(memory.historyBytes - historyBefore) / 1024;
        assistant.reset();  // before the server: it waits for open connections
    }
}
BENCHMARK(BM_MessagesOnOneAssistant)->Arg(1000)->Arg(4000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
