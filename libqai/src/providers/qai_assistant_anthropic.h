#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/qai_assistant.h"
#include "properties/qai_assistant_properties.h"

/// The Anthropic store: the base keys plus "max_tokens" (Int, 1024 until assigned).
class QAIAssistantProperties_ANTHROPIC : public QAIAssistantProperties {
public:
    explicit QAIAssistantProperties_ANTHROPIC(IQAIAssistantMemory* memory);

    /// The base pairs followed by ("max_tokens", "integer").
    std::vector<std::pair<std::string, std::string>> obtainPropertyDescriptions() override;
    CMVariant obtainProperty(const std::string& key) override;
    /// "max_tokens" takes any value through its integer conversion (a non-Int
    /// value is reported as a diagnostic); other keys go to the base store.
    bool setProperty(const std::string& key, const CMVariant& value) override;

private:
    int32_t maxTokens_ = 1024;
};

/// Assistant for the messages endpoint: "x-api-key" and "anthropic-version"
/// headers, top-level "system" text, mandatory "max_tokens", temperature 0..1.
class QAIAssistant_ANTHROPIC final : public QAIAssistant {
public:
    QAIAssistant_ANTHROPIC(ICSHTTPPoolCenter* poolCenter, const std::string& host, const std::string& key,
                           IQAIAssistantMemory* conversation);
    ~QAIAssistant_ANTHROPIC() override;

    std::string obtainDefaultHost() override;
    /// Model ids of type "model" from every page, most recently created first.
    std::pair<std::vector<std::string>, std::string> obtainAvailableModels() override;
    /// The base re-validation, then a temperature above 1.0 becomes 1.0.
    std::string updateProperties(std::function<void(IQAIProperties*)> edit) override;

private:
    MessageRoute obtainMessageRoute(const std::string& model, bool streaming) override;
    void buildMessageBody(COJson& body, const std::string& text, bool streaming) override;
    WholeReply readMessageReply(const HTTPResult& result, const std::string& suffix) override;
    std::unique_ptr<QAIStreamDecoder> createStreamDecoder() override;
    std::string apiKey;
};
