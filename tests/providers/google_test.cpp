// The Google generateContent adapter against the local test server.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "provider_fixture.h"

using namespace qai_test;
using qai::test::TestServer;

namespace {

constexpr auto kGoogle = QAIAssistantType_GOOGLE;
const std::string kChatPath = "/v1beta/models/gemini-x:generateContent";
const std::string kChatSuffix = ": p/v1beta/models/gemini-x:generateContent";

std::string candidate(const std::string& content) { return R"({"content":)" + content + "}"; }

std::string jsonArray(std::initializer_list<std::string> items) {
    std::string text = "[";
    for (const std::string& item : items) {
        if (text.size() > 1) text += ',';
        text += item;
    }
    return text + ']';
}

std::string modelItem(const std::string& name, const std::string& methods) {
    return R"({"name":)" + name + R"(,"supportedGenerationMethods":)" + methods + "}";
}

}  // namespace

TEST(Google, RequestCarriesKeyInQueryModelInPathAndContents) {
    TestServer server;
    server.reply("POST", kChatPath, 200, loadFixture("google_chat.json"));
    HostMemory memory;
    memory.records = {{0, "q1"}, {1, "a1"}, {2, "other role"}};
    // Characters that would split or alter the query arrive intact.
    AssistantPtr assistant = createAssistant(kGoogle, server, "k&x=1+2 /", &memory);
    configure(assistant.get(), {{"model", CMVariant("gemini-x")},
                                {"temperature", CMVariant(0.25)},
                                {"use_temperature", CMVariant(int32_t{1})},
                                {"user_instructions", CMVariant("Be brief.")}});
    const std::string instructions = readProperty(assistant.get(), "combined_instructions").stringValue();
    ASSERT_NE(instructions, "");

    Reply reply = send(assistant.get(), "hello");
    EXPECT_EQ(reply.error, "");
    EXPECT_EQ(reply.role, 1);
    EXPECT_EQ(reply.sectionCount, 1u);
    EXPECT_EQ(reply.text, "low");

    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, kChatPath);
    ASSERT_EQ(request.queryParams.size(), 1u);
    EXPECT_EQ(request.queryParams[0], (std::pair<std::string, std::string>("key", "k&x=1+2 /")));
    EXPECT_EQ(request.rawQuery.find_first_of("&+ /"), std::string::npos) << request.rawQuery;
    EXPECT_FALSE(request.hasHeader("Authorization"));
    EXPECT_FALSE(request.hasHeader("x-api-key"));
    EXPECT_FALSE(request.hasHeader("x-goog-api-key"));
    EXPECT_EQ(
        request.body,
        compactJson(
            R"({"generationConfig":{"temperature":0.25},"system_instruction":{"parts":{"text":)" +
            jsonQuoted(instructions) +
            R"(}},"contents":[{"role":"user","parts":[{"text":"q1"}]},)"
            R"({"role":"model","parts":[{"text":"a1"}]},{"role":"user","parts":[{"text":"other role"}]},)"
            R"({"role":"user","parts":[{"text":"hello"}]}]})"));
    ASSERT_EQ(memory.records.size(), 5u);
    EXPECT_EQ(memory.records[3].role, 0);
    EXPECT_EQ(memory.records[3].text, "hello");
    EXPECT_EQ(memory.records[4].role, 1);
    EXPECT_EQ(memory.records[4].text, "low");
}

TEST(Google, GenerationConfigOnlyUnderTheTemperatureRule) {
    TestServer server;
    server.reply("POST", kChatPath, 200, R"({"candidates":[]})");
    HostMemory memory;
    AssistantPtr assistant = createAssistant(kGoogle, server, "k", &memory);
    const std::string without = compactJson(R"({"contents":[{"role":"user","parts":[{"text":"t"}]}]})");
    const std::string with = compactJson(
        R"({"generationConfig":{"temperature":0.7},"contents":[{"role":"user","parts":[{"text":"t"}]}]})");
    auto sentBody = [&] {
        memory.records.clear();
        EXPECT_EQ(send(assistant.get(), "t").error, "");
        return server.lastRequest().body;
    };

    configure(assistant.get(), {{"model", CMVariant("gemini-x")}});
    EXPECT_EQ(sentBody(), without);
    configure(assistant.get(), {{"use_temperature", CMVariant(int32_t{1})}});
    EXPECT_EQ(sentBody(), without);
    configure(assistant.get(), {{"temperature", CMVariant(0.7)}});
    EXPECT_EQ(sentBody(), with);
    configure(assistant.get(), {{"use_temperature", CMVariant(int32_t{0})}});
    EXPECT_EQ(sentBody(), without);
}

TEST(Google, ReplyJoinsEveryModelCandidateAndRecordsEvenAnEmptyOne) {
    struct Case {
        std::string candidates;
        const char* text;
    };
    const std::vector<Case> cases = {
        {jsonArray({candidate(R"({"role":"model","parts":[{"text":"First "},{"inlineData":{}},{"text":1},)"
                              R"({"text":"part"}]})"),
                    candidate(R"({"role":"model","parts":[{"text":" second"}]})")}),
         "First part second"},
        {jsonArray({candidate(R"({"parts":[{"text":"no role"}]})"),
                    candidate(R"({"role":7,"parts":[{"text":"number"}]})"),
                    candidate(R"({"role":"user","parts":[{"text":"user"}]})"),
                    candidate(R"({"role":"model","parts":{"text":"parts not an array"}})"),
                    candidate(R"("content as text")"), R"({"finishReason":"SAFETY"})"}),
         ""},
        {"[]", ""},
    };
    TestServer server;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(kGoogle, server, "k", &memory);
    configure(assistant.get(), {{"model", CMVariant("gemini-x")}});
    for (const Case& c : cases) {
        memory.records.clear();
        server.replyOnce("POST", kChatPath, cannedReply(200, R"({"candidates":)" + c.candidates + "}"));
        Reply reply = send(assistant.get(), "q");
        EXPECT_EQ(reply.error, "") << c.candidates;
        EXPECT_EQ(reply.sectionCount, 1u) << c.candidates;
        EXPECT_EQ(reply.text, c.text) << c.candidates;
        ASSERT_EQ(memory.records.size(), 2u) << c.candidates;
        EXPECT_EQ(memory.records[1].text, c.text);
    }
}

TEST(Google, EveryMessageFailureLeavesMemoryAloneWithItsText) {
    struct Case {
        const char* name;
        int status;
        std::string body;
        std::string error;
    };
    const std::string notFound =
        "models/custom-gemini-2.0-flash is not found for API version v1beta, or is not "
        "supported for generateContent. Call ListModels to see the list of available "
        "models and their supported methods.";
    const std::vector<Case> cases = {
        {"provider error object", 404, loadFixture("google_error.json"), notFound},
        // The raw body is never shown: the transport's text stands in.
        {"error as a string", 400, R"({"error":"bad"})", "HTTP 400 Bad Request"},
        {"message not a string", 500, R"({"error":{"message":3}})", "HTTP 500 Internal Server Error"},
        {"not JSON with an error status", 500, "oops", "HTTP 500 Internal Server Error"},
        {"not JSON", 200, "<html>", "Invalid response" + kChatSuffix},
        {"no candidates", 200, R"({"promptFeedback":{}})", "Unsupported data format" + kChatSuffix},
        {"candidates not an array", 200, R"({"candidates":{}})", "Unsupported data format" + kChatSuffix},
    };
    TestServer server;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(kGoogle, server, "k", &memory);

    Reply noModel = send(assistant.get(), "q");
    EXPECT_FALSE(noModel.hasMessage);
    EXPECT_EQ(noModel.error, "Model is empty: p/v1beta/models/generateContent");
    EXPECT_EQ(server.requestCount(), 0u);

    configure(assistant.get(), {{"model", CMVariant("gemini-x")}});
    for (const Case& c : cases) {
        server.replyOnce("POST", kChatPath, cannedReply(c.status, c.body));
        Reply reply = send(assistant.get(), "q");
        EXPECT_FALSE(reply.hasMessage) << c.name;
        EXPECT_EQ(reply.error, c.error) << c.name;
    }
    EXPECT_TRUE(memory.records.empty());
}

TEST(Google, ModelListKeepsGenerateContentModelsWithoutPrefix) {
    TestServer server;
    AssistantPtr assistant = createAssistant(kGoogle, server, "k+1");

    server.replyOnce("GET", "/v1beta/models", cannedReply(200, loadFixture("google_models.json")));
    auto [recorded, recordedError] = assistant->obtainAvailableModels();
    EXPECT_EQ(recordedError, "");
    EXPECT_EQ(recorded, std::vector<std::string>{"gemini-pro"});
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/v1beta/models");
    EXPECT_EQ(request.queryParam("key"), "k+1");
    EXPECT_EQ(request.rawQuery, "key=k%2B1");
    EXPECT_FALSE(request.hasHeader("Authorization"));

    server.replyOnce(
        "GET", "/v1beta/models",
        cannedReply(
            200, R"({"models":)" +
                     jsonArray({modelItem(R"("models/b")", R"(["x","generateContent"])"),
                                modelItem(R"("plain")", R"(["generateContent"])"),
                                modelItem(R"("models/")", R"(["generateContent"])"),
                                modelItem(R"("Models/case")", R"(["generateContent"])"),
                                modelItem(R"("empty")", "[]"),
                                modelItem(R"("other")", R"(["embedContent","GenerateContent"])"),
                                modelItem(R"("not-array")", R"("generateContent")"),
                                modelItem("9", R"(["generateContent"])"), R"({"name":"models/missing"})"}) +
                     "}"));
    auto [models, error] = assistant->obtainAvailableModels();
    EXPECT_EQ(error, "");
    EXPECT_EQ(models, (std::vector<std::string>{"b", "plain", "", "Models/case"}));

    struct Case {
        const char* name;
        int status;
        std::string body;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"provider error object", 403, R"({"error":{"code":403,"message":"API key not valid."}})",
         "API key not valid."},
        {"error as a string", 403, R"({"error":"denied"})", "HTTP 403 Forbidden"},
        {"not JSON", 200, "<html>", "Invalid response: g/v1beta/models"},
        {"no models", 200, R"({"data":[]})", "Unsupported data format: g/v1beta/models"},
        {"models not an array", 200, R"({"models":"gemini"})", "Unsupported data format: g/v1beta/models"},
        {"empty array", 200, R"({"models":[]})", ""},
    };
    for (const Case& c : cases) {
        server.replyOnce("GET", "/v1beta/models", cannedReply(c.status, c.body));
        auto [list, text] = assistant->obtainAvailableModels();
        EXPECT_TRUE(list.empty()) << c.name;
        EXPECT_EQ(text, c.error) << c.name;
    }
}
