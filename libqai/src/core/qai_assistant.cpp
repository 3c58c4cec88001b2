#include "core/qai_assistant.h"

#include <exception>

#include "cf/CFText.h"
#include "core/qai_memory.h"
#include "core/qai_message.h"
#include "transport/qai_library_state.h"
#include "transport/qai_response.h"

namespace {
// How many records a request asks the memory for; what a host memory does
// with the limit is its business.
constexpr int32_t kHistoryLimit = 20;
}  // namespace

QAIAssistant::QAIAssistant(ICSHTTPPoolCenter* poolCenter, const std::string& apiHost,
                           IQAIAssistantMemory* hostMemory, const std::string& defaultHost) {
    // Held until the constructor completes, so a failure below frees it.
    std::unique_ptr<IQAIAssistantMemory> created;
    if (!hostMemory) created = std::make_unique<QAIDefaultAssistantMemory>();
    IQAIAssistantMemory* active = hostMemory ? hostMemory : created.get();

    pool.reset(poolCenter);
    session = std::make_unique<CMRestSession>();
    session->setPoolCenter(poolCenter);
    properties = std::make_unique<QAIAssistantProperties>(active);
    properties->setApiHost(apiHost, defaultHost);

    memory = active;
    ownsMemory = created != nullptr;
    created.release();
}

QAIAssistant::~QAIAssistant() {
    if (ownsMemory && memory) delete memory;
    memory = nullptr;
    pool.reset();
    session.reset();
    properties.reset();
}

IQAIAssistantMemory* QAIAssistant::obtainMemory() {
    ownsMemory = false;
    return memory;
}

void QAIAssistant::setMemory(IQAIAssistantMemory* newMemory) {
    // Without a memory the assistant could not work; the one in use is kept.
    if (!newMemory || newMemory == memory) return;
    if (ownsMemory && memory) delete memory;
    memory = newMemory;
    properties->setMemory(newMemory);
    ownsMemory = false;
}

std::string QAIAssistant::updateProperties(std::function<void(IQAIProperties*)> edit) {
    if (!edit) throw std::bad_function_call();
    edit(properties.get());
    edit = nullptr;

    if (properties->isAssigned("temperature")) {
        const double temperature = properties->obtainTemperature();
        if (temperature > 2.0)
            properties->setTemperatureValue(2.0);
        else if (temperature < 0.0)
            properties->setTemperatureValue(0.0);
    }
    if (properties->isAssigned("api_host"))
        properties->setApiHostValue(cfTrimAsString(properties->obtainApiHost()));
    return {};
}

std::string QAIAssistant::updatePropertiesCapped(std::function<void(IQAIProperties*)> edit,
                                                 const TemperatureCap& cap) {
    std::string error = QAIAssistant::updateProperties(edit);
    if (error.empty() && properties->isAssigned("temperature")) {
        const double temperature = properties->obtainTemperature();
        if (cap.inclusive ? temperature >= cap.threshold : temperature > cap.threshold)
            properties->setTemperatureValue(cap.replacement);
    }
    return error;
}

std::string QAIAssistant::composeError(const char* key, std::string_view suffix) const {
    std::string text = qaiComposeError(key, suffix);
    const std::vector<std::string_view> extra(secrets.begin(), secrets.end());
    cfBlankSessionSecrets(text, session.get(), qai::obtainHTTPSettings(), properties->obtainApiHost(), extra);
    return text;
}

IQAIProperties* QAIAssistant::obtainProperties() { return new QAIAssistantProperties(*properties); }

void QAIAssistant::replaceStore(std::unique_ptr<QAIAssistantProperties> store) {
    if (store) properties = std::move(store);
}

std::vector<QAIMemoryRecord> QAIAssistant::obtainHistory() { return memory->obtainMessages(kHistoryLimit); }

void QAIAssistant::appendConversation(COJsonValue messages, const std::string& text, bool markedBlocks) {
    const auto append = [&messages, markedBlocks](std::string_view role, std::string_view content,
                                                  bool newest) {
        if (!markedBlocks) return appendRoleContent(messages, role, content);
        COJsonValue item = messages.addArrayItem();
        item.addKeyValue("role").setString(role);
        setTextBlock(item.addKeyValue("content"), content, newest);
    };
    for (const QAIMemoryRecord& record : obtainHistory())
        append(record.role == QAIMemoryRole_Assistant ? "assistant" : "user", record.text, false);
    append("user", text, true);
}

std::pair<IQAIMessage*, std::string> QAIAssistant::completeExchange(const std::string& text,
                                                                    std::string reply, QAIReplyFacts facts) {
    std::unique_ptr<QAIMessage> message(qaiCreateTextReply(reply));
    message->facts = std::move(facts);
    memory->addMessage(QAIMemoryRole_User, text);
    memory->addMessage(QAIMemoryRole_Assistant, reply);
    return {message.release(), {}};
}

void QAIAssistant::appendRoleContent(COJsonValue messages, std::string_view role, std::string_view content) {
    COJsonValue item = messages.addArrayItem();
    item.addKeyValue("role").setString(role);
    item.addKeyValue("content").setString(content);
}

void QAIAssistant::setTextBlock(COJsonValue value, std::string_view text, bool marked) {
    value.makeArray();
    COJsonValue block = value.addArrayItem();
    block.addKeyValue("type").setString("text");
    block.addKeyValue("text").setString(text);
    if (marked) block.addKeyValue("cache_control").addKeyValue("type").setString("ephemeral");
}

std::pair<IQAIMessage*, std::string> QAIAssistant::addMessage(std::string text) {
    beginCall();
    const std::string model = obtainStore()->obtainModel();
    const MessageRoute route = obtainMessageRoute(model, false);
    if (model.empty()) return {nullptr, composeError(kQAIModelIsEmpty, route.suffix)};
    COJson body;
    buildMessageBody(body, text, false);
    const HTTPResult result = HTTP::Post(session.get(), route.url, &body, route.query, {});
    WholeReply whole = readMessageReply(result, route.suffix);
    if (!whole.error.empty()) return {nullptr, std::move(whole.error)};
    return completeExchange(text, std::move(whole.text), std::move(whole.facts));
}

std::pair<IQAIMessage*, std::string> QAIAssistant::addMessageStreaming(
    std::string text, std::function<bool(std::string_view)> onDelta) {
    beginCall();
    const std::string model = obtainStore()->obtainModel();
    const MessageRoute route = obtainMessageRoute(model, true);
    if (model.empty()) return {nullptr, composeError(kQAIModelIsEmpty, route.suffix)};
    COJson body;
    buildMessageBody(body, text, true);
    const std::unique_ptr<QAIStreamDecoder> decoder = createStreamDecoder();
    return streamExchange(
        text, route.url, body, route.query, *decoder,
        [this, &route](const HTTPResult& result) { return readMessageReply(result, route.suffix); },
        route.suffix, onDelta);
}

std::pair<IQAIMessage*, std::string> QAIAssistant::streamExchange(
    const std::string& text, const std::string& url, const COJson& body, const HTTPParams& query,
    QAIStreamDecoder& decoder, const std::function<WholeReply(const HTTPResult&)>& readWhole,
    std::string_view cutSuffix, const std::function<bool(std::string_view)>& onDelta) {
    QAIStreamReader reader(decoder, onDelta);
    const HTTPResult result = HTTP::PostStreaming(session.get(), url, &body, query, &reader);
    const auto failure = [this, &reader, cutSuffix]() -> std::pair<IQAIMessage*, std::string> {
        if (reader.stoppedByHost()) return {nullptr, localizeText(kQAIRequestCancelled)};
        // A piece that is no valid reply is worded like a whole invalid reply.
        if (reader.failure() == kQAIInvalidResponse)
            return {nullptr, composeError(kQAIInvalidResponse, cutSuffix)};
        return {nullptr, reader.failure()};
    };
    if (reader.accepted()) {
        if (!reader.failure().empty()) return failure();
        if (!result.error.empty()) return {nullptr, result.error};
        reader.finish();
        if (!reader.failure().empty()) return failure();
        if (!reader.ended()) return {nullptr, composeError(kQAIStreamCut, cutSuffix)};
        return completeExchange(text, reader.joinedText(), reader.facts());
    }
    WholeReply whole = readWhole(result);
    if (!whole.error.empty()) return {nullptr, std::move(whole.error)};
    if (!whole.text.empty()) {
        bool goOn = true;
        try {
            if (onDelta) goOn = onDelta(whole.text);
        } catch (const std::exception& error) {
            return {nullptr, std::string("The reply text handler failed: ") + error.what()};
        } catch (...) {
            return {nullptr, "The reply text handler failed"};
        }
        if (!goOn) return {nullptr, localizeText(kQAIRequestCancelled)};
    }
    return completeExchange(text, std::move(whole.text), std::move(whole.facts));
}
