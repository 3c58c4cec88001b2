// Example host program: uses only qai.h and qai::qai, as a desktop host does.
//
//   qai_demo                         creates an assistant of every type and
//                                    shows its default host, its properties
//                                    and the instructions it would send for
//                                    a sample database
//   qai_demo TYPE HOST KEY MODEL TEXT...
//                                    sends one message (TYPE: openai, google,
//                                    deepseek, ollama, x, anthropic, alibaba,
//                                    bytedance; "-" for the default HOST)
//   qai_demo TYPE HOST KEY models    lists the provider's models
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "qai.h"

namespace {

constexpr const char* kTypeNames[] = {"openai", "google",    "deepseek", "ollama",
                                      "x",      "anthropic", "alibaba",  "bytedance"};

constexpr const char* kSampleStructure = R"json([
  {"catalog_name": "main", "schemas": [{"schema_name": "shop", "tables": [
    {"name": "customers", "fields": [{"name": "id", "type": "int"}, {"name": "email", "type": "varchar(255)"}],
     "pkeys": ["id"]},
    {"name": "orders", "fields": [{"name": "id", "type": "int"}, {"name": "customer_id", "type": "int"},
                                  {"name": "total", "type": "decimal(10,2)"}],
     "pkeys": ["id"],
     "fkeys": [{"fields": ["customer_id"], "ref_schema": "shop", "ref_table": "customers", "ref_fields": ["id"]}]}
  ]}]}
])json";

int typeFromName(std::string_view name) {
    for (int i = 0; i < 8; ++i)
        if (name == kTypeNames[i]) return i;
    return -1;
}

int showcase() {
    for (int type = 0; type < 8; ++type) {
        IQAIAssistant* assistant = QAICreateAssistant(static_cast<QAIAssistantType>(type),
                                                      cfCreateHTTPPoolCenter(), "", "", nullptr);
        if (!assistant) {
            std::printf("%-10s (not available)\n", kTypeNames[type]);
            continue;
        }
        IQAIProperties* copy = assistant->obtainProperties();
        std::printf("%-10s default host %-34s api_host %s\n", kTypeNames[type],
                    assistant->obtainDefaultHost().c_str(),
                    copy->obtainProperty(QAIPropertyKey_ApiHost).stringValue().c_str());
        QAIFreeObject(copy);
        QAIFreeObject(assistant);
    }

    IQAIAssistant* assistant =
        QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "", "", nullptr);
    if (!assistant) return 1;
    assistant->updateProperties([](IQAIProperties* properties) {
        properties->setProperty(QAIPropertyKey_UserInstructions, "Answer in English.");
        properties->setProperty(QAIPropertyKey_SystemInstructions, CMVariantMap{{"a", "You write SQL."}});
        properties->setProperty(QAIPropertyKey_DBStructure, kSampleStructure);
    });
    IQAIProperties* copy = assistant->obtainProperties();
    std::printf("\nProperties:\n");
    for (const auto& [key, description] : copy->obtainPropertyDescriptions())
        std::printf("  %-22s %.60s%s\n", key.c_str(), description.c_str(),
                    description.size() > 60 ? "..." : "");
    std::printf("\nInstructions sent with every message:\n%s",
                copy->obtainProperty(QAIPropertyKey_CombinedInstructions).stringValue().c_str());
    QAIFreeObject(copy);
    QAIFreeObject(assistant);
    return 0;
}

int talk(int argc, char** argv) {
    int type = typeFromName(argv[1]);
    if (type < 0) {
        std::fprintf(stderr, "unknown assistant type: %s\n", argv[1]);
        return 2;
    }
    std::string host = std::strcmp(argv[2], "-") == 0 ? "" : argv[2];
    IQAIAssistant* assistant = QAICreateAssistant(static_cast<QAIAssistantType>(type),
                                                  cfCreateHTTPPoolCenter(), argv[3], host, nullptr);
    if (!assistant) {
        std::fprintf(stderr, "assistant type %s is not available\n", argv[1]);
        return 1;
    }
    int status = 0;
    if (argc == 5 && std::strcmp(argv[4], "models") == 0) {
        auto [models, error] = assistant->obtainAvailableModels();
        if (!error.empty()) {
            std::fprintf(stderr, "error: %s\n", error.c_str());
            status = 1;
        }
        for (const auto& model : models) std::printf("%s\n", model.c_str());
    } else if (argc >= 6) {
        std::string text;
        for (int i = 5; i < argc; ++i) {
            if (i > 5) text += ' ';
            text += argv[i];
        }
        std::string model = argv[4];
        assistant->updateProperties(
            [&](IQAIProperties* properties) { properties->setProperty(QAIPropertyKey_Model, model); });
        auto [message, error] = assistant->addMessage(text);
        if (!message) {
            std::fprintf(stderr, "error: %s\n", error.c_str());
            status = 1;
        } else {
            for (IQAIMessageSection* section : message->obtainSections()) {
                std::string_view reply = section->obtainText();
                std::printf("%.*s\n", static_cast<int>(reply.size()), reply.data());
            }
            QAIFreeObject(message);
        }
    } else {
        std::fprintf(stderr, "usage: qai_demo [TYPE HOST KEY (models | MODEL TEXT...)]\n");
        status = 2;
    }
    QAIFreeObject(assistant);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return showcase();
    if (argc < 5) {
        std::fprintf(stderr, "usage: qai_demo [TYPE HOST KEY (models | MODEL TEXT...)]\n");
        return 2;
    }
    return talk(argc, argv);
}
