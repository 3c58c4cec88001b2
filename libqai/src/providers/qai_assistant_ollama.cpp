#include "providers/qai_assistant_ollama.h"

#include <utility>

#include "cf/CFText.h"
#include "cf/COJson.h"
#include "core/qai_message.h"
#include "transport/qai_http.h"
#include "transport/qai_response.h"
#include "transport/qai_stream.h"

namespace {

// Without a scheme the host normalisation puts "https://" in front, as for any
// host given bare; a plain-HTTP server is reached by giving "http://" explicitly.
constexpr const char* kDefaultHost = "localhost:11434";
constexpr const char* kTagsSuffix = ": g/api/tags";
constexpr const char* kChatSuffix = ": p/api/chat";

/// "done_reason", "prompt_eval_count" and "eval_count" of a final reply or line.
void readFacts(const COJsonValue& root, QAIReplyFacts& facts) {
    facts.stopReasonText = qaiStringOf(root.obtainMember("done_reason"));
    facts.inputTokens = qaiTokenCount(root.obtainMember("prompt_eval_count"));
    facts.outputTokens = qaiTokenCount(root.obtainMember("eval_count"));
}

/// NDJSON: one reply per line with a "message"."content" delta; the last says
/// "done": true with the facts; an {"error": ...} line fails the reply.
class OllamaDecoder final : public QAIStreamDecoder {
public:
    void line(std::string_view text, QAIStreamReader& reader) override {
        if (text.find_first_not_of(" \t") == std::string_view::npos) return;
        COJson document(text);
        if (!document.getIsValidJson()) return reader.fail(kQAIInvalidResponse);
        const COJsonValue root = document.obtainRoot();
        if (root.obtainMember("error").exists()) return reader.fail(qaiStreamErrorText(text));
        const COJsonValue content = root.obtainMember("message").obtainMember("content");
        if (content.obtainType() == COJsonTypeString) reader.text(content.obtainStringView());
        const COJsonValue done = root.obtainMember("done");
        if (done.obtainType() == COJsonTypeBoolean && done.obtainBool()) {
            readFacts(root, reader.facts());
            reader.end();
        }
    }
    void finish(QAIStreamReader& /*reader*/) override {}
};

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

void QAIAssistant_OLLAMA::buildMessageBody(COJson& body, const std::string& text, bool streaming) {
    QAIAssistantProperties* store = obtainStore();
    body.addKeyValue("model").setString(store->obtainModel());
    body.addKeyValue("stream").setBool(streaming);
    if (store->sendsTemperature())
        body.addKeyValue("options").addKeyValue("temperature").setDouble(store->obtainTemperature());
    COJsonValue messages = body.addKeyValue("messages");
    messages.makeArray();
    const std::string& instructions = store->obtainCombinedInstructions();
    if (!instructions.empty()) appendRoleContent(messages, "system", instructions);
    appendConversation(messages, text);
}

QAIAssistant::WholeReply QAIAssistant_OLLAMA::readMessageReply(const HTTPResult& result,
                                                               const std::string& /*suffix*/) {
    if (!result.error.empty()) return {qaiFailureText(result), {}, {}};
    const COJsonValue root = qaiValidRoot(result.response.get());
    if (!root) return {composeError(kQAIInvalidResponse, kChatSuffix), {}, {}};
    const COJsonValue reply = root.obtainMember("message");
    if (reply.obtainType() != COJsonTypeObject)
        return {composeError(kQAIUnsupportedDataFormat, kChatSuffix), {}, {}};
    const COJsonValue role = reply.obtainMember("role");
    const COJsonValue content = reply.obtainMember("content");
    if (role.obtainType() != COJsonTypeString || role.obtainStringView() != "assistant" ||
        content.obtainType() != COJsonTypeString)
        return {composeError(kQAIUnsupportedDataFormat, kChatSuffix), {}, {}};
    WholeReply whole;
    whole.text = content.obtainString();
    readFacts(root, whole.facts);
    return whole;
}

QAIAssistant::MessageRoute QAIAssistant_OLLAMA::obtainMessageRoute(const std::string& /*model*/,
                                                                   bool /*streaming*/) {
    return {cfConcatURL({obtainStore()->obtainApiHost(), "api", "chat"}), {}, kChatSuffix};
}

std::unique_ptr<QAIStreamDecoder> QAIAssistant_OLLAMA::createStreamDecoder() {
    return std::make_unique<OllamaDecoder>();
}
