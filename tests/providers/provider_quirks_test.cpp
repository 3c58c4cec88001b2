// What only some assistants do: Anthropic's max_tokens; and the base's memory
// ownership and the factory's range.
#include <gtest/gtest.h>

#include "core/qai_diagnostics.h"
#include "providers.h"

using namespace qai::test;

TEST(Anthropic, MaxTokensDefaultAssignedConvertedAndLeftOutOfCopies) {
    TestServer server;
    server.reply("POST", "/v1/messages", 200, R"({"content":[]})");
    HostMemory memory;
    AssistantPtr assistant = createAssistant(QAIAssistantType_ANTHROPIC, server.url(), "k", &memory);
    std::vector<std::pair<std::string, std::string>> descriptions;
    CMVariant initial;
    assistant->updateProperties([&](IQAIProperties* properties) {
        descriptions = properties->obtainPropertyDescriptions();
        initial = properties->obtainProperty("max_tokens");
    });
    // The store describes every key there is, each spelt as the header's constant.
    std::vector<std::string> keys;
    for (const auto& [key, type] : descriptions) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{
                        QAIPropertyKey_ApiHost, QAIPropertyKey_Model, QAIPropertyKey_UseTemperature,
                        QAIPropertyKey_Temperature, QAIPropertyKey_UserInstructions,
                        QAIPropertyKey_SystemInstructions, QAIPropertyKey_DBStructure,
                        QAIPropertyKey_CombinedInstructions, QAIPropertyKey_MaxTokens}));
    EXPECT_EQ(descriptions.back().second, "integer");
    EXPECT_EQ(initial, CMVariant(int32_t{1024}));

    const auto sentMaxTokens = [&](const CMVariant& maxTokens) {
        configure(assistant.get(), {{"model", CMVariant("m")}, {"max_tokens", maxTokens}});
        memory.records.clear();
        EXPECT_EQ(run(assistant.get(), Call::Message).error, "");
        return server.lastRequest().body;
    };
    EXPECT_EQ(sentMaxTokens(CMVariant(int32_t{4096})),
              R"({"model":"m","max_tokens":4096,"messages":[{"role":"user","content":"hi"}]})");
    // A Double is reported, yet taken as its integer.
    std::vector<std::string> reported;
    qai::diag::setListener(
        [](const char* condition, const char*, void* user) {
            static_cast<std::vector<std::string>*>(user)->emplace_back(condition);
        },
        &reported);
    EXPECT_EQ(sentMaxTokens(CMVariant(2048.9)),
              R"({"model":"m","max_tokens":2048,"messages":[{"role":"user","content":"hi"}]})");
    qai::diag::setListener(nullptr, nullptr);
    EXPECT_EQ(reported, std::vector<std::string>{"value.getValueType() == CMVariant::ValueType::Int"});

    std::unique_ptr<IQAIProperties, FreeObject> copy(assistant->obtainProperties());
    EXPECT_TRUE(copy->obtainProperty("max_tokens").isNull());
    EXPECT_EQ(copy->obtainPropertyDescriptions().size(), 8u);
    EXPECT_FALSE(copy->setProperty("max_tokens", CMVariant(int32_t{1})));
    EXPECT_TRUE(copy->setProperty("model", CMVariant("copy")));  // the copy is not the live store
    EXPECT_EQ(readProperty(assistant.get(), "model").stringValue(), "m");
}

TEST(AssistantOwnership, MemoryCreatedHandedOutReplacedAndFreed) {
    // Created memory dies with the assistant (LeakSanitizer reports it otherwise)...
    createAssistant(QAIAssistantType_OPENAI, "").reset();
    // ...unless handed out: then it outlives the assistant and is the host's to free.
    AssistantPtr assistant = createAssistant(QAIAssistantType_OPENAI, "");
    IQAIAssistantMemory* taken = assistant->obtainMemory();
    ASSERT_NE(taken, nullptr);
    assistant.reset();
    taken->addMessage(0, "still alive");
    EXPECT_EQ(taken->obtainMessages(20).size(), 1u);
    QAIFreeObject(taken);

    // setMemory never destroys a host's memory (these live on the stack: deleting either would
    // abort the program); null and the same memory change nothing.
    HostMemory first, second;
    first.summary = R"([{"catalog_name":"c","schemas":[]}])";
    assistant = createAssistant(QAIAssistantType_ANTHROPIC, "");
    assistant->setMemory(&second);
    const std::string before = readProperty(assistant.get(), "combined_instructions").stringValue();
    assistant->setMemory(&first);
    assistant->setMemory(&first);
    assistant->setMemory(nullptr);
    EXPECT_EQ(assistant->obtainMemory(), &first);
    // The store reads the database description from the memory now in use.
    EXPECT_NE(readProperty(assistant.get(), "combined_instructions").stringValue(), before);
    assistant.reset();
}

TEST(AssistantFactory, TypesOutsideTheTableCreateNothing) {
    for (int type : {8, -1, 1000}) {
        ICSHTTPPoolCenter* pool = cfCreateHTTPPoolCenter();
        EXPECT_EQ(QAICreateAssistant(static_cast<QAIAssistantType>(type), pool, "k", "", nullptr), nullptr);
        delete pool;  // not taken over on a null result
    }
}
