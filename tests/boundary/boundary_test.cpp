// The library boundary: the localization callback and its record, and
// releasing objects. The export table is checked by exports.cmake with the
// toolchain's own tools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "boundary/qai_library.h"
#include "qai.h"

namespace {

std::string gAnswer, gSeen;  // what the callback writes into the buffer, and what it was asked

void answering(const char* key, void* data) {
    auto* info = static_cast<QAICallbackLocalizationInfo*>(data);
    const bool zeroed = std::string(info->localized, sizeof info->localized) == std::string(1024, '\0');
    gSeen += std::string(key) + ":" + info->text + (zeroed ? "|" : " (buffer not zeroed)|");
    std::memcpy(info->localized, gAnswer.data(), std::min(gAnswer.size(), sizeof info->localized));
}

TEST(Localization, TheCallbackAnswersIntoAZeroedBufferReadWithinItsSize) {
    QAIRegisterCallback(answering);
    // Text, the callback's answer, the text the library uses: no answer keeps the text; an answer
    // filling all 1024 bytes without a zero is read within the buffer.
    const std::string full(1024, 'x');
    // clang-format off
    const std::string rows[][3] = {{"Model is empty", "Modell fehlt", "Modell fehlt"}, {"", "unasked", ""},
        {"Model is empty", "", "Model is empty"}, {"Invalid response", full + "y", full}};
    // clang-format on
    for (const auto& [text, answer, expected] : rows) {
        gAnswer = answer;
        EXPECT_EQ(localizeText(text), expected) << text;
    }
    EXPECT_EQ(gSeen,
              "QAILocalizeString:Model is empty|QAILocalizeString:Model is empty|"
              "QAILocalizeString:Invalid response|");
    QAIRegisterCallback(nullptr);  // localization off
    EXPECT_EQ(localizeText("Model is empty"), "Model is empty");
}

TEST(CallbackRecord, AssignmentsCopyAllBytesAndLeaveTheSource) {
    QAICallbackLocalizationInfo source, copied{}, moved{};
    source.text = "key";
    for (size_t i = 0; i < sizeof source.localized; ++i) source.localized[i] = static_cast<char>(i % 251 + 1);
    source.localized[3] = 0;  // the bytes after the first zero are copied too
    EXPECT_EQ(&(copied = source), &copied);
    EXPECT_EQ(&(moved = std::move(source)), &moved);
    for (const QAICallbackLocalizationInfo* target : {&copied, &moved})  // and the source unchanged
        EXPECT_TRUE(target->text == source.text && !std::memcmp(target->localized, source.localized, 1024));
}

bool gDestroyed = false;

TEST(Release, FreeObjectIgnoresNullAndDestroysThroughTheInterface) {
    struct Probe : IQAIObject {
        ~Probe() override { gDestroyed = true; }
    };
    QAIFreeObject(nullptr);
    QAIFreeObject(new Probe);
    EXPECT_TRUE(gDestroyed);
}

}  // namespace
