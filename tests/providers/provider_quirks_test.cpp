// What only some assistants do: Anthropic's max_tokens, the error-body shapes,
// memory ownership of the base, and the factory's range.
#include <gtest/gtest.h>

#include "../core/diag_capture.h"
#include "provider_fixture.h"
#include "providers/qai_assistant_x.h"
#include "transport/qai_response.h"

using namespace qai_test;

TEST(Anthropic, MaxTokensDefaultAssignedConvertedAndLeftOutOfCopies) {
    qai::test::TestServer server;
    server.reply("POST", "/v1/messages", 200, R"({"content":[]})");
    HostMemory memory;
    AssistantPtr assistant = createAssistant(QAIAssistantType_ANTHROPIC, server.url(), "k", &memory);
    std::vector<std::pair<std::string, std::string>> descriptions;
    CMVariant initial;
    assistant->updateProperties([&](IQAIProperties* properties) {
        descriptions = properties->obtainPropertyDescriptions();
        initial = properties->obtainProperty("max_tokens");
    });
    ASSERT_EQ(descriptions.size(), 9u);
    EXPECT_EQ(descriptions.back(), (std::pair<std::string, std::string>("max_tokens", "integer")));
    EXPECT_EQ(initial, CMVariant(int32_t{1024}));

    auto sentBody = [&](const CMVariant& maxTokens) {
        configure(assistant.get(), {{"model", CMVariant("m")}, {"max_tokens", maxTokens}});
        memory.records.clear();
        EXPECT_EQ(send(assistant.get(), "t").error, "");
        return server.lastRequest().body;
    };
    auto body = [](int maxTokens) {
        return R"({"model":"m","max_tokens":)" + std::to_string(maxTokens) +
               R"(,"messages":[{"role":"user","content":"t"}]})";
    };
    EXPECT_EQ(sentBody(CMVariant(int32_t{4096})), body(4096));
    DiagCapture diagnostics;  // a Double is reported, yet taken as its integer
    EXPECT_EQ(sentBody(CMVariant(2048.9)), body(2048));
    EXPECT_EQ(diagnostics.take(),
              std::vector<std::string>{"value.getValueType() == CMVariant::ValueType::Int"});

    std::unique_ptr<IQAIProperties, FreeObject> copy(assistant->obtainProperties());
    EXPECT_TRUE(copy->obtainProperty("max_tokens").isNull());
    EXPECT_EQ(copy->obtainPropertyDescriptions().size(), 8u);
    EXPECT_FALSE(copy->setProperty("max_tokens", CMVariant(int32_t{1})));
    EXPECT_TRUE(copy->setProperty("model", CMVariant("copy")));  // the copy is not the live store
    EXPECT_EQ(readProperty(assistant.get(), "model").stringValue(), "m");
}

TEST(ResponseErrorText, ProviderBodyShapes) {
    // Bodies neither reader takes apart come back unchanged from both; the shapes
    // each does take apart are covered per provider in provider_rules_test.
    for (const std::string raw :
         {R"({"error":"plain"})", R"({"error":{"type":"t"}})", R"({"error":{"message":5}})",
          R"({"code":1,"error":"B"})", R"({"error":"B"})", "not json", ""}) {
        CMRestResourceResponse response(500, raw);
        EXPECT_EQ(errorTextFromResponse(&response), raw);
        EXPECT_EQ(errorTextFromResponse_X(&response), raw);
    }
}

TEST(Google, ErrorTextIsNeverTheRawBody) {
    qai::test::TestServer server;
    server.reply("POST", "/v1beta/models/m:generateContent", 500, R"({"error":{"message":3}})");
    AssistantPtr assistant = createAssistant(QAIAssistantType_GOOGLE, server.url(), "k");
    configure(assistant.get(), {{"model", CMVariant("m")}});
    EXPECT_EQ(send(assistant.get(), "t").error, "HTTP 500 Internal Server Error");
}

TEST(AssistantOwnership, MemoryCreatedHandedOutReplacedAndFreed) {
    // Created memory dies with the assistant (ASan reports a leak otherwise)...
    createAssistant(QAIAssistantType_OPENAI, "").reset();
    // ...unless handed out: then it outlives the assistant and is the host's to free.
    AssistantPtr assistant = createAssistant(QAIAssistantType_OPENAI, "");
    IQAIAssistantMemory* taken = assistant->obtainMemory();
    ASSERT_NE(taken, nullptr);
    assistant.reset();
    taken->addMessage(0, "still alive");
    EXPECT_EQ(taken->obtainMessages(20).size(), 1u);
    QAIFreeObject(taken);

    // setMemory destroys an owned memory, never a host's; null and the same memory change nothing.
    int destroyed = 0;
    auto* first = new HostMemory(&destroyed);
    auto* second = new HostMemory(&destroyed);
    first->summary = R"([{"catalog_name":"c","schemas":[]}])";
    assistant = createAssistant(QAIAssistantType_ANTHROPIC, "");
    assistant->setMemory(second);
    const std::string before = readProperty(assistant.get(), "combined_instructions").stringValue();
    assistant->setMemory(first);
    assistant->setMemory(first);
    assistant->setMemory(nullptr);
    EXPECT_EQ(assistant->obtainMemory(), first);
    // The store reads the database description from the memory now in use.
    EXPECT_NE(readProperty(assistant.get(), "combined_instructions").stringValue(), before);
    assistant.reset();
    EXPECT_EQ(destroyed, 0);
    delete first;
    delete second;
}

TEST(AssistantFactory, TypesOutsideTheTableCreateNothing) {
    for (int type : {8, -1, 1000}) {
        ICSHTTPPoolCenter* pool = cfCreateHTTPPoolCenter();
        EXPECT_EQ(QAICreateAssistant(static_cast<QAIAssistantType>(type), pool, "k", "", nullptr), nullptr);
        delete pool;  // not taken over on a null result
    }
}

TEST(PropertyKeys, TheHeadersConstantsAreTheStoresKeys) {
    // A constant that drifted from the store's spelling would compile and then
    // be refused at run time; the Anthropic store describes every key there is.
    AssistantPtr assistant = createAssistant(QAIAssistantType_ANTHROPIC, "");
    std::vector<std::string> described;
    assistant->updateProperties([&](IQAIProperties* properties) {
        for (const auto& [key, type] : properties->obtainPropertyDescriptions()) described.push_back(key);
    });
    EXPECT_EQ(described, (std::vector<std::string>{
                             QAIPropertyKey_ApiHost, QAIPropertyKey_Model, QAIPropertyKey_UseTemperature,
                             QAIPropertyKey_Temperature, QAIPropertyKey_UserInstructions,
                             QAIPropertyKey_SystemInstructions, QAIPropertyKey_DBStructure,
                             QAIPropertyKey_CombinedInstructions, QAIPropertyKey_MaxTokens}));
}
