#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "core/qai_assistant.h"

/// Assistant for the v1beta generateContent interface: the key travels as the
/// "key" query parameter, the model names the path, replies come as candidates.
class QAIAssistant_GOOGLE final : public QAIAssistant {
public:
    QAIAssistant_GOOGLE(ICSHTTPPoolCenter* poolCenter, const std::string& host, const std::string& key,
                        IQAIAssistantMemory* conversation);
    ~QAIAssistant_GOOGLE() override;

    std::string obtainDefaultHost() override;
    /// Models that support generateContent, without the "models/" prefix, in
    /// reply order over every page.
    std::pair<std::vector<std::string>, std::string> obtainAvailableModels() override;

private:
    MessageRoute obtainMessageRoute(const std::string& model, bool streaming) override;
    void buildMessageBody(COJson& body, const std::string& text, bool streaming) override;
    WholeReply readMessageReply(const HTTPResult& result, const std::string& suffix) override;
    std::unique_ptr<QAIStreamDecoder> createStreamDecoder() override;
    std::string apiKey;
};
