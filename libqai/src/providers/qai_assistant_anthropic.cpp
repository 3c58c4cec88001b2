#include "providers/qai_assistant_anthropic.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "cf/CFAppFactory.h"
#include "cf/CFText.h"
#include "cf/COJson.h"
#include "core/qai_diagnostics.h"
#include "core/qai_message.h"
#include "providers/qai_model_pages.h"
#include "transport/qai_http.h"
#include "transport/qai_response.h"

namespace {

constexpr const char* kDefaultHost = "api.anthropic.com";
constexpr const char* kMaxTokensKey = QAIPropertyKey_MaxTokens;
constexpr int32_t kDefaultMaxTokens = 1024;
constexpr const char* kModelsSuffix = ": g/v1/models";
constexpr const char* kMessagesSuffix = ": p/v1/messages";
constexpr const char* kCreatedAtFormat = "%Y-%m-%dT%H:%M:%SZ";

/// While a page says "has_more", the next one starts after its "last_id".
std::string nextModelPage(const COJsonValue& root) {
    const COJsonValue hasMore = root.obtainMember("has_more");
    const COJsonValue lastId = root.obtainMember("last_id");
    if (hasMore.obtainType() != COJsonTypeBoolean || !hasMore.obtainBool() ||
        lastId.obtainType() != COJsonTypeString)
        return {};
    return lastId.obtainString();
}

const QAIModelPaging kModelPaging{"data", "id", nextModelPage, "after_id", kModelsSuffix};

/// Usage as Anthropic counts it: "input_tokens" leaves out the cached input,
/// so the whole input is it plus what was read from and written into the
/// cache. Members present overwrite (a stream's values are running totals).
class AnthropicUsage {
public:
    void read(const COJsonValue& usage, QAIReplyFacts& facts) {
        qaiTakeTokenCount(usage.obtainMember("input_tokens"), uncached_);
        qaiTakeTokenCount(usage.obtainMember("output_tokens"), facts.outputTokens);
        qaiTakeTokenCount(usage.obtainMember("cache_read_input_tokens"), facts.cachedInputTokens);
        qaiTakeTokenCount(usage.obtainMember("cache_creation_input_tokens"), facts.cacheWriteTokens);
        if (uncached_ >= 0)
            facts.inputTokens = uncached_ + std::max<int64_t>(facts.cachedInputTokens, 0) +
                                std::max<int64_t>(facts.cacheWriteTokens, 0);
    }

private:
    int64_t uncached_ = -1;
};

/// Typed events: text in "content_block_delta" of type "text_delta", usage
/// in "message_start" and "message_delta" (output tokens cumulative), the
/// stop reason in "message_delta", "message_stop" as the end marker; "ping"
/// and unknown types are skipped.
class AnthropicDecoder final : public QAISseDecoder {
protected:
    void event(std::string_view type, std::string_view data, QAIStreamReader& reader) override {
        if (type == "ping") return;
        COJson document(data);
        if (!document.getIsValidJson()) return reader.fail(kQAIInvalidResponse);
        const COJsonValue root = document.obtainRoot();
        std::string_view kind = type;
        if (kind.empty()) kind = root.obtainMember("type").obtainStringView();
        if (kind == "error") return reader.fail(qaiStreamErrorText(data));
        if (kind == "message_start") {
            usage_.read(root.obtainMember("message").obtainMember("usage"), reader.facts());
        } else if (kind == "content_block_delta") {
            const COJsonValue delta = root.obtainMember("delta");
            const COJsonValue text = delta.obtainMember("text");
            if (delta.obtainMember("type").obtainStringView() == "text_delta" &&
                text.obtainType() == COJsonTypeString)
                reader.text(text.obtainStringView());
        } else if (kind == "message_delta") {
            const std::string reason = qaiStringOf(root.obtainMember("delta").obtainMember("stop_reason"));
            if (!reason.empty()) reader.facts().stopReasonText = reason;
            usage_.read(root.obtainMember("usage"), reader.facts());
        } else if (kind == "message_stop") {
            reader.end();
        }
    }

private:
    AnthropicUsage usage_;
};

}  // namespace

QAIAssistantProperties_ANTHROPIC::QAIAssistantProperties_ANTHROPIC(IQAIAssistantMemory* memory)
    : QAIAssistantProperties(memory) {}

std::vector<std::pair<std::string, std::string>>
QAIAssistantProperties_ANTHROPIC::obtainPropertyDescriptions() {
    auto descriptions = QAIAssistantProperties::obtainPropertyDescriptions();
    descriptions.emplace_back(kMaxTokensKey, "integer");
    return descriptions;
}

CMVariant QAIAssistantProperties_ANTHROPIC::obtainProperty(const std::string& key) {
    if (key == kMaxTokensKey) return CMVariant(maxTokens_);
    return QAIAssistantProperties::obtainProperty(key);
}

bool QAIAssistantProperties_ANTHROPIC::setProperty(const std::string& key, const CMVariant& value) {
    if (key != kMaxTokensKey) return QAIAssistantProperties::setProperty(key, value);
    // A value of another type is a caller error, yet its integer conversion is still taken.
    if (value.getValueType() != CMVariant::ValueType::Int)
        QAI_DIAGNOSE("value.getValueType() == CMVariant::ValueType::Int");
    maxTokens_ = value.intValue();
    recordAssigned(key);
    return true;
}

QAIAssistant_ANTHROPIC::QAIAssistant_ANTHROPIC(ICSHTTPPoolCenter* poolCenter, const std::string& host,
                                               const std::string& key, IQAIAssistantMemory* conversation)
    : QAIAssistant(poolCenter, host, conversation, kDefaultHost), apiKey(key) {
    obtainSession()->addHeaderParam("x-api-key", apiKey);
    obtainSession()->addHeaderParam("anthropic-version", "2023-06-01");
    // Only the normalised host carries over; everything else starts fresh.
    auto store = std::make_unique<QAIAssistantProperties_ANTHROPIC>(obtainCurrentMemory());
    store->setApiHostValue(obtainStore()->obtainApiHost());
    replaceStore(std::move(store));
}

QAIAssistant_ANTHROPIC::~QAIAssistant_ANTHROPIC() = default;

std::string QAIAssistant_ANTHROPIC::obtainDefaultHost() { return kDefaultHost; }

std::string QAIAssistant_ANTHROPIC::updateProperties(std::function<void(IQAIProperties*)> edit) {
    return updatePropertiesCapped(std::move(edit), {1.0, false, 1.0});
}

std::pair<std::vector<std::string>, std::string> QAIAssistant_ANTHROPIC::obtainAvailableModels() {
    beginCall();
    const auto check = [this](const HTTPResult& result) -> std::optional<std::string> {
        const COJsonValue root = qaiValidRoot(result.response.get());
        // Without a valid document only the transport can say what went wrong.
        if (!root) return result.error;
        if (root.obtainMember("error")) return errorTextFromResponse(result.response.get());
        if (root.obtainMember("data").obtainType() != COJsonTypeArray)
            return composeError(kQAIUnsupportedDataFormat, kModelsSuffix);
        return std::nullopt;
    };

    std::unique_ptr<ICSDateTimeConverter> converter(
        CF::obtainAppFactory()->obtainDateTimeService()->createDateTimeConverter());
    QAINewestFirst byCreated;
    const auto take = [&](const COJsonValue& item) {
        const COJsonValue id = item.obtainMember("id");
        const COJsonValue type = item.obtainMember("type");
        const COJsonValue createdAt = item.obtainMember("created_at");
        if (type.obtainType() != COJsonTypeString || id.obtainType() != COJsonTypeString ||
            createdAt.obtainType() != COJsonTypeString || type.obtainStringView() != "model")
            return;
        std::unique_ptr<CODateTime> created(
            CODateTime::dateTimeFromString(createdAt.obtainString(), kCreatedAtFormat));
        if (!created) return;  // an unreadable date gives no sort key
        const auto seconds = static_cast<int32_t>(converter->obtainSeconds(created.get(), 0));
        byCreated.add(seconds, id.obtainString());
    };

    const std::string url = cfConcatURL({obtainStore()->obtainApiHost(), "v1", "models"});
    if (auto failure = qaiObtainModelPages(obtainSession(), url, {}, kModelPaging, check, take))
        return {{}, std::move(*failure)};
    return {byCreated.take(), {}};
}

void QAIAssistant_ANTHROPIC::buildMessageBody(COJson& body, const std::string& text, bool streaming) {
    QAIAssistantProperties* store = obtainStore();
    body.addKeyValue("model").setString(store->obtainModel());
    if (store->sendsTemperature()) body.addKeyValue("temperature").setDouble(store->obtainTemperature());
    const int32_t maxTokens = store->isAssigned(kMaxTokensKey)
                                  ? store->obtainProperty(kMaxTokensKey).intValue()
                                  : kDefaultMaxTokens;
    body.addKeyValue("max_tokens").setInt(maxTokens);
    const std::string& instructions = store->obtainCombinedInstructions();
    // With caching, two markers: on the instructions, and on the newest
    // message, so that the history up to it is cached for the next one.
    const bool caching = obtainPromptCaching();
    if (!instructions.empty() && caching) {
        setTextBlock(body.addKeyValue("system"), instructions, true);
    } else if (!instructions.empty()) {
        body.addKeyValue("system").setString(instructions);
    }
    COJsonValue messages = body.addKeyValue("messages");
    messages.makeArray();
    appendConversation(messages, text, caching);
    if (streaming) body.addKeyValue("stream").setBool(true);
}

QAIAssistant::WholeReply QAIAssistant_ANTHROPIC::readMessageReply(const HTTPResult& result,
                                                                  const std::string& /*suffix*/) {
    if (!result.error.empty()) return {qaiFailureText(result), {}, {}};
    const COJsonValue root = qaiValidRoot(result.response.get());
    if (!root) return {composeError(kQAIInvalidResponse, kMessagesSuffix), {}, {}};
    const COJsonValue content = root.obtainMember("content");
    if (content.obtainType() != COJsonTypeArray)
        return {composeError(kQAIUnsupportedDataFormat, kMessagesSuffix), {}, {}};
    WholeReply whole;
    for (int32_t i = 0; i < content.obtainArraySize(); ++i) {
        const COJsonValue block = content.obtainArrayItem(i);
        const COJsonValue blockText = block.obtainMember("text");
        const COJsonValue blockType = block.obtainMember("type");
        if (blockType.obtainType() == COJsonTypeString && blockType.obtainStringView() == "text" &&
            blockText.obtainType() == COJsonTypeString)
            whole.text += blockText.obtainStringView();
    }
    AnthropicUsage().read(root.obtainMember("usage"), whole.facts);
    whole.facts.stopReasonText = qaiStringOf(root.obtainMember("stop_reason"));
    return whole;
}

QAIAssistant::MessageRoute QAIAssistant_ANTHROPIC::obtainMessageRoute(const std::string& /*model*/,
                                                                      bool /*streaming*/) {
    return {cfConcatURL({obtainStore()->obtainApiHost(), "v1", "messages"}), {}, kMessagesSuffix};
}

std::unique_ptr<QAIStreamDecoder> QAIAssistant_ANTHROPIC::createStreamDecoder() {
    return std::make_unique<AnthropicDecoder>();
}
