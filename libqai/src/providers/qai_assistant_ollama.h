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
    std::pair<IQAIMessage*, std::string> addMessage(std::string text) override;
    std::pair<IQAIMessage*, std::string> addMessageStreaming(
        std::string text, std::function<bool(std::string_view)> onDelta) override;

private:
    void buildBody(COJson& body, const std::string& text, bool streaming);
    WholeReply readReply(const HTTPResult& result);
};
