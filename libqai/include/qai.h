#pragma once
// The host-facing surface of libqai: one assistant per conversation with a
// large-language-model provider. Every object the host receives is released
// with QAIFreeObject.
//
// Failures come back as text. Exactly three kinds of exception may pass out
// of a call, and a host that must not stop catches them around every call:
//  - allocation failures, std::bad_alloc (and std::length_error where a text
//    would outgrow std::string): a small description can render to far more
//    text than it takes, since its schema name is repeated on every line;
//  - the exceptions of the foundation library (libcf, the cf/ headers) that
//    the library calls into, passed on unchanged;
//  - std::bad_function_call from updateProperties given an empty function
//    (nothing is changed).
// Whatever the host's own code throws when the library calls it (the edit
// function, a host memory, the localization callback) passes through as well.
//
// Threads and blocking:
// - Every call runs on the caller's thread and returns when its work is done;
//   a call that asks the provider (obtainAvailableModels, addMessage) blocks
//   until the provider answered or a time-out ended it. The library calls the
//   host's memory and localization callback on that same thread.
// - One assistant, with its memory and the property copies it handed out, is
//   used by one thread at a time; different assistants may be used on
//   different threads at once.
// - QAISetHTTPSettings and QAIRegisterCallback change what every assistant
//   reads: call them only while no other thread is inside the library.
//
// Versions: a host tells which library it has from QAI_VERSION_*, the CMake
// package (find_package(qai 1.3)) or pkg-config (qai >= 1.3). Methods marked
// "came with 1.N" are missing from older libraries: a host that calls them
// requires 1.N through its package requirement. A host built for an older
// minor version runs with a newer library unchanged.
// - Methods are only ever appended to interfaces that the library alone
//   implements (IQAIAssistant, IQAIProperties, IQAIMessage,
//   IQAIMessageSection, the foundation's pool); that raises the minor version.
// - Any change to a struct the host passes (the HTTP settings) or to an
//   interface the host implements (the memory) raises the major version, and
//   with it the shared library's SOVERSION (the N of libqai.so.N): a host
//   built for one major version does not load another.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cf/CMRest.h"
#include "cf/CMVariant.h"

#if defined(_WIN32)
#if defined(QAI_BUILDING)
#define QAI_API __declspec(dllexport)
#else
#define QAI_API __declspec(dllimport)
#endif
#else
#define QAI_API __attribute__((visibility("default")))
#endif

/// Version of this header and of the library built from it (read by the build).
#define QAI_VERSION_MAJOR 1
#define QAI_VERSION_MINOR 3
#define QAI_VERSION_PATCH 0

/// Root of every object the host may release with QAIFreeObject.
class IQAIObject {
public:
    virtual ~IQAIObject() = default;
};

/// Host callback: key is always "QAILocalizeString", data a QAICallbackLocalizationInfo*.
using QAILocalizationCallback = void (*)(const char* key, void* data);

/// Record handed to the localization callback.
struct QAICallbackLocalizationInfo {
    /// Zero-terminated text to translate; valid only during the call.
    const char* text;
    /// Buffer for the zero-terminated translation; zero-filled on entry.
    char localized[1024];

    QAICallbackLocalizationInfo() = default;
    QAICallbackLocalizationInfo(const QAICallbackLocalizationInfo&) = default;
    /// Copies the text pointer and all 1024 bytes of localized.
    QAI_API QAICallbackLocalizationInfo& operator=(const QAICallbackLocalizationInfo& other);
    /// Same as the copy assignment; the source is left unchanged.
    QAI_API QAICallbackLocalizationInfo& operator=(QAICallbackLocalizationInfo&& other);
};

/// Provider of an assistant.
enum QAIAssistantType : int {
    QAIAssistantType_OPENAI = 0,
    QAIAssistantType_GOOGLE = 1,
    QAIAssistantType_DEEPSEEK = 2,
    QAIAssistantType_OLLAMA = 3,
    QAIAssistantType_X = 4,
    QAIAssistantType_ANTHROPIC = 5,
    QAIAssistantType_ALIBABA = 6,
    QAIAssistantType_BYTEDANCE = 7,
};

/// Role numbers of conversation records and reply messages.
enum QAIMemoryRole : int32_t {
    QAIMemoryRole_User = 0,
    QAIMemoryRole_Assistant = 1,
};

/// One entry of a conversation's history.
struct QAIMemoryRecord {
    int32_t role = QAIMemoryRole_User;
    std::string text;
};

/// Conversation history plus one free text (the database description).
class IQAIAssistantMemory : public IQAIObject {
public:
    virtual void setSummary(const std::string& text) = 0;
    virtual std::string obtainSummary() = 0;
    virtual void addMessage(int32_t role, const std::string& text) = 0;
    /// Records oldest first; what limit means is the implementation's business.
    virtual std::vector<QAIMemoryRecord> obtainMessages(int32_t limit) = 0;
};

// Property keys as constants: a misspelt key does not compile.
/// String: the provider's address; "https://" is put in front when no scheme is given.
inline constexpr const char* QAIPropertyKey_ApiHost = "api_host";
/// String: the model every message is sent to.
inline constexpr const char* QAIPropertyKey_Model = "model";
/// Boolean: whether the temperature is sent.
inline constexpr const char* QAIPropertyKey_UseTemperature = "use_temperature";
/// Double: the sampling temperature, clamped into the provider's range.
inline constexpr const char* QAIPropertyKey_Temperature = "temperature";
/// String: the user's own instructions.
inline constexpr const char* QAIPropertyKey_UserInstructions = "user_instructions";
/// CMVariantMap of strings: the host's instructions by name; an empty text removes one.
inline constexpr const char* QAIPropertyKey_SystemInstructions = "system_instructions";
/// List or JSON text of catalogs: the database description, sent as SQL DDL; kept in the memory.
inline constexpr const char* QAIPropertyKey_DBStructure = "db_structure";
/// String, read only: the instructions sent with every message.
inline constexpr const char* QAIPropertyKey_CombinedInstructions = "combined_instructions";
/// Integer, Anthropic only (live store, not copies): the reply's token limit, 1024 until assigned.
inline constexpr const char* QAIPropertyKey_MaxTokens = "max_tokens";

/// Typed key-value settings of an assistant.
class IQAIProperties : public IQAIObject {
public:
    /// (key, type description) pairs.
    virtual std::vector<std::pair<std::string, std::string>> obtainPropertyDescriptions() = 0;
    /// Null variant for an unknown key.
    virtual CMVariant obtainProperty(const std::string& key) = 0;
    /// True when the value was accepted.
    virtual bool setProperty(const std::string& key, const CMVariant& value) = 0;
};

/// Why a reply ended, as far as the provider said (came with 1.2).
enum QAIStopReason : int32_t {
    QAIStopReason_Unknown = 0,
    /// The model finished its answer (or reached a stop sequence).
    QAIStopReason_EndOfTurn = 1,
    /// The reply was cut at the token limit: it looks complete but is not.
    QAIStopReason_TokenLimit = 2,
    /// The provider withheld or cut the reply by its content rules.
    QAIStopReason_ContentFilter = 3,
    /// Any other reason the provider named (see obtainStopReasonText).
    QAIStopReason_Other = 4,
};

/// One part of a reply; owned by its message, never released by the host.
class IQAIMessageSection {
public:
    virtual ~IQAIMessageSection() = default;
    /// 0: text.
    virtual int32_t obtainType() = 0;
    /// Valid while the section lives.
    virtual std::string_view obtainText() = 0;
};

/// A reply of the model.
class IQAIMessage : public IQAIObject {
public:
    /// Seconds since 1970-01-01 UTC.
    virtual int64_t obtainCreatedTime() = 0;
    /// 1: assistant.
    virtual int32_t obtainRole() = 0;
    /// The message keeps ownership of the sections.
    virtual std::vector<IQAIMessageSection*>& obtainSections() = 0;
    /// Came with 1.2. Tokens of the request the provider counted; -1 when it did not say.
    virtual int64_t obtainInputTokens() = 0;
    /// Came with 1.2. Tokens of the reply; -1 when the provider did not say.
    virtual int64_t obtainOutputTokens() = 0;
    /// Came with 1.2. Why the reply ended; Unknown when the provider did not say.
    virtual QAIStopReason obtainStopReason() = 0;
    /// Came with 1.2. The provider's own word for the stop reason ("" when none).
    virtual std::string obtainStopReasonText() = 0;
    /// Came with 1.3. Of the input tokens, those the provider served from its
    /// prompt cache; -1 when it did not say. obtainInputTokens includes them.
    virtual int64_t obtainCachedInputTokens() = 0;
    /// Came with 1.3. Of the input tokens, those the provider wrote into its
    /// prompt cache; -1 when it did not say.
    virtual int64_t obtainCacheWriteTokens() = 0;
};

/// One conversation with one provider; used by one thread at a time.
class IQAIAssistant : public IQAIObject {
public:
    /// The caller becomes responsible for releasing the memory, and keeps it
    /// alive while the assistant still uses it.
    virtual IQAIAssistantMemory* obtainMemory() = 0;
    /// Uses memory from now on; the caller keeps ownership and keeps it alive
    /// while used, by the assistant and by the property copies made while it
    /// was in use. A memory the assistant still owns is destroyed first; null,
    /// or the memory already in use, changes nothing.
    virtual void setMemory(IQAIAssistantMemory* memory) = 0;
    virtual std::string obtainDefaultHost() = 0;
    /// (model names, error text); empty error text means success.
    /// Blocks until the provider answered (every page of the list) or a time-out.
    virtual std::pair<std::vector<std::string>, std::string> obtainAvailableModels() = 0;
    /// Edits the live store through edit, then re-validates it; returns an
    /// error text. An empty edit throws std::bad_function_call.
    virtual std::string updateProperties(std::function<void(IQAIProperties*)> edit) = 0;
    /// An independent copy the caller releases. Its db_structure (and so the
    /// DDL in combined_instructions) comes from the memory in use now, which
    /// the copy keeps (it does not follow a later setMemory). When that is
    /// the memory the assistant made itself, the copy notices its end,
    /// whoever ends it: from then on it reads and writes as if no description
    /// were set. A memory of the host's must outlive the copies that use it.
    virtual IQAIProperties* obtainProperties() = 0;
    /// (reply or null, error text); the caller releases the reply.
    /// Blocks until the provider answered or a time-out.
    virtual std::pair<IQAIMessage*, std::string> addMessage(std::string text) = 0;
    /// Came with 1.2. addMessage with the reply's text handed to onDelta piece
    /// by piece as it arrives, on the calling thread: each piece is non-empty
    /// and made of whole UTF-8 characters, and the final message's text is
    /// the pieces joined. onDelta returning false stops the request; an
    /// exception from it is caught and fails the call; an empty onDelta
    /// takes no pieces. The memory is updated
    /// only on success; a stop, a provider error mid-stream or a stream cut
    /// before its end return (null, error text) with the memory unchanged.
    /// The whole-request time limit bounds the wait for the first text; the
    /// stall limit counts reply text only, for the whole stream.
    virtual std::pair<IQAIMessage*, std::string> addMessageStreaming(
        std::string text, std::function<bool(std::string_view delta)> onDelta) = 0;
    /// Came with 1.3. Asks providers whose prompt cache needs markers
    /// (Anthropic, Alibaba) to cache the instructions and the history; off
    /// for a new assistant, and then every request is as before 1.3. The
    /// other providers cache a repeated prefix on their own: on changes
    /// nothing in their requests.
    virtual void setPromptCaching(bool on) = 0;
};

/// Destroys an object handed out by the library; null is ignored.
QAI_API void QAIFreeObject(IQAIObject* object);
/// Sets the one library-wide localization callback; null turns localization off.
/// Not while another thread is inside the library.
QAI_API void QAIRegisterCallback(QAILocalizationCallback callback);
/// Copies the HTTP settings used by every later request.
/// Not while another thread is inside the library.
QAI_API void QAISetHTTPSettings(const CMRestGlobalSettings& settings);
/// New assistant of type, or null for a type outside 0..7 (the pool then
/// stays the caller's). The assistant takes over pool; memory (may be null:
/// the assistant then makes its own) stays the caller's. Ollama ignores apiKey.
/// Stop: pool->cancelRequests() ends the assistant's running call at once
/// ("Request cancelled"); it is the one call that may come from another
/// thread, and is valid only while the assistant lives (the pool dies with it).
QAI_API IQAIAssistant* QAICreateAssistant(QAIAssistantType type, ICSHTTPPoolCenter* pool,
                                          const std::string& apiKey, const std::string& apiHost,
                                          IQAIAssistantMemory* memory);
