// The library boundary: releasing objects, the localization callback and its
// record, the HTTP settings copy and the export table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "boundary/qai_library.h"
#include "qai.h"

namespace {

struct CallbackLog {
    std::vector<std::string> keys;
    std::vector<std::string> texts;
    bool bufferWasZero = true;
    std::string answer;  // written into localized when not empty
    bool fillWithoutZero = false;
};
CallbackLog* gLog = nullptr;

void recordingCallback(const char* key, void* data) {
    auto* info = static_cast<QAICallbackLocalizationInfo*>(data);
    gLog->keys.emplace_back(key);
    gLog->texts.emplace_back(info->text);
    for (char c : info->localized) gLog->bufferWasZero = gLog->bufferWasZero && c == 0;
    if (gLog->fillWithoutZero) {
        std::memset(info->localized, 'x', sizeof info->localized);
    } else if (!gLog->answer.empty()) {
        std::snprintf(info->localized, sizeof info->localized, "%s", gLog->answer.c_str());
    }
}

void otherCallback(const char*, void* data) {
    std::snprintf(static_cast<QAICallbackLocalizationInfo*>(data)->localized, 1024, "other");
}

class Localization : public ::testing::Test {
protected:
    void SetUp() override { gLog = &log; }
    void TearDown() override {
        QAIRegisterCallback(nullptr);
        gLog = nullptr;
    }
    CallbackLog log;
};

TEST_F(Localization, KeyRecordAndAnswer) {
    EXPECT_EQ(localizeText("Unsupported data format"), "Unsupported data format");  // no callback
    QAIRegisterCallback(recordingCallback);
    EXPECT_EQ(localizeText("Invalid response"), "Invalid response");  // no answer keeps the key
    log.answer = "Modell fehlt";
    EXPECT_EQ(localizeText("Model is empty"), "Modell fehlt");
    EXPECT_EQ(localizeText(""), "");  // never reaches the callback
    log.answer.clear();
    // Each call gets a freshly zeroed buffer, whatever the previous answer was.
    EXPECT_EQ(localizeText("Model is empty"), "Model is empty");
    EXPECT_EQ(log.keys, std::vector<std::string>(3, "QAILocalizeString"));
    EXPECT_EQ(log.texts, (std::vector<std::string>{"Invalid response", "Model is empty", "Model is empty"}));
    EXPECT_TRUE(log.bufferWasZero);
    // An answer filling all 1024 bytes is read within the buffer (ASan checks).
    log.fillWithoutZero = true;
    EXPECT_EQ(localizeText("Model is empty"), std::string(1024, 'x'));
}

TEST_F(Localization, CallbackReplacedAndSwitchedOff) {
    QAIRegisterCallback(recordingCallback);
    QAIRegisterCallback(otherCallback);
    EXPECT_EQ(localizeText("Invalid response"), "other");
    EXPECT_TRUE(log.keys.empty());
    QAIRegisterCallback(nullptr);
    EXPECT_EQ(localizeText("Invalid response"), "Invalid response");
}

TEST(CallbackRecord, AssignmentsCopyTheWholeBufferAndLeaveTheSource) {
    QAICallbackLocalizationInfo source;
    const char* text = "key";
    source.text = text;
    for (size_t i = 0; i < sizeof source.localized; ++i) source.localized[i] = static_cast<char>(i % 251 + 1);
    source.localized[3] = 0;  // bytes after the first zero must be copied too
    const std::string before(source.localized, sizeof source.localized);
    for (bool move : {false, true}) {
        QAICallbackLocalizationInfo target{};
        QAICallbackLocalizationInfo& result = move ? (target = std::move(source)) : (target = source);
        EXPECT_EQ(&result, &target);
        EXPECT_EQ(target.text, text);
        EXPECT_EQ(std::string(target.localized, sizeof target.localized), before);
        EXPECT_EQ(std::string(source.localized, sizeof source.localized), before);
    }
}

TEST(Release, FreeObjectIgnoresNullAndDestroysThroughTheInterface) {
    QAIFreeObject(nullptr);
    struct Probe : IQAIObject {
        explicit Probe(bool* flag) : destroyed(flag) {}
        ~Probe() override { *destroyed = true; }
        bool* destroyed;
    };
    bool destroyed = false;
    QAIFreeObject(new Probe(&destroyed));
    EXPECT_TRUE(destroyed);
}

TEST(HTTPSettings, LastCopyWins) {
    CMRestGlobalSettings settings;
    settings.connectTimeoutSeconds = 7;
    settings.proxy = "http://proxy.invalid:3128";
    QAISetHTTPSettings(settings);
    settings.connectTimeoutSeconds = 9;  // the library holds its own copy
    EXPECT_EQ(qai::obtainHTTPSettings().connectTimeoutSeconds, 7);
    EXPECT_EQ(qai::obtainHTTPSettings().proxy, "http://proxy.invalid:3128");
    QAISetHTTPSettings(CMRestGlobalSettings{});
    EXPECT_EQ(qai::obtainHTTPSettings().connectTimeoutSeconds, 30);
}

TEST(ExportTable, HoldsExactlyTheSixHostFunctions) {
    std::string command = std::string("nm -D --defined-only '") + QAI_SHARED_LIBRARY + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::set<std::string> exported;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe.get())) {
        std::string row(line);
        while (!row.empty() && (row.back() == '\n' || row.back() == '\r')) row.pop_back();
        auto space = row.rfind(' ');
        ASSERT_NE(space, std::string::npos) << row;
        char kind = row.size() > 2 ? row[space - 1] : '?';
        std::string name = row.substr(space + 1);
        // Version-script nodes appear as absolute symbols; they are not code.
        if (kind == 'A') continue;
        exported.insert(name);
    }
    const std::set<std::string> expected = {
        "_Z13QAIFreeObjectP10IQAIObject",
        "_Z19QAIRegisterCallbackPFvPKcPvE",
        "_Z18QAISetHTTPSettingsRK20CMRestGlobalSettings",
        "_ZN27QAICallbackLocalizationInfoaSERKS_",
        "_ZN27QAICallbackLocalizationInfoaSEOS_",
        "_Z18QAICreateAssistant16QAIAssistantTypeP17ICSHTTPPoolCenterRKNSt7__cxx1112basic_stringIcSt11char_"
        "traitsIcESaIcEEES9_P19IQAIAssistantMemory",
    };
    EXPECT_EQ(exported, expected);
}

}  // namespace
