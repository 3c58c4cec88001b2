// Cost of rendering a database description into the combined instructions,
// beside a bare RapidJSON parse of the same text, for 100, 1,000 and 10,000
// tables (12 columns, a primary key and a foreign key each). After the timed
// runs it prints, per size, render time / parse time, the peak heap use of
// one render and of one bare parse relative to the JSON text's size, and what
// preparing the instructions of a second message costs beside the parse: the
// description is unchanged, so the first message's rendering is reused
// (target: at most 0.10x).
//
// Heap accounting: this program interposes malloc, calloc, realloc, free and
// the aligned allocators, forwarding to glibc's own entry points. Every heap
// allocation in the process goes through them: operator new (libstdc++ calls
// malloc), RapidJSON's CrtAllocator and the pools of its MemoryPoolAllocator,
// and libcf's and libqai's containers. Sizes are malloc_usable_size, the bytes
// the heap really set aside. The peak is measured over one call, relative to
// the heap in use just before it; the stored JSON text held by the memory
// object exists before the call and is not counted, every copy made during
// the call is.
//
// glibc hands freed heap back to the system and maps large blocks afresh,
// so what a call costs would also depend on the page faults that the heap's
// state at that moment brings, which on some virtual machines cost more than
// the rendering itself and swing with the order of the runs. The program
// therefore keeps freed memory in the process (mallopt below) for both sides
// of the comparison; --allocator-defaults leaves glibc's settings alone.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <rapidjson/document.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

#include "cf/COJson.h"
#include "core/qai_memory.h"
#include "properties/qai_assistant_properties.h"

// ---- heap accounting -------------------------------------------------------

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {
std::atomic<long long> gHeapInUse{0};
std::atomic<long long> gHeapPeak{0};

void noteAllocated(void* pointer) {
    if (pointer == nullptr) return;
    const long long now =
        gHeapInUse.fetch_add(static_cast<long long>(malloc_usable_size(pointer)), std::memory_order_relaxed) +
        static_cast<long long>(malloc_usable_size(pointer));
    long long peak = gHeapPeak.load(std::memory_order_relaxed);
    while (now > peak && !gHeapPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

void noteReleased(void* pointer) {
    if (pointer != nullptr) {
        gHeapInUse.fetch_sub(static_cast<long long>(malloc_usable_size(pointer)), std::memory_order_relaxed);
    }
}
}  // namespace

#define QAI_BENCH_EXPORT extern "C" __attribute__((visibility("default")))

QAI_BENCH_EXPORT void* malloc(size_t size) {
    void* pointer = __libc_malloc(size);
    noteAllocated(pointer);
    return pointer;
}

QAI_BENCH_EXPORT void* calloc(size_t count, size_t size) {
    void* pointer = __libc_calloc(count, size);
    noteAllocated(pointer);
    return pointer;
}

QAI_BENCH_EXPORT void* realloc(void* old, size_t size) {
    const long long before = old != nullptr ? static_cast<long long>(malloc_usable_size(old)) : 0;
    void* pointer = __libc_realloc(old, size);
    if (pointer != nullptr || size == 0) {
        gHeapInUse.fetch_sub(before, std::memory_order_relaxed);
        noteAllocated(pointer);
    }
    return pointer;
}

QAI_BENCH_EXPORT void free(void* pointer) {
    noteReleased(pointer);
    __libc_free(pointer);
}

QAI_BENCH_EXPORT void* memalign(size_t alignment, size_t size) {
    void* pointer = __libc_memalign(alignment, size);
    noteAllocated(pointer);
    return pointer;
}

QAI_BENCH_EXPORT void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

QAI_BENCH_EXPORT int posix_memalign(void** result, size_t alignment, size_t size) {
    void* pointer = memalign(alignment, size);
    if (pointer == nullptr) return ENOMEM;
    *result = pointer;
    return 0;
}

namespace {

/// Peak heap growth, in bytes, while fn runs.
template <typename Fn>
long long measurePeak(Fn&& fn) {
    const long long base = gHeapInUse.load();
    gHeapPeak.store(base);
    fn();
    return gHeapPeak.load() - base;
}

// ---- the generated structures ----------------------------------------------

/// A compact db_structure text: one catalog, schemas of 100 tables, each table
/// with 12 columns, a primary key and a foreign key to the table before it.
std::string makeStructure(int tables) {
    static const char* const kTypes[] = {"bigint",      "varchar(255)", "int",  "decimal(10,2)",
                                         "timestamp",   "text",         "date", "boolean",
                                         "varchar(64)", "double",       "uuid", "jsonb"};
    std::string json;
    auto add = [&json](std::initializer_list<std::string_view> parts) {
        for (std::string_view part : parts) json.append(part);
    };
    add({R"([{"catalog_id":"1","catalog_name":"warehouse","schemas":[)"});
    for (int t = 0; t < tables; ++t) {
        const std::string schema = std::to_string(t / 100);
        if (t % 100 == 0) {
            if (t > 0) add({"]},"});
            add({R"({"schema_id":")", schema, R"(","schema_name":"sales_)", schema, R"(","tables":[)"});
        } else {
            add({","});
        }
        add({R"({"name":"table_)", std::to_string(t), R"(","fields":[)"});
        for (int c = 0; c < 12; ++c) {
            add({c > 0 ? "," : "", R"({"name":")", c == 0 ? "id" : "column_", c == 0 ? "" : std::to_string(c),
                 R"(","type":")", kTypes[c], R"("})"});
        }
        add({R"(],"pkeys":["id"],"fkeys":[{"fields":["column_1"],"ref_schema":"sales_)", schema,
             R"(","ref_table":"table_)", std::to_string(t > 0 ? t - 1 : 0), R"(","ref_fields":["id"]}]})"});
    }
    add({"]}]}]"});
    return json;
}

const std::string& structureText(int tables) {
    static std::map<int, std::string> texts;
    auto found = texts.find(tables);
    if (found == texts.end()) found = texts.emplace(tables, makeStructure(tables)).first;
    return found->second;
}

/// A store with instructions and the structure in its memory, as before a request.
struct Fixture {
    explicit Fixture(int tables) : store(&memory) {
        memory.setSummary(structureText(tables));
        store.setProperty("user_instructions", CMVariant("Answer in English."));
        store.setProperty("system_instructions", CMVariant(CMVariantMap{{"a", CMVariant("You write SQL.")}}));
    }
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store;
};

/// Every iteration renders anew: the memory's text is set again (untimed).
void BM_CombinedInstructions(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        fixture.memory.setSummary(structureText(static_cast<int>(state.range(0))));
        state.ResumeTiming();
        benchmark::DoNotOptimize(fixture.store.obtainCombinedInstructions());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(structureText(state.range(0)).size()));
}

/// A later message of the conversation: nothing changed since the last
/// one, and the instructions go into a request body as every adapter puts them.
void BM_SecondMessage(benchmark::State& state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    fixture.store.obtainCombinedInstructions();  // the first message
    for (auto _ : state) {
        COJson body;
        body.addKeyValue("system").setString(fixture.store.obtainCombinedInstructions());
        benchmark::DoNotOptimize(body.obtainRoot().obtainType());
    }
}

void BM_RapidJSONParse(benchmark::State& state) {
    const std::string& text = structureText(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        rapidjson::Document document;
        document.Parse(text.data(), text.size());
        benchmark::DoNotOptimize(document.IsArray());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

// Repetitions let the summary take the fastest run of each, which the other
// work on a shared machine disturbs least.
BENCHMARK(BM_CombinedInstructions)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SecondMessage)->Arg(100)->Arg(1000)->Arg(10000)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJSONParse)->Arg(100)->Arg(1000)->Arg(10000)->Repetitions(5)->Unit(benchmark::kMillisecond);

/// Keeps the fastest mean real time per iteration of each benchmark's repetitions.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            const double perIteration = run.real_accumulated_time / static_cast<double>(run.iterations);
            const std::string name = run.run_name.function_name + "/" + run.run_name.args;
            auto found = seconds.find(name);
            if (found == seconds.end() || perIteration < found->second) seconds[name] = perIteration;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
    bool allocatorDefaults = false;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--allocator-defaults") {
            allocatorDefaults = true;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    if (!allocatorDefaults) {
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
        mallopt(M_MMAP_THRESHOLD, 1 << 30);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%8s %12s %10s %10s %7s %12s %12s %10s %7s\n", "tables", "json_bytes", "parse_ms",
                "render_ms", "ratio", "render_peak", "parse_peak", "second_ms", "ratio");
    for (int tables : {100, 1000, 10000}) {
        const std::string& text = structureText(tables);
        const std::string arg = std::to_string(tables);
        const auto parse = reporter.seconds.find(std::string("BM_RapidJSONParse/").append(arg));
        const auto render = reporter.seconds.find(std::string("BM_CombinedInstructions/").append(arg));
        const auto second = reporter.seconds.find(std::string("BM_SecondMessage/").append(arg));
        Fixture fixture(tables);
        size_t rendered = 0;
        const long long renderPeak =
            measurePeak([&] { rendered = fixture.store.obtainCombinedInstructions().size(); });
        const long long parsePeak = measurePeak([&] {
            rapidjson::Document document;
            document.Parse(text.data(), text.size());
            benchmark::DoNotOptimize(document.IsArray());
        });
        const double size = static_cast<double>(text.size());
        if (parse == reporter.seconds.end() || render == reporter.seconds.end() ||
            second == reporter.seconds.end()) {
            std::printf("%8d %12zu %10s %10s %7s %11.2fx %11.2fx\n", tables, text.size(), "-", "-", "-",
                        renderPeak / size, parsePeak / size);
            continue;
        }
        std::printf("%8d %12zu %10.3f %10.3f %6.2fx %11.2fx %11.2fx %10.3f %6.2fx   (text out: %.2fx json)\n",
                    tables, text.size(), parse->second * 1e3, render->second * 1e3,
                    render->second / parse->second, renderPeak / size, parsePeak / size, second->second * 1e3,
                    second->second / parse->second, static_cast<double>(rendered) / size);
    }
    return 0;
}
