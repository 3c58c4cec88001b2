// Time to the first piece of a streamed reply: the server answers at once
// with the head, sends its first text piece 50 ms later and the rest over
// 2 s. "lag" runs from the moment the server wrote the first piece to the
// moment the host's callback had it; "max_lag_ms" is the slowest iteration,
// the figure to hold against the 10 ms promise. "first_ms" runs from the call.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <charconv>
#include <memory>
#include <string>

#include "cf/CMRest.h"
#include "qai.h"
#include "raw_server.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Deleter {
    void operator()(IQAIObject* object) const { QAIFreeObject(object); }
};

/// One chunk of a chunked body.
std::string chunk(const std::string& data) {
    char size[32];
    const auto end = std::to_chars(size, size + sizeof size, data.size(), 16).ptr;
    return std::string(size, end) + "\r\n" + data + "\r\n";
}

std::string textEvent(const std::string& text) {
    return "data: {\"choices\":[{\"index\":0,\"delta\":{\"content\":\"" + text + "\"}}]}\n\n";
}

void TimeToFirstPiece(benchmark::State& state) {
    std::atomic<Clock::rep> firstSent{0};
    qai::test::RawServer server([&firstSent](qai::test::RawConnection& peer) {
        while (!peer.readRequest().empty()) {
            peer.send(
                qai::test::rawHead(200, "Content-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n"));
            peer.pause(std::chrono::milliseconds(50));
            firstSent = Clock::now().time_since_epoch().count();
            peer.send(chunk(textEvent("first")));
            for (int i = 0; i < 20; ++i) {
                peer.pause(std::chrono::milliseconds(100));
                peer.send(chunk(textEvent(" more")));
            }
            peer.send(
                chunk("data: {\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"stop\"}]}\n\n"
                      "data: [DONE]\n\n"));
            peer.send("0\r\n\r\n");
        }
    });
    std::unique_ptr<IQAIAssistant, Deleter> assistant(
        QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "k", server.url(), nullptr));
    assistant->updateProperties(
        [](IQAIProperties* properties) { properties->setProperty("model", CMVariant("m")); });
    double slowest = 0, fromCall = 0;
    for (auto _ : state) {
        const Clock::time_point call = Clock::now();
        Clock::time_point firstSeen{};
        auto [message, error] = assistant->addMessageStreaming("hi", [&](std::string_view) {
            if (firstSeen == Clock::time_point{}) firstSeen = Clock::now();
            return true;
        });
        QAIFreeObject(message);
        if (!error.empty()) state.SkipWithError(error.c_str());
        const Clock::time_point sent{Clock::duration(firstSent.load())};
        const double lag = std::chrono::duration<double>(firstSeen - sent).count();
        slowest = std::max(slowest, lag);
        fromCall = std::max(fromCall, std::chrono::duration<double>(firstSeen - call).count());
        state.SetIterationTime(lag);
    }
    state.counters["max_lag_ms"] = slowest * 1000;
    state.counters["first_ms"] = fromCall * 1000;
}
BENCHMARK(TimeToFirstPiece)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
