// The rules every provider shares, one row per provider of the shared table,
// driven as a host drives them: what the test server received and what came
// back. Every failing call goes through failure(), which checks the memory.
#include <gtest/gtest.h>

#include <map>

#include "cf/COJson.h"
#include "providers.h"

using namespace qai::test;

namespace {

const std::string kKey = "k&+ 1";
const double kTemperatures[] = {2.5, 2.0, 1.995, 1.5, 1.0, -0.5};

const std::map<std::string, std::string> kGerman = {{"Model is empty", "Kein Modell"},
                                                    {"Invalid response", "Ungültige Antwort"},
                                                    {"Unsupported data format", "Unbekanntes Format"}};

void translateToGerman(const char* key, void* data) {
    auto* info = static_cast<QAICallbackLocalizationInfo*>(data);
    const auto it = kGerman.find(info->text);
    if (std::string_view(key) == "QAILocalizeString" && it != kGerman.end())
        it->second.copy(info->localized, sizeof info->localized - 1);
}

/// What differs between providers beyond the shared table, and the failure replies sent to
/// each (tests/fixtures/provider_rules.json): member of the provider's entry, or of the file's
/// when p is null; its index-th item when index is given.
COJsonValue rule(const Provider* p, const char* member, int index = -1) {
    static COJson rules(readFixture("provider_rules.json"));
    const COJsonValue value = (p ? rules.obtainMember(p->name) : rules.obtainRoot()).obtainMember(member);
    return index < 0 ? value : value.obtainArrayItem(index);
}
std::vector<std::string> strings(const COJsonValue& list) {
    std::vector<std::string> items;
    for (int32_t i = 0; i < list.obtainArraySize(); ++i)
        items.push_back(list.obtainArrayItem(i).obtainString());
    return items;
}

/// An expected text with its markers resolved: "=" the raw body, a trailing "@" the suffix.
std::string expected(const std::string& text, const std::string& body, const std::string& suffix,
                     bool german = false) {
    if (text == "=") return body;
    if (text.empty() || text.back() != '@') return text;
    const std::string key = text.substr(0, text.size() - 1);
    return (german ? kGerman.at(key) : key) + suffix;
}

/// The key where the provider sends it, and nowhere else: each header's values, then the query's key.
std::string credentials(const ReceivedRequest& request) {
    std::string found;
    for (const char* name : {"Authorization", "x-api-key", "anthropic-version", "x-goog-api-key"}) {
        for (size_t i = 0; i < request.get_header_value_count(name); ++i)
            found += request.get_header_value(name, i);
        found += "|";
    }
    return found + request.get_param_value("key");
}
const std::string kCredentials[] = {"Bearer " + kKey + "||||", "|" + kKey + "|2023-06-01||", "||||" + kKey,
                                    "||||"};

/// text re-serialised compactly, for comparing request bodies.
std::string compactJson(const std::string& text) {
    COJson document(text);
    EXPECT_TRUE(document.getIsValidJson()) << text;
    return document.obtainJsonString();
}

/// The request body of the wire's fixture, with temperature and instructions when these are given.
std::string requestBody(const Provider& p, const std::string& role, const std::string& instructions = "") {
    const std::string members = instructions.empty() ? "" : wirePart(p.wire, "instructions", instructions);
    const std::string temperature = instructions.empty() ? "" : wirePart(p.wire, "temperature");
    const std::string body =
        replaced(wirePart(p.wire, "request"), "<instructions>", replaced(members, "<role>", role));
    return compactJson(replaced(body, "<temperature>", temperature));
}

class Providers : public testing::TestWithParam<Provider> {};

}  // namespace

TEST_P(Providers, RequestCarriesCredentialModelOptionsHistoryAndTextThenRecordsTheReply) {
    const Provider& p = GetParam();
    TestServer server;
    server.reply("POST", chatPath(p), 200, wirePart(p.wire, "reply"));
    const std::vector<QAIMemoryRecord> history = {{0, "q1"}, {1, "a1"}, {2, "r2"}};
    HostMemory memory;
    memory.records = history;
    AssistantPtr assistant = createAssistant(p.type, server.url(), kKey, &memory);

    // Temperature without its switch and no instructions: neither is sent.
    configure(assistant.get(), {{"model", CMVariant("m")}, {"temperature", CMVariant(0.5)}});
    Outcome out = run(assistant.get(), Call::Message);
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.facts, "role 1, 1 section(s), -1 in, -1 out, -1 cached, -1 written, stop 0 ()");
    EXPECT_EQ(out.text, rule(&p, "reply").obtainString());
    EXPECT_EQ(memory.history(), "0:q1|1:a1|2:r2|0:hi|1:" + rule(&p, "reply").obtainString() + "|");
    auto request = server.lastRequest();
    EXPECT_EQ(request.method + " " + request.target,
              "POST " + chatPath(p) + (p.wire == Wire::Google ? "?key=k%26%2B%201" : ""));
    EXPECT_EQ(credentials(request), kCredentials[static_cast<int>(p.wire)]);
    EXPECT_EQ(request.body, requestBody(p, rule(&p, "role").obtainString()));

    memory.records = history;
    configure(assistant.get(),
              {{"use_temperature", CMVariant(int32_t{1})}, {"user_instructions", CMVariant("Hi")}});
    const std::string instructions = readProperty(assistant.get(), "combined_instructions").stringValue();
    ASSERT_NE(instructions, "");
    EXPECT_EQ(run(assistant.get(), Call::Message).error, "");
    EXPECT_EQ(server.lastRequest().body, requestBody(p, rule(&p, "role").obtainString(), instructions));

    // A reply with no qualifying text is still a reply, and recorded.
    memory.records.clear();
    server.reply("POST", chatPath(p), 200, wirePart(p.wire, "empty_reply"));
    out = run(assistant.get(), Call::Message);
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.facts.substr(0, 20), "role 1, 1 section(s)");
    EXPECT_EQ(memory.history(), "0:hi|1:|");

    // A short stream: every chat-completions provider uses the shared decoder.
    server.replyOnce("POST", chatPath(p, true), streamReply(p.wire, {{{}, streamBody(p.wire, {"S", "QL"})}}));
    out = run(assistant.get(), Call::Stream);
    EXPECT_EQ(out.text + " " + out.error, "SQL ");
    EXPECT_NE(out.facts.find(p.wire == Wire::Ollama   ? "-1 cached, -1 written"
                             : p.wire == Wire::Google ? "6 cached, -1 written"
                                                      : "6 cached, 2 written"),
              std::string::npos)
        << out.facts;

    // One assistant keeps one connection open for its messages.
    for (int i = 0; i < 6; ++i) EXPECT_EQ(run(assistant.get(), Call::Message).error, "");
    EXPECT_EQ(server.requestCount(), 10u);
    EXPECT_EQ(server.connectionCount(), 1u);
}

// Each request repeats the previous one up to its newest text and only appends, so that a
// provider's prompt cache can serve it; caching on marks it only where the provider needs
// markers, and off sends what a library without caching sent (the request test above).
TEST_P(Providers, EachRequestRepeatsThePreviousAndCachingMarksOnlyWhereNeeded) {
    const Provider& p = GetParam();
    const std::string marker = R"(,"cache_control":{"type":"ephemeral"})";
    for (const bool caching : {false, true}) {
        TestServer server;
        server.reply("POST", chatPath(p), 200, wirePart(p.wire, "whole", "A"));
        AssistantPtr assistant = createAssistant(p.type, server.url());
        configure(assistant.get(),
                  {{"model", CMVariant("m")},
                   {"user_instructions", CMVariant("Hi")},
                   {"db_structure", CMVariant(R"([{"schemas":[{"tables":[{"name":"t","fields":[]}]}]}])")}});
        assistant->setPromptCaching(caching);
        std::string previous, newest;
        for (const std::string text : {"m1", "m2", "m3"}) {
            const auto [message, error] = assistant->addMessage(text);
            ASSERT_NE(message, nullptr) << error;
            QAIFreeObject(message);
            const std::string body = server.lastRequest().body, plain = replaced(body, marker, "");
            EXPECT_EQ((body.size() - plain.size()) / marker.size(),
                      static_cast<size_t>(caching ? rule(&p, "cache_markers").obtainInt() : 0));
            for (const std::string& shape : strings(rule(&p, "cache_shapes")))
                EXPECT_EQ(caching, body.find(replaced(shape, "<text>", text)) != std::string::npos) << body;
            const size_t cut = previous.find(newest) + newest.size();
            EXPECT_EQ(plain.substr(0, cut), previous.substr(0, cut));
            previous = plain;
            newest = '"' + text + '"';
        }
    }
}

TEST_P(Providers, EveryMessageFailureHasItsTextAndLeavesTheMemory) {
    const Provider& p = GetParam();
    TestServer server;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(p.type, server.url(), kKey, &memory);
    const std::string suffix = ": p" + chatPath(p);
    for (const bool german : {false, true}) {
        QAIRegisterCallback(german ? translateToGerman : nullptr);
        // Without a model there is no model in the path either.
        configure(assistant.get(), {{"model", CMVariant("")}});
        for (const Call call : {Call::Message, Call::Stream})
            EXPECT_EQ(failure(assistant.get(), memory, call),
                      expected("Model is empty@", "",
                               ": p" + replaced(chatPath(p, call == Call::Stream, ""), "/:", "/"), german));

        configure(assistant.get(), {{"model", CMVariant("m")}});
        for (int i = 0; i < rule(nullptr, "chat_probes").obtainArraySize(); ++i) {
            const COJsonValue probe = rule(nullptr, "chat_probes", i);
            const std::string body = probe.obtainArrayItem(1).obtainString();
            server.reply("POST", chatPath(p), probe.obtainArrayItem(0).obtainInt(), body);
            EXPECT_EQ(failure(assistant.get(), memory, Call::Message),
                      expected(rule(&p, "chat_errors", i).obtainString(), body, suffix, german))
                << body;
        }
    }
    QAIRegisterCallback(nullptr);
    EXPECT_EQ(server.requestCount(), 2u * rule(nullptr, "chat_probes").obtainArraySize());
}

TEST_P(Providers, ModelListInTheProvidersOrderAndFormWithItsFailures) {
    const Provider& p = GetParam();
    TestServer server;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(p.type, server.url(), kKey, &memory);
    if (*p.modelsPath == '\0') {
        EXPECT_EQ(assistant->obtainAvailableModels(), (std::pair<std::vector<std::string>, std::string>{}));
        EXPECT_EQ(server.requestCount(), 0u);
        return;
    }
    server.reply("GET", p.modelsPath, 200, wirePart(p.wire, "models"));
    EXPECT_EQ(assistant->obtainAvailableModels(), std::make_pair(strings(rule(&p, "models")), std::string()));
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method + " " + request.target,
              "GET " + std::string(p.modelsPath) + (p.wire == Wire::Google ? "?key=k%26%2B%201" : ""));
    EXPECT_EQ(credentials(request), kCredentials[static_cast<int>(p.wire)]);

    for (int i = 0; i < rule(nullptr, "model_probes").obtainArraySize(); ++i) {
        const COJsonValue probe = rule(nullptr, "model_probes", i);
        const std::string body = probe.obtainArrayItem(1).obtainString();
        server.reply("GET", p.modelsPath, probe.obtainArrayItem(0).obtainInt(), body);
        const Outcome out = run(assistant.get(), Call::Models);
        EXPECT_EQ(out.text + out.error, expected(rule(&p, "model_errors", i).obtainString(), body,
                                                 ": g" + std::string(p.modelsPath)))
            << body;
    }
}

TEST_P(Providers, DefaultHostAndTemperatureRangeAfterUpdate) {
    const Provider& p = GetParam();
    AssistantPtr assistant = createAssistant(p.type, "");
    EXPECT_EQ(assistant->obtainDefaultHost(), p.defaultHost);
    EXPECT_EQ(readProperty(assistant.get(), "api_host").stringValue(),
              std::string("https://") + p.defaultHost);
    for (size_t i = 0; i < std::size(kTemperatures); ++i) {
        configure(assistant.get(), {{"temperature", CMVariant(kTemperatures[i])}});
        EXPECT_DOUBLE_EQ(readProperty(assistant.get(), "temperature").doubleValue(),
                         rule(&p, "temperatures", int(i)).obtainDouble())
            << kTemperatures[i];
    }
}

INSTANTIATE_TEST_SUITE_P(All, Providers, testing::ValuesIn(allProviders()),
                         [](const testing::TestParamInfo<Provider>& row) { return row.param.name; });
