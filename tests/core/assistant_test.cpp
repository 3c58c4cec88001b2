// The assistant as a host drives it: what outlives what.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/qai_memory.h"
#include "qai.h"

namespace {

struct FreeObject {
    void operator()(IQAIObject* object) const { QAIFreeObject(object); }
};
using AssistantPtr = std::unique_ptr<IQAIAssistant, FreeObject>;
using PropertiesPtr = std::unique_ptr<IQAIProperties, FreeObject>;

const std::string kStructure = R"([{"schemas":[{"tables":[{"name":"t","fields":[]}]}]}])";

AssistantPtr createAssistant(const std::string& host, IQAIAssistantMemory* memory = nullptr) {
    return AssistantPtr(
        QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "k", host, memory));
}

void setStructure(IQAIAssistant* assistant, const std::string& structure) {
    EXPECT_EQ(assistant->updateProperties([&](IQAIProperties* properties) {
        EXPECT_TRUE(properties->setProperty("db_structure", structure));
    }),
              "");
}

// A copy made by obtainProperties holds the library's own memory weakly: however that memory
// ends, the copy reads (and writes) as if no description were set, and never touches it.
TEST(assistant_test, property_copy_outliving_the_library_memory_reads_no_description) {
    const std::function<void(AssistantPtr&)> endings[] = {
        [](AssistantPtr& assistant) { assistant.reset(); },
        [](AssistantPtr& assistant) {
            static QAIDefaultAssistantMemory other;  // outlives the assistant
            assistant->setMemory(&other);
        },
        [](AssistantPtr& assistant) { QAIFreeObject(assistant->obtainMemory()); }};
    for (const auto& end : endings) {
        AssistantPtr assistant = createAssistant("h");
        setStructure(assistant.get(), kStructure);
        PropertiesPtr copy(assistant->obtainProperties());
        ASSERT_EQ(copy->obtainProperty("combined_instructions"), CMVariant("CREATE TABLE `t` ()\n\n"));
        end(assistant);
        EXPECT_EQ(copy->obtainProperty("db_structure"), CMVariant(CMVariantList{}));
        EXPECT_EQ(copy->obtainProperty("combined_instructions"), CMVariant(""));
        EXPECT_TRUE(copy->setProperty("db_structure", kStructure));
        EXPECT_EQ(copy->obtainProperty("combined_instructions"), CMVariant(""));
    }
}

// A copy keeps the memory it was made with, also when the assistant moves on to another.
TEST(assistant_test, property_copy_keeps_its_memory_after_set_memory) {
    QAIDefaultAssistantMemory first, second;
    AssistantPtr assistant = createAssistant("h", &first);
    setStructure(assistant.get(), kStructure);
    PropertiesPtr copy(assistant->obtainProperties());
    assistant->setMemory(&second);
    setStructure(assistant.get(), "[]");
    EXPECT_EQ(copy->obtainProperty("combined_instructions"), CMVariant("CREATE TABLE `t` ()\n\n"));
    EXPECT_EQ(second.obtainSummary(), "[]");
}

}  // namespace
