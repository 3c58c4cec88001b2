#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cf/CMRest.h"
#include "cf/COJson.h"
#include "properties/qai_assistant_properties.h"
#include "qai.h"
#include "transport/qai_http.h"
#include "transport/qai_stream.h"

/// What every provider's assistant shares: ownership of the memory, the pool,
/// the session and the property store, the re-validation of edits, and the
/// flow of one message (adapters give its route, body and reply reading).
class QAIAssistant : public IQAIAssistant {
public:
    ~QAIAssistant() override;
    QAIAssistant(const QAIAssistant&) = delete;
    QAIAssistant& operator=(const QAIAssistant&) = delete;

    /// Hands the memory to the caller, who releases it from now on.
    IQAIAssistantMemory* obtainMemory() override;
    /// Uses memory from now on; the caller keeps it alive. A memory the
    /// assistant still owns is destroyed first. Null is refused (no change);
    /// the memory already in use is kept as it is.
    void setMemory(IQAIAssistantMemory* memory) override;
    /// Runs edit on the live store, then clamps the temperature to 0..2 and
    /// trims the host. Throws std::bad_function_call for an empty edit.
    std::string updateProperties(std::function<void(IQAIProperties*)> edit) override;
    /// A copy of the base store class, sharing the memory.
    IQAIProperties* obtainProperties() override;
    /// One message along the adapter's route, body and reply reading.
    std::pair<IQAIMessage*, std::string> addMessage(std::string text) override;
    std::pair<IQAIMessage*, std::string> addMessageStreaming(
        std::string text, std::function<bool(std::string_view)> onDelta) override;
    void setPromptCaching(bool on) override { promptCaching = on; }

protected:
    /// Takes memory (or creates one it owns when null), takes over pool,
    /// creates the session on it and the store, and sets the host with
    /// defaultHost as the fallback for an empty apiHost.
    QAIAssistant(ICSHTTPPoolCenter* pool, const std::string& apiHost, IQAIAssistantMemory* memory,
                 const std::string& defaultHost);

    /// How an adapter narrows the temperature after the base re-validation:
    /// a stored value above threshold (or equal to it when inclusive) becomes
    /// replacement.
    struct TemperatureCap {
        double threshold;
        bool inclusive;
        double replacement;
    };
    /// The base updateProperties followed, when it succeeded and "temperature"
    /// was ever assigned, by cap.
    std::string updatePropertiesCapped(std::function<void(IQAIProperties*)> edit, const TemperatureCap& cap);

    /// Starts a host call (addMessage, obtainAvailableModels): a Stop that
    /// came before it is forgotten, one from now on ends the call.
    void beginCall() { cfArmHTTPPoolCenter(pool.get()); }

    /// Records the memory hands to one request (at most 20 asked for).
    std::vector<QAIMemoryRecord> obtainHistory();
    /// Appends one {"role", "content"} item to messages.
    static void appendRoleContent(COJsonValue messages, std::string_view role, std::string_view content);
    /// Makes value an array of one text block, {"type":"text","text":...},
    /// which carries the prompt cache marker when marked.
    static void setTextBlock(COJsonValue value, std::string_view text, bool marked);
    /// Appends {"role", "content"} items to messages: the history ("assistant"
    /// for assistant records, "user" for any other role), then the user's text.
    /// With markedBlocks every content is a text block and the newest one
    /// carries the cache marker (a message's form stays the same from one
    /// request to the next; only the marker moves on).
    void appendConversation(COJsonValue messages, const std::string& text, bool markedBlocks = false);
    /// Builds the reply message and records the exchange (the user's text,
    /// then the reply) in the memory.
    std::pair<IQAIMessage*, std::string> completeExchange(const std::string& text, std::string reply,
                                                          QAIReplyFacts facts = {});

    /// A whole (not streamed) reply as read by an adapter: error text, or
    /// the reply's text and facts.
    struct WholeReply {
        std::string error;
        std::string text;
        QAIReplyFacts facts;
    };
    /// One streamed request, shared by every adapter: posts body to url,
    /// reads a stream through decoder and hands its text to onDelta; a reply
    /// that is not a stream goes through readWhole and reaches onDelta as one
    /// piece. cutSuffix ends the text of a stream cut before its end.
    std::pair<IQAIMessage*, std::string> streamExchange(
        const std::string& text, const std::string& url, const COJson& body, const HTTPParams& query,
        QAIStreamDecoder& decoder, const std::function<WholeReply(const HTTPResult&)>& readWhole,
        std::string_view cutSuffix, const std::function<bool(std::string_view)>& onDelta);

    /// Where one message goes, and the request suffix of the texts the
    /// library words for it.
    struct MessageRoute {
        std::string url;
        HTTPParams query;
        std::string suffix;
    };
    /// The route of a message to model; for an empty model only the suffix
    /// counts (it ends "Model is empty").
    virtual MessageRoute obtainMessageRoute(const std::string& model, bool streaming) = 0;
    /// Fills the request body of one message; streaming adds the stream fields.
    virtual void buildMessageBody(COJson& body, const std::string& text, bool streaming) = 0;
    /// Reads a whole (not streamed) reply; suffix is the route's.
    virtual WholeReply readMessageReply(const HTTPResult& result, const std::string& suffix) = 0;
    /// A new reader of the provider's streamed reply.
    virtual std::unique_ptr<QAIStreamDecoder> createStreamDecoder() = 0;

    /// qaiComposeError with every secret of the assistant blanked: its key in
    /// each form it is sent, the user information of its host and the proxy's.
    std::string composeError(const char* key, std::string_view suffix) const;
    /// A secret the session does not carry (a key sent as a query parameter).
    void addSecret(std::string secret) { secrets.push_back(std::move(secret)); }

    QAIAssistantProperties* obtainStore() const { return properties.get(); }
    /// Replaces the store by a subclass instance bound to the same memory.
    void replaceStore(std::unique_ptr<QAIAssistantProperties> store);
    CMRestSession* obtainSession() const { return session.get(); }
    IQAIAssistantMemory* obtainCurrentMemory() const { return memory; }
    /// The host asked for cache markers (adapters whose provider needs them).
    bool obtainPromptCaching() const { return promptCaching; }

private:
    IQAIAssistantMemory* memory = nullptr;
    bool ownsMemory = false;
    std::unique_ptr<QAIAssistantProperties> properties;
    std::unique_ptr<ICSHTTPPoolCenter> pool;
    std::unique_ptr<CMRestSession> session;
    std::vector<std::string> secrets;
    bool promptCaching = false;
};
