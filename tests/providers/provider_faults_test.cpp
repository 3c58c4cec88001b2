// Faults of the connection (refused, cut inside the headers, a certificate
// for another name) and the secrets in failure texts, for one
// provider of each wire format and every call. The transport's own texts are
// checked in tests/foundation; here a fault must fail the call, without an
// operation suffix, with the memory unchanged.
#include <gtest/gtest.h>

#include "providers.h"
#include "raw_server.h"

using namespace qai::test;

namespace {

class Faults : public testing::TestWithParam<Provider> {};

TEST_P(Faults, TransportFaultsFailWithoutSuffix) {
    RawServer cutInHeaders([](RawConnection& peer) {
        peer.readRequest();
        peer.send("HTTP/1.1 200 OK\r\nContent-Type: appl");
    });
    // A certificate from the trusted CA, for another name than the host's.
    // It answers every call: only the name check can fail them.
    TestServer otherName(TestServer::Mode::TlsForOtherName);
    const Provider& p = GetParam();
    for (const bool streaming : {false, true})
        otherName.reply("POST", chatPath(p, streaming), 200, wirePart(p.wire, "whole", "ok"));
    otherName.reply("GET", p.modelsPath, 200, wirePart(p.wire, "models"));
    CMRestGlobalSettings settings;
    settings.caFile = otherName.caFile();
    SettingsScope scope(settings);
    const std::string hosts[] = {"http://127.0.0.1:" + std::to_string(unusedLocalPort()), cutInHeaders.url(),
                                 otherName.url()};
    for (const std::string& host : hosts) {
        HostMemory memory;
        AssistantPtr assistant = createAssistant(p.type, host, "k", &memory);
        configure(assistant.get(), {{"model", CMVariant("m")}});
        for (const Call call : {Call::Message, Call::Stream, Call::Models}) {
            const std::string error = failure(assistant.get(), memory, call);
            EXPECT_TRUE(error.find(": p/") == std::string::npos && error.find(": g/") == std::string::npos)
                << error;
        }
    }
}

// Every text the library words itself loses every secret it knows: the key in each form a
// provider sends it, the user information of the API host and the proxy's credentials.
// Texts taken from a provider's error body pass as sent.
TEST_P(Faults, LibraryTextsLoseEverySecretProviderTextsPass) {
    const std::string key = "sk-live-0123456789", hostPassword = "host-pass-0123",
                      proxyPassword = "proxy-pass-0123";
    // Ollama takes no key: for it the key's text is no secret.
    const auto expectNoSecret = [&](const std::string& text) {
        for (const std::string& secret : {key, hostPassword, proxyPassword})
            if (GetParam().wire != Wire::Ollama || secret != key) {
                EXPECT_EQ(text.find(secret), std::string::npos) << text;
            }
    };
    TestServer server;
    const std::string host = "http://user:" + hostPassword + "@" + server.url().substr(7);
    AssistantPtr assistant = createAssistant(GetParam().type, host, key);
    CMRestGlobalSettings settings;
    settings.proxy = "http://pu:" + proxyPassword + "@pr oxy:3128";
    settings.noProxy.clear();
    SettingsScope scope(settings);

    // A localized library text that quotes every secret, as a careless host's translation might.
    static std::string echo;
    echo = "[" + key + "|" + hostPassword + "|" + proxyPassword + "]";
    QAIRegisterCallback([](const char*, void* data) {
        echo.copy(static_cast<QAICallbackLocalizationInfo*>(data)->localized,
                  sizeof(QAICallbackLocalizationInfo::localized) - 1);
    });
    const std::string noModel = run(assistant.get(), Call::Message).error;
    QAIRegisterCallback(nullptr);
    EXPECT_EQ(noModel.substr(0, 1), "[");
    expectNoSecret(noModel);

    QAISetHTTPSettings(CMRestGlobalSettings{});
    configure(assistant.get(), {{"model", CMVariant("m")}});

    // A host name that spells the key (bare, without "Bearer"), in a transport text.
    configure(assistant.get(), {{"api_host", CMVariant("http://" + key + ".invalid")}});
    const std::string resolveError = run(assistant.get(), Call::Models).error;
    EXPECT_NE(resolveError.find("Could not resolve host "), std::string::npos) << resolveError;
    expectNoSecret(resolveError);

    // The provider's own words stay as it sent them, key included.
    configure(assistant.get(), {{"api_host", CMVariant(host)}});
    server.reply("POST", chatPath(GetParam()), 401,
                 R"({"error":{"message":"Incorrect API key provided: )" + key + R"("}})");
    EXPECT_EQ(run(assistant.get(), Call::Message).error, "Incorrect API key provided: " + key);
    EXPECT_EQ(server.requestCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Wires, Faults, testing::ValuesIn(oneOfEachWire()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
