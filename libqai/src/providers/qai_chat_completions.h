#pragma once
// The chat-completions protocol shared by OpenAI and the providers that
// accept its request: one flow, driven by a profile of per-provider values.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/qai_assistant.h"
#include "transport/qai_response.h"

/// How a provider answers the model-list request, and how the answer is read.
enum class QAIModelListForm {
    /// "data" items sorted by "created", newest first; a valid reply is read
    /// before the transport's text, and only an "error" object fails it.
    SortedByCreated,
    /// As SortedByCreated, but any "error" member fails the reply with the
    /// profile's error text.
    SortedErrorFirst,
    /// "data" items in reply order; the transport's text is consulted first.
    Plain,
    /// No request: always an empty list.
    None,
};

/// A chat-completions assistant: bearer authentication, "model", optional
/// "temperature" and "messages" in the body, the reply read from "choices".
class QAIChatCompletionsAssistant : public QAIAssistant {
public:
    /// Everything that differs between the providers of this protocol.
    struct Profile {
        /// Bare host used when the host gives none.
        std::string_view defaultHost;
        /// Path components after the host, and the text appended to the
        /// library's own failure texts of that request.
        std::vector<std::string_view> chatPath;
        std::string_view chatSuffix;
        std::vector<std::string_view> modelsPath;
        std::string_view modelsSuffix;
        QAIModelListForm modelList;
        /// Role of the leading instructions item.
        std::string_view instructionsRole;
        QAIErrorTextExtractor errorText;
        /// Narrowing applied after the base temperature clamp, if any.
        std::optional<TemperatureCap> temperatureCap;
        /// Streamed requests ask for usage ("stream_options": {"include_usage"}).
        bool streamUsage = true;
        /// With prompt caching on, the instructions carry the cache marker
        /// (a provider whose cache needs one).
        bool cacheMarkers = false;
    };

    ~QAIChatCompletionsAssistant() override;

    std::string obtainDefaultHost() override;
    std::pair<std::vector<std::string>, std::string> obtainAvailableModels() override;
    std::string updateProperties(std::function<void(IQAIProperties*)> edit) override;

protected:
    /// profile must outlive the assistant (adapters pass a static one).
    QAIChatCompletionsAssistant(ICSHTTPPoolCenter* pool, const std::string& apiHost,
                                const std::string& apiKey, IQAIAssistantMemory* memory,
                                const Profile& profile);

private:
    std::pair<std::vector<std::string>, std::string> obtainSortedModels(bool anyErrorMemberFails);
    std::pair<std::vector<std::string>, std::string> obtainPlainModels();
    std::string obtainURL(const std::vector<std::string_view>& path) const;
    MessageRoute obtainMessageRoute(const std::string& model, bool streaming) override;
    void buildMessageBody(COJson& body, const std::string& text, bool streaming) override;
    WholeReply readMessageReply(const HTTPResult& result, const std::string& suffix) override;
    std::unique_ptr<QAIStreamDecoder> createStreamDecoder() override;

    const Profile& profile;
    std::string apiKey;
};
