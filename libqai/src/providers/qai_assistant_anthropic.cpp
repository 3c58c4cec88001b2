#include "providers/qai_assistant_anthropic.h"

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

const QAIModelPaging kModelPaging{"data", "id", nextModelPage, "after_id"};

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

std::pair<IQAIMessage*, std::string> QAIAssistant_ANTHROPIC::addMessage(std::string text) {
    beginCall();
    QAIAssistantProperties* store = obtainStore();
    if (store->obtainModel().empty()) return {nullptr, composeError(kQAIModelIsEmpty, kMessagesSuffix)};

    COJson body;
    body.addKeyValue("model").setString(store->obtainModel());
    if (store->sendsTemperature()) body.addKeyValue("temperature").setDouble(store->obtainTemperature());
    const int32_t maxTokens = store->isAssigned(kMaxTokensKey)
                                  ? store->obtainProperty(kMaxTokensKey).intValue()
                                  : kDefaultMaxTokens;
    body.addKeyValue("max_tokens").setInt(maxTokens);
    const std::string instructions = store->obtainCombinedInstructions();
    if (!instructions.empty()) body.addKeyValue("system").setString(instructions);

    COJsonValue messages = body.addKeyValue("messages");
    messages.makeArray();
    appendConversation(messages, text);

    HTTPResult result =
        HTTP::Post(obtainSession(), cfConcatURL({store->obtainApiHost(), "v1", "messages"}), &body, {}, {});
    if (!result.error.empty()) return {nullptr, qaiFailureText(result)};
    const COJsonValue root = qaiValidRoot(result.response.get());
    if (!root) return {nullptr, composeError(kQAIInvalidResponse, kMessagesSuffix)};
    const COJsonValue content = root.obtainMember("content");
    if (content.obtainType() != COJsonTypeArray)
        return {nullptr, composeError(kQAIUnsupportedDataFormat, kMessagesSuffix)};

    std::string reply;
    for (int32_t i = 0; i < content.obtainArraySize(); ++i) {
        const COJsonValue block = content.obtainArrayItem(i);
        const COJsonValue blockText = block.obtainMember("text");
        const COJsonValue blockType = block.obtainMember("type");
        if (blockType.obtainType() == COJsonTypeString && blockType.obtainStringView() == "text" &&
            blockText.obtainType() == COJsonTypeString)
            reply += blockText.obtainStringView();
    }

    return completeExchange(text, std::move(reply));
}
