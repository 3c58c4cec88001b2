#include "session.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "structure.h"

namespace qai::cli {
namespace {

struct Provider {
    const char* name;
    QAIAssistantType type;
    const char* keyVariable;  ///< null: no key
};

constexpr Provider kProviders[] = {
    {"openai", QAIAssistantType_OPENAI, "OPENAI_API_KEY"},
    {"google", QAIAssistantType_GOOGLE, "GEMINI_API_KEY"},
    {"deepseek", QAIAssistantType_DEEPSEEK, "DEEPSEEK_API_KEY"},
    {"ollama", QAIAssistantType_OLLAMA, nullptr},
    {"xai", QAIAssistantType_X, "XAI_API_KEY"},
    {"anthropic", QAIAssistantType_ANTHROPIC, "ANTHROPIC_API_KEY"},
    {"alibaba", QAIAssistantType_ALIBABA, "DASHSCOPE_API_KEY"},
    {"bytedance", QAIAssistantType_BYTEDANCE, "ARK_API_KEY"},
};

std::string providerList() {
    std::string list;
    for (const Provider& provider : kProviders) list += std::string(list.empty() ? "" : ", ") + provider.name;
    return list;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A key or password kept in a file, without the line end after it; what names the file in errors.
std::string readSecretFile(const std::string& path, const std::string& what, std::string& secret) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read " + what + " " + path;
    std::ostringstream text;
    text << in.rdbuf();
    secret = text.str();
    while (!secret.empty() && std::isspace(static_cast<unsigned char>(secret.back()))) secret.pop_back();
    if (secret.empty()) return what + " " + path + " is empty";
    return "";
}

std::string applyHTTPOptions(const Options& options) {
    CMRestGlobalSettings settings;
    double number = 0;
    if (options.has("--timeout")) {
        if (std::string error = parseNumber(options, "--timeout", 1, 86400, number); !error.empty())
            return error;
        settings.requestTimeoutSeconds = static_cast<long>(number);
    }
    if (options.has("--connect-timeout")) {
        if (std::string error = parseNumber(options, "--connect-timeout", 1, 3600, number); !error.empty())
            return error;
        settings.connectTimeoutSeconds = static_cast<long>(number);
    }
    number = 2;
    if (options.has("--retries"))
        if (std::string error = parseNumber(options, "--retries", 0, 10, number); !error.empty())
            return error;
    settings.maxRetries = static_cast<int>(number);
    settings.proxy = options.value("--proxy");
    settings.caFile = options.value("--ca-file");
    if (options.has("--insecure")) {
        std::fprintf(stderr, "qai: warning: --insecure: the server's TLS certificate is not checked\n");
        settings.verifyTLS = false;
    }
    QAISetHTTPSettings(settings);
    return "";
}

}  // namespace

const std::vector<OptionDefinition> kConnectionOptions = {
    {"--provider"}, {"--host"},    {"--api-key-file"}, {"--timeout"},         {"--connect-timeout"},
    {"--proxy"},    {"--ca-file"}, {"--retries"},      {"--insecure", false},
};

const std::vector<OptionDefinition> kSourceOptions = {{"--tables"}, {"--password-file"}};

const std::vector<OptionDefinition> kInstructionOptions = {{"--schema"}, {"--instructions"},
                                                           {"--system"}, {"--max-prompt-tokens"},
                                                           {"--tables"}, {"--password-file"}};

std::string readSourceOptions(const Options& options, SourceOptions& source) {
    if (options.has("--password-file")) {
        std::string password;
        if (std::string error = readSecretFile(options.value("--password-file"), "password file", password);
            !error.empty())
            return error;
        source.password = password;
    }
    source.tables = options.all("--tables");
    return "";
}

std::string ollamaHost(const std::string& given) {
    std::string host = given.empty() ? environment("OLLAMA_HOST") : given;
    if (host.empty()) return "http://127.0.0.1:11434";
    if (host.find("://") == std::string::npos) host = "http://" + host;
    return host;
}

std::string openSession(const Options& options, IQAIAssistantMemory* memory, Session& session) {
    std::string name = options.value("--provider");
    if (name.empty()) return "no provider given: use --provider NAME (" + providerList() + ")";
    const Provider* provider = nullptr;
    for (const Provider& candidate : kProviders)
        if (name == candidate.name) provider = &candidate;
    if (!provider) return "unknown provider '" + name + "' (one of " + providerList() + ")";

    std::string key;
    if (options.has("--api-key-file")) {
        if (std::string error = readSecretFile(options.value("--api-key-file"), "API key file", key);
            !error.empty())
            return error;
    } else if (provider->keyVariable) {
        key = environment(provider->keyVariable);
        if (key.empty())
            return std::string("no API key for ") + provider->name + ": set " + provider->keyVariable +
                   " or use --api-key-file FILE";
    }
    std::string host = options.value("--host");
    if (provider->type == QAIAssistantType_OLLAMA) host = ollamaHost(host);
    if (std::string error = applyHTTPOptions(options); !error.empty()) return error;

    session.pool = cfCreateHTTPPoolCenter();
    session.assistant = QAICreateAssistant(provider->type, session.pool, key, host, memory);
    if (!session.assistant) return std::string("provider ") + provider->name + " is not available";
    return "";
}

std::string openOfflineSession(IQAIAssistantMemory* memory, Session& session) {
    session.pool = cfCreateHTTPPoolCenter();
    session.assistant = QAICreateAssistant(QAIAssistantType_OPENAI, session.pool, "", "", memory);
    return session.assistant ? "" : "cannot create an assistant";
}

std::string combinedInstructions(IQAIAssistant* assistant) {
    IQAIProperties* copy = assistant->obtainProperties();
    std::string text = copy->obtainProperty(QAIPropertyKey_CombinedInstructions).stringValue();
    QAIFreeObject(copy);
    return text;
}

std::string configureAssistant(const Options& options, IQAIAssistant* assistant) {
    std::string structure, source = options.value("--schema");
    SourceOptions sourceOptions;
    if (std::string error = readSourceOptions(options, sourceOptions); !error.empty()) return error;
    if (source.empty() && options.has("--tables")) return "--tables needs --schema";
    if (!source.empty())
        if (std::string error = loadStructureJson(source, sourceOptions, structure); !error.empty())
            return error;
    CMVariantMap system;
    for (const std::string& entry : options.all("--system")) {
        size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) return "--system needs KEY=TEXT, not '" + entry + "'";
        system[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    double temperature = 0;
    if (options.has("--temperature"))
        if (std::string error = parseNumber(options, "--temperature", 0, 2, temperature); !error.empty())
            return error;

    std::string refused;
    std::string error = assistant->updateProperties([&](IQAIProperties* properties) {
        auto set = [&](const char* key, const CMVariant& value) {
            if (!properties->setProperty(key, value) && refused.empty()) refused = key;
        };
        if (options.has("--model")) set(QAIPropertyKey_Model, options.value("--model"));
        if (options.has("--temperature")) {
            set(QAIPropertyKey_UseTemperature, CMVariant(int32_t{1}));
            set(QAIPropertyKey_Temperature, CMVariant(temperature));
        }
        if (options.has("--instructions"))
            set(QAIPropertyKey_UserInstructions, options.value("--instructions"));
        if (!system.empty()) set(QAIPropertyKey_SystemInstructions, CMVariant(system));
        if (!source.empty()) set(QAIPropertyKey_DBStructure, structure);
    });
    if (refused == QAIPropertyKey_DBStructure)
        return source + " is not a valid database description (not JSON)";
    if (!refused.empty()) return "the value of " + refused + " was refused";
    if (!error.empty()) return error;
    if (!source.empty()) {
        IQAIProperties* copy = assistant->obtainProperties();
        bool empty = copy->obtainProperty(QAIPropertyKey_DBStructure).listRef().empty();
        QAIFreeObject(copy);
        if (empty) return source + " is not a valid database description (expected a list of catalogs)";
    }
    return "";
}

}  // namespace qai::cli
