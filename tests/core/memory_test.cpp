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
    for (int32_t limit : {20, 1, 0, -1}) {
        const std::vector<QAIMemoryRecord> records = memory.obtainMessages(limit);
        ASSERT_EQ(records.size(), 4u) << limit;
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(std::make_pair(records[i].role, records[i].text), added[i]);
    }
}

TEST(memory_test, text_reply_is_a_stamped_assistant_message_with_one_section) {
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    std::unique_ptr<IQAIObject> owner(qaiCreateTextReply("Hello \xE2\x9C\x93"));
    auto* message = dynamic_cast<IQAIMessage*>(owner.get());
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->obtainRole(), QAIMemoryRole_Assistant);
    EXPECT_GE(message->obtainCreatedTime(), before);
    ASSERT_EQ(message->obtainSections().size(), 1u);
    EXPECT_EQ(message->obtainSections()[0]->obtainType(), 0);
    EXPECT_EQ(message->obtainSections()[0]->obtainText(), "Hello \xE2\x9C\x93");
}

TEST(memory_test, message_releases_its_sections_and_skips_null) {
    // Leaks or double frees show up in the sanitizer build.
    auto* message = new QAIMessage();
    message->sections = {new QAIMessageTextSection(), nullptr, new QAIMessageTextSection()};
    delete static_cast<IQAIObject*>(message);
}

}  // namespace
