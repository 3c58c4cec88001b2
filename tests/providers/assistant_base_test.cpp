// Behaviour of the assistant base and the transport helpers that needs no
// network: ownership, property re-validation, error-body shapes, factory.
#include <gtest/gtest.h>

#include <functional>

#include "chat_providers.h"
#include "provider_fixture.h"
#include "providers/qai_assistant_x.h"
#include "transport/qai_response.h"

using namespace qai_test;

namespace {

class ChatProviderBase : public testing::TestWithParam<ChatProvider> {};

double temperatureAfter(IQAIAssistant* assistant, double value) {
    configure(assistant, {{"temperature", CMVariant(value)}});
    return readProperty(assistant, "temperature").doubleValue();
}

}  // namespace

TEST_P(ChatProviderBase, TemperatureRangeAndHostAfterUpdate) {
    const ChatProvider& p = GetParam();
    AssistantPtr assistant = createAssistant(p.type, "");
    ASSERT_TRUE(assistant);
    EXPECT_EQ(assistant->obtainDefaultHost(), p.defaultHost);
    EXPECT_EQ(readProperty(assistant.get(), "api_host").stringValue(),
              std::string("https://") + p.defaultHost);

    // Expected values per provider for 2.5, 2.0, 1.995, 1.5, 1.0, -0.5.
    std::vector<double> expected;
    if (p.type == QAIAssistantType_X)
        expected = {1.0, 1.0, 1.0, 1.0, 1.0, 0.0};
    else if (p.type == QAIAssistantType_ALIBABA)
        expected = {1.99, 1.99, 1.995, 1.5, 1.0, 0.0};
    else
        expected = {2.0, 2.0, 1.995, 1.5, 1.0, 0.0};
    const double inputs[] = {2.5, 2.0, 1.995, 1.5, 1.0, -0.5};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_DOUBLE_EQ(temperatureAfter(assistant.get(), inputs[i]), expected[i]) << inputs[i];

    // The clamp also catches a value assigned before, on any later edit.
    AssistantPtr other = createAssistant(p.type, "");
    other->updateProperties(
        [](IQAIProperties* properties) { properties->setProperty("temperature", CMVariant(3.0)); });
    EXPECT_DOUBLE_EQ(readProperty(other.get(), "temperature").doubleValue(), expected[0]);
    configure(other.get(), {{"model", CMVariant("m")}});
    EXPECT_DOUBLE_EQ(readProperty(other.get(), "temperature").doubleValue(), expected[0]);

    configure(assistant.get(), {{"api_host", CMVariant("  http://h.example \t")}});
    EXPECT_EQ(readProperty(assistant.get(), "api_host").stringValue(), "http://h.example");

    EXPECT_THROW(assistant->updateProperties(nullptr), std::bad_function_call);
    EXPECT_THROW(assistant->updateProperties(std::function<void(IQAIProperties*)>()), std::bad_function_call);
}

INSTANTIATE_TEST_SUITE_P(Providers, ChatProviderBase, testing::ValuesIn(chatProviders()), providerName);

TEST(AssistantOwnership, MemoryCreatedHandedOutReplacedAndFreed) {
    // Created memory: destroyed with the assistant (ASan reports a leak otherwise).
    createAssistant(QAIAssistantType_OPENAI, "").reset();

    // Handed out: survives the assistant and is the host's to free.
    AssistantPtr assistant = createAssistant(QAIAssistantType_OPENAI, "");
    IQAIAssistantMemory* taken = assistant->obtainMemory();
    ASSERT_NE(taken, nullptr);
    assistant.reset();
    taken->addMessage(0, "still alive");
    EXPECT_EQ(taken->obtainMessages(20).size(), 1u);
    QAIFreeObject(taken);

    // setMemory on an owned memory destroys it; a host memory never is.
    int destroyed = 0;
    auto* first = new HostMemory(&destroyed);
    auto* second = new HostMemory(&destroyed);
    assistant = createAssistant(QAIAssistantType_DEEPSEEK, "");
    assistant->setMemory(first);
    EXPECT_EQ(assistant->obtainMemory(), first);
    assistant->setMemory(first);    // same memory: nothing destroyed
    assistant->setMemory(nullptr);  // refused: the memory in use stays
    EXPECT_EQ(assistant->obtainMemory(), first);
    assistant->setMemory(second);
    EXPECT_EQ(assistant->obtainMemory(), second);
    assistant.reset();
    EXPECT_EQ(destroyed, 0);

    // The store follows the memory: db_structure lives in the memory.
    first->summary = R"([{"catalog_name":"c","schemas":[]}])";
    assistant = createAssistant(QAIAssistantType_X, "", "k", second);
    const std::string before = readProperty(assistant.get(), "combined_instructions").stringValue();
    assistant->setMemory(first);
    EXPECT_NE(readProperty(assistant.get(), "combined_instructions").stringValue(), before);
    assistant.reset();
    delete first;
    delete second;
    EXPECT_EQ(destroyed, 2);
}

TEST(AssistantOwnership, PropertyCopyIsIndependent) {
    AssistantPtr assistant = createAssistant(QAIAssistantType_ALIBABA, "");
    configure(assistant.get(), {{"model", CMVariant("live")}});
    std::unique_ptr<IQAIProperties, FreeObject> copy(assistant->obtainProperties());
    EXPECT_TRUE(copy->setProperty("model", CMVariant("copy")));
    EXPECT_EQ(readProperty(assistant.get(), "model").stringValue(), "live");
}

TEST(AssistantFactory, TypesOutsideTheTableCreateNothing) {
    for (int type : {8, -1, 1000}) {
        ICSHTTPPoolCenter* pool = cfCreateHTTPPoolCenter();
        EXPECT_EQ(QAICreateAssistant(static_cast<QAIAssistantType>(type), pool, "k", "", nullptr), nullptr);
        delete pool;  // not taken over on a null result
    }
}

TEST(ResponseErrorText, ProviderBodyShapes) {
    struct Row {
        std::string body;
        std::string standard;  // errorTextFromResponse
        std::string x;         // errorTextFromResponse_X
    };
    const std::string errorString = R"({"error":"plain"})";
    const std::string noMessage = R"({"error":{"type":"t"}})";
    const std::string numberMessage = R"({"error":{"message":5}})";
    const std::string codeMissing = R"({"error":"B"})";
    const std::string codeNumber = R"({"code":1,"error":"B"})";
    const Row rows[] = {
        {R"({"error":{"message":"quota"}})", "quota", R"({"error":{"message":"quota"}})"},
        {errorString, errorString, errorString},
        {noMessage, noMessage, noMessage},
        {numberMessage, numberMessage, numberMessage},
        {R"({"code":"A","error":"B"})", R"({"code":"A","error":"B"})", "A\nB"},
        {codeMissing, codeMissing, codeMissing},
        {codeNumber, codeNumber, codeNumber},
        {"not json", "not json", "not json"},
        {"", "", ""},
    };
    for (const Row& row : rows) {
        CMRestResourceResponse response(500, row.body);
        EXPECT_EQ(errorTextFromResponse(&response), row.standard) << row.body;
        EXPECT_EQ(errorTextFromResponse_X(&response), row.x) << row.body;
    }
}

TEST(ResponseErrorText, OwnTextsAreLocalizedThenSuffixed) {
    EXPECT_EQ(qaiComposeError(kQAIModelIsEmpty, ": p/v1/chat/completions"),
              "Model is empty: p/v1/chat/completions");
    {
        ScopedTranslations translations({{"Invalid response", "Antwort ungültig"}});
        EXPECT_EQ(qaiComposeError(kQAIInvalidResponse, ": g/models"), "Antwort ungültig: g/models");
        EXPECT_EQ(qaiComposeError(kQAIUnsupportedDataFormat, ": g/models"),
                  "Unsupported data format: g/models");
    }
    EXPECT_EQ(qaiComposeError(kQAIInvalidResponse, ""), "Invalid response");
}
