#include "providers/qai_assistant_ollama.h"

#include <utility>

#include "cf/CFText.h"
#include "cf/COJson.h"
#include "core/qai_message.h"
#include "transport/qai_http.h"
#include "transport/qai_response.h"

namespace {

// Without a scheme the host normalisation puts "https://" in front, as for any
// host given bare; a plain-HTTP server is reached by giving "http://" explicitly.
constexpr const char* kDefaultHost = "localhost:11434";
constexpr const char* kTagsSuffix = ": g/api/tags";
constexpr const char* kChatSuffix = ": p/api/chat";

}  // namespace

QAIAssistant_OLLAMA::QAIAssistant_OLLAMA(ICSHTTPPoolCenter* poolCenter, const std::string& host,
                                         IQAIAssistantMemory* conversation)
    : QAIAssistant(poolCenter, host, conversation, kDefaultHost) {}

std::string QAIAssistant_OLLAMA::obtainDefaultHost() { return kDefaultHost; }

std::pair<std::vector<std::string>, std::string> QAIAssistant_OLLAMA::obtainAvailableModels() {
    beginCall();
    HTTPResult result =
        HTTP::Get(obtainSession(), cfConcatURL({obtainStore()->obtainApiHost(), "api", "tags"}), {}, {});
    if (!result.error.empty()) return {{}, std::move(result.error)};
    const COJsonValue root = qaiValidRoot(result.response.get());
    if (!root) return {{}, composeError(kQAIInvalidResponse, kTagsSuffix)};
    const COJsonValue list = root.obtainMember("models");
    if (list.obtainType() != COJsonTypeArray)
        return {{}, composeError(kQAIUnsupportedDataFormat, kTagsSuffix)};

    std::vector<std::string> models;
    for (int32_t i = 0; i < list.obtainArraySize(); ++i) {
        const COJsonValue name = list.obtainArrayItem(i).obtainMember("name");
        if (name.obtainType() == COJsonTypeString) models.push_back(name.obtainString());
    }
    return {std::move(models), {}};
}

std::pair<IQAIMessage*, std::string> QAIAssistant_OLLAMA::addMessage(std::string text) {
    beginCall();
    QAIAssistantProperties* store = obtainStore();
    if (store->obtainModel().empty()) return {nullptr, composeError(kQAIModelIsEmpty, kChatSuffix)};

    COJson body;
    body.addKeyValue("model").setString(store->obtainModel());
    body.addKeyValue("stream").setBool(false);
    if (store->sendsTemperature())
        body.addKeyValue("options").addKeyValue("temperature").setDouble(store->obtainTemperature());

    COJsonValue messages = body.addKeyValue("messages");
    messages.makeArray();
    const std::string instructions = store->obtainCombinedInstructions();
    if (!instructions.empty()) appendRoleContent(messages, "system", instructions);
    appendConversation(messages, text);

    HTTPResult result =
        HTTP::Post(obtainSession(), cfConcatURL({store->obtainApiHost(), "api", "chat"}), &body, {}, {});
    if (!result.error.empty()) return {nullptr, qaiFailureText(result)};
    const COJsonValue root = qaiValidRoot(result.response.get());
    if (!root) return {nullptr, composeError(kQAIInvalidResponse, kChatSuffix)};
    const COJsonValue reply = root.obtainMember("message");
    if (reply.obtainType() != COJsonTypeObject)
        return {nullptr, composeError(kQAIUnsupportedDataFormat, kChatSuffix)};
    const COJsonValue role = reply.obtainMember("role");
    const COJsonValue content = reply.obtainMember("content");
    if (role.obtainType() != COJsonTypeString || role.obtainStringView() != "assistant" ||
        content.obtainType() != COJsonTypeString)
        return {nullptr, composeError(kQAIUnsupportedDataFormat, kChatSuffix)};

    return completeExchange(text, content.obtainString());
}
