#include "providers/qai_chat_completions.h"

#include <functional>
#include <map>
#include <memory>

#include "cf/CFText.h"
#include "core/qai_message.h"
#include "transport/qai_http.h"
#include "transport/qai_response.h"

namespace {

bool isString(const COJsonValue& value) { return value.obtainType() == COJsonTypeString; }

/// "usage" of a reply or chunk; a null or absent one changes nothing, so the
/// last one given wins (servers put it on the finish chunk or an extra one).
/// Cache figures: DeepSeek names its hits on their own, the others in the
/// prompt details; Alibaba's explicit cache counts what it wrote in usage.
void readUsage(const COJsonValue& usage, QAIReplyFacts& facts) {
    if (usage.obtainType() != COJsonTypeObject) return;
    facts.inputTokens = qaiTokenCount(usage.obtainMember("prompt_tokens"));
    facts.outputTokens = qaiTokenCount(usage.obtainMember("completion_tokens"));
    const COJsonValue details = usage.obtainMember("prompt_tokens_details");
    facts.cachedInputTokens = qaiFirstTokenCount(
        {usage.obtainMember("prompt_cache_hit_tokens"), details.obtainMember("cached_tokens")});
    facts.cacheWriteTokens = qaiFirstTokenCount({details.obtainMember("cache_write_tokens"),
                                                 details.obtainMember("cache_creation_input_tokens"),
                                                 usage.obtainMember("cache_creation_input_tokens")});
}

/// Chunks with "choices"[]."delta"."content", "finish_reason" on the last
/// one, and "data: [DONE]" as the end marker.
class ChatCompletionsDecoder final : public QAISseDecoder {
protected:
    void event(std::string_view /*type*/, std::string_view data, QAIStreamReader& reader) override {
        if (data == "[DONE]") {
            reader.end();
            return;
        }
        COJson chunk(data);
        if (!chunk.getIsValidJson()) return reader.fail(std::string(kQAIInvalidResponse));
        const COJsonValue root = chunk.obtainRoot();
        if (root.obtainMember("error").exists()) return reader.fail(qaiStreamErrorText(data));
        const COJsonValue choices = root.obtainMember("choices");
        for (int32_t i = 0; i < choices.obtainArraySize(); ++i) {
            const COJsonValue choice = choices.obtainArrayItem(i);
            const COJsonValue content = choice.obtainMember("delta").obtainMember("content");
            if (isString(content)) reader.text(content.obtainStringView());
            if (const std::string reason = qaiStringOf(choice.obtainMember("finish_reason")); !reason.empty())
                reader.facts().stopReasonText = reason;
        }
        readUsage(root.obtainMember("usage"), reader.facts());
    }
};

}  // namespace

QAIChatCompletionsAssistant::QAIChatCompletionsAssistant(ICSHTTPPoolCenter* poolCenter,
                                                         const std::string& apiHost, const std::string& key,
                                                         IQAIAssistantMemory* hostMemory,
                                                         const Profile& providerProfile)
    : QAIAssistant(poolCenter, apiHost, hostMemory, std::string(providerProfile.defaultHost)),
      profile(providerProfile),
      apiKey(key) {
    // Also for an empty key: the provider then answers with its own refusal.
    obtainSession()->setAuthorizationHeaderValue("Bearer " + apiKey);
}

QAIChatCompletionsAssistant::~QAIChatCompletionsAssistant() = default;

std::string QAIChatCompletionsAssistant::obtainDefaultHost() { return std::string(profile.defaultHost); }

std::string QAIChatCompletionsAssistant::obtainURL(const std::vector<std::string_view>& path) const {
    // cfConcatURL keeps its first component as given, so folding one
    // component at a time joins exactly as a single call would.
    std::string url = obtainStore()->obtainApiHost();
    for (std::string_view component : path) url = cfConcatURL({url, component});
    return url;
}

std::string QAIChatCompletionsAssistant::updateProperties(std::function<void(IQAIProperties*)> edit) {
    if (profile.temperatureCap) return updatePropertiesCapped(std::move(edit), *profile.temperatureCap);
    return QAIAssistant::updateProperties(std::move(edit));
}

std::pair<std::vector<std::string>, std::string> QAIChatCompletionsAssistant::obtainAvailableModels() {
    beginCall();
    switch (profile.modelList) {
        case QAIModelListForm::SortedByCreated:
            return obtainSortedModels(false);
        case QAIModelListForm::SortedErrorFirst:
            return obtainSortedModels(true);
        case QAIModelListForm::Plain:
            return obtainPlainModels();
        case QAIModelListForm::None:
            break;
    }
    return {};
}

std::pair<std::vector<std::string>, std::string> QAIChatCompletionsAssistant::obtainSortedModels(
    bool anyErrorMemberFails) {
    HTTPResult result = HTTP::Get(obtainSession(), obtainURL(profile.modelsPath), {}, {});
    const COJsonValue root = qaiValidRoot(result.response.get());
    if (!root) return {{}, result.error};

    const COJsonValue error = root.obtainMember("error");
    if (anyErrorMemberFails) {
        if (error.exists()) return {{}, profile.errorText(result.response.get())};
    } else if (error.obtainType() == COJsonTypeObject) {
        const COJsonValue message = error.obtainMember("message");
        return {{}, isString(message) ? message.obtainString() : result.error};
    }

    const COJsonValue data = root.obtainMember("data");
    if (data.obtainType() != COJsonTypeArray)
        return {{}, composeError(kQAIUnsupportedDataFormat, profile.modelsSuffix)};

    QAINewestFirst byCreated;
    for (int32_t i = 0; i < data.obtainArraySize(); ++i) {
        const COJsonValue item = data.obtainArrayItem(i);
        const COJsonValue id = item.obtainMember("id");
        const COJsonValue object = item.obtainMember("object");
        const COJsonValue created = item.obtainMember("created");
        if (!isString(object) || !isString(id) || created.obtainType() != COJsonTypeInteger) continue;
        if (object.obtainStringView() != "model") continue;
        byCreated.add(created.obtainInt(), id.obtainString());
    }
    return {byCreated.take(), {}};
}

std::pair<std::vector<std::string>, std::string> QAIChatCompletionsAssistant::obtainPlainModels() {
    HTTPResult result = HTTP::Get(obtainSession(), obtainURL(profile.modelsPath), {}, {});
    if (!result.error.empty()) return {{}, qaiFailureText(result, profile.errorText)};
    const COJsonValue root = qaiValidRoot(result.response.get());
    if (!root) return {{}, composeError(kQAIInvalidResponse, profile.modelsSuffix)};
    const COJsonValue data = root.obtainMember("data");
    if (data.obtainType() != COJsonTypeArray)
        return {{}, composeError(kQAIUnsupportedDataFormat, profile.modelsSuffix)};

    std::vector<std::string> models;
    for (int32_t i = 0; i < data.obtainArraySize(); ++i) {
        const COJsonValue item = data.obtainArrayItem(i);
        const COJsonValue id = item.obtainMember("id");
        const COJsonValue object = item.obtainMember("object");
        if (!isString(object) || !isString(id) || object.obtainStringView() != "model") continue;
        models.push_back(id.obtainString());
    }
    return {std::move(models), {}};
}

void QAIChatCompletionsAssistant::buildMessageBody(COJson& body, const std::string& text, bool streaming) {
    QAIAssistantProperties* store = obtainStore();
    COJsonValue root = body.obtainRoot();
    root.addKeyValue("model").setString(store->obtainModel());
    if (store->sendsTemperature()) root.addKeyValue("temperature").setDouble(store->obtainTemperature());
    COJsonValue messages = root.addKeyValue("messages");
    messages.makeArray();
    const std::string& instructions = store->obtainCombinedInstructions();
    if (!instructions.empty() && profile.cacheMarkers && obtainPromptCaching()) {
        COJsonValue item = messages.addArrayItem();
        item.addKeyValue("role").setString(profile.instructionsRole);
        setTextBlock(item.addKeyValue("content"), instructions, true);
    } else if (!instructions.empty()) {
        appendRoleContent(messages, profile.instructionsRole, instructions);
    }
    appendConversation(messages, text);
    if (!streaming) return;
    root.addKeyValue("stream").setBool(true);
    if (profile.streamUsage) root.addKeyValue("stream_options").addKeyValue("include_usage").setBool(true);
}

QAIAssistant::WholeReply QAIChatCompletionsAssistant::readMessageReply(const HTTPResult& result,
                                                                       const std::string& /*suffix*/) {
    if (!result.error.empty()) return {qaiFailureText(result, profile.errorText), {}, {}};
    const COJsonValue reply = qaiValidRoot(result.response.get());
    if (!reply) return {composeError(kQAIInvalidResponse, profile.chatSuffix), {}, {}};
    const COJsonValue choices = reply.obtainMember("choices");
    if (choices.obtainType() != COJsonTypeArray)
        return {composeError(kQAIUnsupportedDataFormat, profile.chatSuffix), {}, {}};

    WholeReply whole;
    for (int32_t i = 0; i < choices.obtainArraySize(); ++i) {
        const COJsonValue choice = choices.obtainArrayItem(i);
        if (whole.facts.stopReasonText.empty())
            whole.facts.stopReasonText = qaiStringOf(choice.obtainMember("finish_reason"));
        const COJsonValue message = choice.obtainMember("message");
        if (message.obtainType() != COJsonTypeObject) continue;
        const COJsonValue content = message.obtainMember("content");
        const COJsonValue role = message.obtainMember("role");
        if (!isString(content) || !isString(role) || role.obtainStringView() != "assistant") continue;
        whole.text.append(content.obtainStringView());
    }
    readUsage(reply.obtainMember("usage"), whole.facts);
    return whole;
}

QAIAssistant::MessageRoute QAIChatCompletionsAssistant::obtainMessageRoute(const std::string& /*model*/,
                                                                           bool /*streaming*/) {
    return {obtainURL(profile.chatPath), {}, std::string(profile.chatSuffix)};
}

std::unique_ptr<QAIStreamDecoder> QAIChatCompletionsAssistant::createStreamDecoder() {
    return std::make_unique<ChatCompletionsDecoder>();
}
