#include <gtest/gtest.h>

#include <ctime>
#include <memory>

#include "core/qai_memory.h"
#include "core/qai_message.h"

namespace {

TEST(memory_test, records_grow_in_order_and_limit_is_ignored) {
    QAIDefaultAssistantMemory memory;
    EXPECT_TRUE(memory.obtainMessages(20).empty());
    EXPECT_EQ(memory.obtainSummary(), "");
    memory.addMessage(QAIMemoryRole_User, "q1");
    memory.addMessage(QAIMemoryRole_Assistant, "a1");
    memory.addMessage(QAIMemoryRole_User, "q2");
    memory.addMessage(QAIMemoryRole_Assistant, "");
    for (int32_t limit : {20, 1, 0, -1}) {
        const std::vector<QAIMemoryRecord> records = memory.obtainMessages(limit);
        ASSERT_EQ(records.size(), 4u) << limit;
        const int32_t roles[] = {0, 1, 0, 1};
        const char* texts[] = {"q1", "a1", "q2", ""};
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(records[i].role, roles[i]);
            EXPECT_EQ(records[i].text, texts[i]);
        }
    }
    memory.setSummary("[1]");
    memory.setSummary("[2]");
    EXPECT_EQ(memory.obtainSummary(), "[2]");
    EXPECT_EQ(memory.obtainMessages(20).size(), 4u);
}

TEST(memory_test, reply_message_holds_one_text_section) {
    QAIMessage fresh;
    EXPECT_EQ(fresh.obtainRole(), 1);
    EXPECT_EQ(fresh.obtainCreatedTime(), 0);
    EXPECT_TRUE(fresh.obtainSections().empty());

    for (const char* text : {"Hello \xE2\x9C\x93", ""}) {
        const int64_t before = static_cast<int64_t>(std::time(nullptr));
        std::unique_ptr<IQAIObject> owner(qaiCreateTextReply(text));
        auto* message = dynamic_cast<IQAIMessage*>(owner.get());
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->obtainRole(), 1);
        EXPECT_GE(message->obtainCreatedTime(), before);
        EXPECT_LE(message->obtainCreatedTime(), static_cast<int64_t>(std::time(nullptr)));
        ASSERT_EQ(message->obtainSections().size(), 1u);
        IQAIMessageSection* section = message->obtainSections()[0];
        EXPECT_EQ(section->obtainType(), 0);
        EXPECT_EQ(section->obtainText(), text);
    }
}

TEST(memory_test, message_releases_its_sections_and_skips_null) {
    // Leaks or double frees show up in the sanitizer build.
    auto* message = new QAIMessage();
    auto* first = new QAIMessageTextSection();
    first->text.push_back('a');
    message->sections.push_back(first);
    message->sections.push_back(nullptr);
    message->sections.push_back(new QAIMessageTextSection());
    delete static_cast<IQAIObject*>(message);
}

}  // namespace
