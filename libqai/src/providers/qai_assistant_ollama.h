#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "core/qai_assistant.h"

/// Assistant for a local Ollama server: no credentials, no streaming.
class QAIAssistant_OLLAMA final : public QAIAssistant {
public:
    QAIAssistant_OLLAMA(ICSHTTPPoolCenter* poolCenter, const std::string& host,
                        IQAIAssistantMemory* conversation);

    /// The local machine on port 11434, without a scheme.
    std::string obtainDefaultHost() override;
    /// Model names in the server's order.
    std::pair<std::vector<std::string>, std::string> obtainAvailableModels() override;

private:
    MessageRoute obtainMessageRoute(const std::string& model, bool streaming) override;
    void buildMessageBody(COJson& body, const std::string& text, bool streaming) override;
    WholeReply readMessageReply(const HTTPResult& result, const std::string& suffix) override;
    std::unique_ptr<QAIStreamDecoder> createStreamDecoder() override;
};
