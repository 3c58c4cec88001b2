#include "providers/qai_assistant_google.h"

#include <optional>
#include <string_view>
#include <utility>

#include "cf/CFText.h"
#include "cf/COJson.h"
#include "core/qai_message.h"
#include "providers/qai_model_pages.h"
#include "transport/qai_http.h"
#include "transport/qai_response.h"
#include "transport/qai_stream.h"

namespace {

constexpr const char* kDefaultHost = "generativelanguage.googleapis.com";
constexpr const char* kModelsSuffix = ": g/v1beta/models";
constexpr std::string_view kModelPrefix = "models/";
constexpr const char* kGenerateContent = "generateContent";
constexpr const char* kStreamGenerateContent = "streamGenerateContent";

/// While a page carries a "nextPageToken", it asks for the next page.
std::string nextModelPage(const COJsonValue& root) {
    const COJsonValue token = root.obtainMember("nextPageToken");
    return token.obtainType() == COJsonTypeString ? token.obtainString() : std::string();
}

const QAIModelPaging kModelPaging{"models", "name", nextModelPage, "pageToken", kModelsSuffix};

/// The provider's "error"."message" of a valid body, else empty: unlike the
/// other providers the raw body is never shown.
std::string googleErrorText(const CMRestResourceResponse* response) {
    const COJsonValue error = qaiValidRoot(response).obtainMember("error");
    if (error.obtainType() != COJsonTypeObject) return {};
    const COJsonValue message = error.obtainMember("message");
    return message.obtainType() == COJsonTypeString ? message.obtainString() : std::string();
}

void appendContent(COJsonValue contents, const char* role, const std::string& text) {
    COJsonValue item = contents.addArrayItem();
    item.addKeyValue("role").setString(role);
    COJsonValue parts = item.addKeyValue("parts");
    parts.makeArray();
    parts.addArrayItem().addKeyValue("text").setString(text);
}

bool supportsGenerateContent(const COJsonValue& methods) {
    for (int32_t i = 0; i < methods.obtainArraySize(); ++i) {
        const COJsonValue method = methods.obtainArrayItem(i);
        if (method.obtainType() == COJsonTypeString && method.obtainStringView() == kGenerateContent)
            return true;
    }
    return false;
}

/// Texts of every part of every candidate whose content comes from the model.
std::string collectCandidateText(const COJsonValue& candidates) {
    std::string text;
    for (int32_t i = 0; i < candidates.obtainArraySize(); ++i) {
        const COJsonValue content = candidates.obtainArrayItem(i).obtainMember("content");
        if (content.obtainType() != COJsonTypeObject) continue;
        const COJsonValue role = content.obtainMember("role");
        const COJsonValue parts = content.obtainMember("parts");
        if (role.obtainType() != COJsonTypeString || role.obtainStringView() != "model" ||
            parts.obtainType() != COJsonTypeArray)
            continue;
        for (int32_t p = 0; p < parts.obtainArraySize(); ++p) {
            const COJsonValue part = parts.obtainArrayItem(p).obtainMember("text");
            if (part.obtainType() == COJsonTypeString) text += part.obtainStringView();
        }
    }
    return text;
}

/// Usage ("usageMetadata", running totals in a stream) and the first
/// candidate's "finishReason" of a reply or chunk; absent values change nothing.
void readFacts(const COJsonValue& root, QAIReplyFacts& facts) {
    const COJsonValue usage = root.obtainMember("usageMetadata");
    qaiTakeTokenCount(usage.obtainMember("promptTokenCount"), facts.inputTokens);
    qaiTakeTokenCount(usage.obtainMember("candidatesTokenCount"), facts.outputTokens);
    qaiTakeTokenCount(usage.obtainMember("cachedContentTokenCount"), facts.cachedInputTokens);
    const std::string reason =
        qaiStringOf(root.obtainMember("candidates").obtainArrayItem(0).obtainMember("finishReason"));
    if (!reason.empty()) facts.stopReasonText = reason;
}

/// Each event a whole reply holding a text delta; no end marker: a clean end
/// of the body after at least one chunk completes the reply. An error comes
/// as a bare JSON object outside the event framing (the base reads it).
class GoogleDecoder final : public QAISseDecoder {
protected:
    void event(std::string_view /*type*/, std::string_view data, QAIStreamReader& reader) override {
        COJson chunk(data);
        if (!chunk.getIsValidJson()) return reader.fail(kQAIInvalidResponse);
        const COJsonValue root = chunk.obtainRoot();
        if (root.obtainMember("error").exists()) return reader.fail(qaiStreamErrorText(data));
        sawChunk_ = true;
        const std::string text = collectCandidateText(root.obtainMember("candidates"));
        if (!text.empty()) reader.text(text);
        readFacts(root, reader.facts());
    }
    void ended(QAIStreamReader& reader) override {
        if (sawChunk_) reader.end();
    }

private:
    bool sawChunk_ = false;
};

}  // namespace

QAIAssistant_GOOGLE::QAIAssistant_GOOGLE(ICSHTTPPoolCenter* poolCenter, const std::string& host,
                                         const std::string& key, IQAIAssistantMemory* conversation)
    : QAIAssistant(poolCenter, host, conversation, kDefaultHost), apiKey(key) {
    addSecret(apiKey);  // sent as a query parameter, not on the session
}

QAIAssistant_GOOGLE::~QAIAssistant_GOOGLE() = default;

std::string QAIAssistant_GOOGLE::obtainDefaultHost() { return kDefaultHost; }

std::pair<std::vector<std::string>, std::string> QAIAssistant_GOOGLE::obtainAvailableModels() {
    beginCall();
    const auto check = [this](const HTTPResult& result) -> std::optional<std::string> {
        if (!result.error.empty()) return qaiFailureText(result, googleErrorText);
        const COJsonValue root = qaiValidRoot(result.response.get());
        if (!root) return composeError(kQAIInvalidResponse, kModelsSuffix);
        if (root.obtainMember("models").obtainType() != COJsonTypeArray)
            return composeError(kQAIUnsupportedDataFormat, kModelsSuffix);
        return std::nullopt;
    };

    std::vector<std::string> models;
    const auto take = [&models](const COJsonValue& item) {
        const COJsonValue name = item.obtainMember("name");
        const COJsonValue methods = item.obtainMember("supportedGenerationMethods");
        if (name.obtainType() != COJsonTypeString || methods.obtainType() != COJsonTypeArray ||
            !supportsGenerateContent(methods))
            return;
        std::string_view listed = name.obtainStringView();
        if (listed.starts_with(kModelPrefix)) listed.remove_prefix(kModelPrefix.size());
        models.emplace_back(listed);
    };

    const HTTPParams query{{"key", apiKey}};
    const std::string url = cfConcatURL({obtainStore()->obtainApiHost(), "v1beta", "models"});
    if (auto failure = qaiObtainModelPages(obtainSession(), url, query, kModelPaging, check, take))
        return {{}, std::move(*failure)};
    return {std::move(models), {}};
}

void QAIAssistant_GOOGLE::buildMessageBody(COJson& body, const std::string& text, bool /*streaming*/) {
    QAIAssistantProperties* store = obtainStore();
    if (store->sendsTemperature())
        body.addKeyValue("generationConfig").addKeyValue("temperature").setDouble(store->obtainTemperature());
    const std::string& instructions = store->obtainCombinedInstructions();
    // "parts" is a single object here, not the array used in "contents".
    if (!instructions.empty())
        body.addKeyValue("system_instruction")
            .addKeyValue("parts")
            .addKeyValue("text")
            .setString(instructions);
    COJsonValue contents = body.addKeyValue("contents");
    contents.makeArray();
    for (const QAIMemoryRecord& record : obtainHistory())
        appendContent(contents, record.role == QAIMemoryRole_Assistant ? "model" : "user", record.text);
    appendContent(contents, "user", text);
}

QAIAssistant::WholeReply QAIAssistant_GOOGLE::readMessageReply(const HTTPResult& result,
                                                               const std::string& suffix) {
    if (!result.error.empty()) return {qaiFailureText(result, googleErrorText), {}, {}};
    const COJsonValue root = qaiValidRoot(result.response.get());
    if (!root) return {composeError(kQAIInvalidResponse, suffix), {}, {}};
    const COJsonValue candidates = root.obtainMember("candidates");
    if (candidates.obtainType() != COJsonTypeArray)
        return {composeError(kQAIUnsupportedDataFormat, suffix), {}, {}};
    WholeReply whole;
    whole.text = collectCandidateText(candidates);
    readFacts(root, whole.facts);
    return whole;
}

QAIAssistant::MessageRoute QAIAssistant_GOOGLE::obtainMessageRoute(const std::string& model, bool streaming) {
    const std::string method = streaming ? kStreamGenerateContent : kGenerateContent;
    // Without a model the suffix names only the method.
    if (model.empty()) return {{}, {}, ": p/v1beta/models/" + method};
    HTTPParams query{{"key", apiKey}};
    if (streaming) query.insert(query.begin(), {"alt", "sse"});
    return {cfConcatURL({obtainStore()->obtainApiHost(), "v1beta", "models", model + ":" + method}),
            std::move(query), ": p/v1beta/models/" + model + ":" + method};
}

std::unique_ptr<QAIStreamDecoder> QAIAssistant_GOOGLE::createStreamDecoder() {
    return std::make_unique<GoogleDecoder>();
}
