// The library boundary: releasing objects, the localization callback and its
// record, the HTTP settings copy and the export table.
#include <gtest/gtest.h>

#include <cstdint>
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

#if defined(_WIN32)
/// Names in the export directory of a PE32+ DLL, read straight from the file.
std::set<std::string> exportedNames(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return {};
    std::string image;
    char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) image.append(chunk, n);
    std::fclose(file);
    // Reads past the end give 0, so a damaged file yields no names, not a crash.
    auto read = [&image](size_t at, auto value) {
        if (at + sizeof value <= image.size()) std::memcpy(&value, image.data() + at, sizeof value);
        return value;
    };
    auto u16 = [&read](size_t at) { return read(at, uint16_t{0}); };
    auto u32 = [&read](size_t at) { return read(at, uint32_t{0}); };
    const uint32_t pe = u32(0x3C);
    const size_t optional = pe + 24;
    const uint16_t sections = u16(pe + 6);
    const size_t sectionTable = optional + u16(pe + 20);
    auto offsetOf = [&](uint32_t rva) -> size_t {
        for (uint16_t i = 0; i < sections; ++i) {
            const size_t header = sectionTable + i * 40u;
            const uint32_t start = u32(header + 12), size = u32(header + 8);
            if (rva >= start && rva < start + size) return rva - start + u32(header + 20);
        }
        return 0;
    };
    // PE32+: the export directory is the first data directory, at offset 112.
    const size_t directory = offsetOf(u32(optional + 112));
    std::set<std::string> names;
    const uint32_t count = u32(directory + 24);
    const size_t nameTable = offsetOf(u32(directory + 32));
    for (uint32_t i = 0; i < count && directory != 0; ++i) {
        const size_t name = offsetOf(u32(nameTable + 4 * i));
        if (name != 0 && name < image.size()) names.insert(image.c_str() + name);
    }
    return names;
}
#else
/// Defined dynamic symbols of an ELF shared library, as nm lists them.
std::set<std::string> exportedNames(const char* path) {
    std::string command = std::string("nm -D --defined-only '") + path + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> exported;
    char line[4096];
    while (pipe && std::fgets(line, sizeof line, pipe.get())) {
        std::string row(line);
        while (!row.empty() && (row.back() == '\n' || row.back() == '\r')) row.pop_back();
        auto space = row.rfind(' ');
        if (space == std::string::npos || space == 0) continue;
        // Version-script nodes appear as absolute symbols; they are not code.
        if (row[space - 1] == 'A') continue;
        exported.insert(row.substr(space + 1));
    }
    return exported;
}
#endif

TEST(ExportTable, HoldsExactlyTheSixHostFunctions) {
    const std::set<std::string> exported = exportedNames(QAI_SHARED_LIBRARY);
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
