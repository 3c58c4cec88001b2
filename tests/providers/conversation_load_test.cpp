// A long conversation rides one kept-alive connection.
#include <gtest/gtest.h>

#include "provider_fixture.h"

using namespace qai_test;

namespace {

TEST(ConversationLoad, AThousandMessagesHoldOneConnection) {
    qai::test::TestServer server;
    server.reply("POST", "/v1/chat/completions", 200,
                 R"({"choices":[{"message":{"role":"assistant","content":"ok"}}]})");
    HostMemory memory;
    AssistantPtr assistant = createAssistant(QAIAssistantType_OPENAI, server.url(), "k", &memory);
    configure(assistant.get(), {{"model", CMVariant("m")}});
    size_t failures = 0;
    for (int i = 0; i < 1000; ++i) {
        memory.records.clear();  // keeps each body small: the connection is what is tested
        failures += send(assistant.get(), "hi").error.empty() ? 0 : 1;
    }
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(server.connectionCount(), 1u);
    assistant.reset();
}

}  // namespace
