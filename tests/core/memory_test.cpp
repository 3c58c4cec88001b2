#include <gtest/gtest.h>

#include <ctime>
#include <memory>

#include "core/qai_memory.h"
#include "core/qai_message.h"

namespace {

TEST(memory_test, records_keep_their_order_whatever_the_limit) {
    QAIDefaultAssistantMemory memory;
    const std::pair<int32_t, std::string> added[] = {{0, "q1"}, {1, "a1"}, {0, "q2"}, {1, ""}};
    for (const auto& [role, text] : added) memory.addMessage(role, text);
    const std::vector<QAIMemoryRecord> records = memory.obtainMessages(1);
    ASSERT_EQ(records.size(), 4u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(std::make_pair(records[i].role, records[i].text), added[i]);
}

TEST(memory_test, message_owns_its_sections) {
    // A text reply: stamped, one text section. Leaks or double frees of the
    // sections, null ones included, show up in the sanitizer build.
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    std::unique_ptr<QAIMessage> reply(qaiCreateTextReply("Hello"));
    EXPECT_GE(reply->obtainCreatedTime(), before);
    ASSERT_EQ(reply->sections.size(), 1u);
    EXPECT_EQ(reply->sections[0]->obtainText(), "Hello");
    auto* message = new QAIMessage();
    message->sections = {new QAIMessageTextSection(), nullptr, new QAIMessageTextSection()};
    delete static_cast<IQAIObject*>(message);
}

}  // namespace
