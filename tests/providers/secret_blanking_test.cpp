// Every text the library words itself loses every secret it knows: the key in
// each form a provider sends it, the user information of the API host and the
// proxy's credentials. Texts taken from a provider's error body pass as sent.
#include <gtest/gtest.h>

#include <string>

#include "provider_fixture.h"
#include "transport/qai_library_state.h"

using namespace qai_test;
using qai::test::TestServer;

namespace {

const std::string kKey = "sk-live-0123456789";
const std::string kHostPassword = "host-pass-0123";
const std::string kProxyPassword = "proxy-pass-0123";

struct Provider {
    const char* name;
    QAIAssistantType type;
    const char* chatPath;
    bool takesKey;
};
const Provider kProviders[] = {
    {"OpenAI", QAIAssistantType_OPENAI, "/v1/chat/completions", true},
    {"Anthropic", QAIAssistantType_ANTHROPIC, "/v1/messages", true},
    {"Google", QAIAssistantType_GOOGLE, "/v1beta/models/m:generateContent", true},
    {"Ollama", QAIAssistantType_OLLAMA, "/api/chat", false},
};

// A translation that quotes every secret, as a careless host's might.
void echoSecrets(const char*, void* data) {
    auto* info = static_cast<QAICallbackLocalizationInfo*>(data);
    const std::string text = "[" + kKey + "|" + kHostPassword + "|" + kProxyPassword + "]";
    text.copy(info->localized, sizeof info->localized - 1);
}

/// Restores the library-wide settings and callback when a test ends.
struct LibraryState {
    ~LibraryState() {
        QAISetHTTPSettings(CMRestGlobalSettings{});
        QAIRegisterCallback(nullptr);
    }
};

/// Ollama takes no key: for it the key's text is no secret.
void expectNoSecret(const std::string& text, bool takesKey) {
    for (const std::string& secret : {kKey, kHostPassword, kProxyPassword})
        if (takesKey || secret != kKey) {
            EXPECT_EQ(text.find(secret), std::string::npos) << text;
        }
}

class SecretBlanking : public ::testing::TestWithParam<Provider> {};

TEST_P(SecretBlanking, LibraryTextsLoseEverySecretProviderTextsPass) {
    LibraryState restore;
    TestServer server;
    const std::string host = "http://user:" + kHostPassword + "@" + server.url().substr(7);
    AssistantPtr assistant = createAssistant(GetParam().type, host, kKey);

    CMRestGlobalSettings settings;
    settings.proxy = "http://pu:" + kProxyPassword + "@pr oxy:3128";
    settings.noProxy.clear();
    QAISetHTTPSettings(settings);

    // A localized library text.
    QAIRegisterCallback(echoSecrets);
    const Reply noModel = send(assistant.get(), "hi");
    EXPECT_EQ(noModel.error.substr(0, 1), "[");
    expectNoSecret(noModel.error, GetParam().takesKey);
    QAIRegisterCallback(nullptr);

    // A proxy URL libcurl refuses is quoted without its credentials, short ones too.
    configure(assistant.get(), {{"model", CMVariant("m")}});
    std::string proxyError = send(assistant.get(), "hi").error;
    EXPECT_EQ(
        proxyError,
        "Could not resolve the proxy host: Unsupported proxy syntax in 'http://[redacted]@pr oxy:3128'");
    settings.proxy = "http://pu:pw@pr oxy:3128";
    QAISetHTTPSettings(settings);
    proxyError = send(assistant.get(), "hi").error;
    EXPECT_EQ(proxyError.find("pu:pw"), std::string::npos) << proxyError;
    QAISetHTTPSettings(CMRestGlobalSettings{});

    // A host name that spells the key (bare, without "Bearer"), in a transport text.
    assistant->updateProperties([&](IQAIProperties* properties) {
        properties->setProperty("api_host", CMVariant("http://" + kKey + ".invalid"));
    });
    auto [models, resolveError] = assistant->obtainAvailableModels();
    EXPECT_NE(resolveError.find("Could not resolve host "), std::string::npos) << resolveError;
    expectNoSecret(resolveError, GetParam().takesKey);

    // The provider's own words stay as it sent them, key included.
    assistant->updateProperties(
        [&](IQAIProperties* properties) { properties->setProperty("api_host", CMVariant(host)); });
    server.reply("POST", GetParam().chatPath, 401,
                 R"({"error":{"message":"Incorrect API key provided: )" + kKey + R"("}})");
    EXPECT_EQ(send(assistant.get(), "hi").error, "Incorrect API key provided: " + kKey);
    EXPECT_EQ(server.requestCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Providers, SecretBlanking, ::testing::ValuesIn(kProviders),
                         [](const testing::TestParamInfo<Provider>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
