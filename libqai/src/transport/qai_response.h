#pragma once
// Shared rules for reading provider answers and wording the library's own errors.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "cf/CMRest.h"
#include "cf/COJson.h"
#include "transport/qai_http.h"

/// Error keys the library words itself; each is localized before use.
inline constexpr const char* kQAIModelIsEmpty = "Model is empty";
inline constexpr const char* kQAIInvalidResponse = "Invalid response";
inline constexpr const char* kQAIUnsupportedDataFormat = "Unsupported data format";
/// A streamed reply that ended before the protocol's end marker.
inline constexpr const char* kQAIStreamCut = "The reply ended before it was complete";
/// A call ended by the host's Stop; worded without an operation suffix.
inline constexpr const char* kQAIRequestCancelled = "Request cancelled";

/// The provider's "error"."message" when the body is valid JSON with a string
/// there; otherwise the raw body (which may be empty).
std::string errorTextFromResponse(const CMRestResourceResponse* response);

/// How a provider's failure body becomes an error text.
using QAIErrorTextExtractor = std::string (*)(const CMRestResourceResponse* response);

/// Error text of a request the transport reported as failed: the provider's
/// text from the response when it gives one, else the transport's own text.
std::string qaiFailureText(const HTTPResult& result, QAIErrorTextExtractor extractor = errorTextFromResponse);

/// Model names ordered by a time key, newest first; names with equal keys
/// keep the order in which they were added.
class QAINewestFirst {
public:
    void add(int32_t key, std::string name) { byKey_.emplace(key, std::move(name)); }
    std::vector<std::string> take();

private:
    // multimap inserts after existing equal keys, which keeps reply order.
    std::multimap<int32_t, std::string, std::greater<int32_t>> byKey_;
};

/// The localized key followed directly by the operation suffix (": p/v1/...").
std::string qaiComposeError(const char* key, std::string_view suffix);

/// Root of the response's document when it holds valid JSON; absent otherwise
/// (no response, no document, invalid text).
COJsonValue qaiValidRoot(const CMRestResourceResponse* response);

/// A token count: a non-negative integer, else -1 (not said).
int64_t qaiTokenCount(const COJsonValue& value);
/// Overwrites into when value holds a token count (running totals).
void qaiTakeTokenCount(const COJsonValue& value, int64_t& into);
/// The first of values that holds a token count; -1 when none does.
int64_t qaiFirstTokenCount(std::initializer_list<COJsonValue> values);
/// A string value, else empty.
std::string qaiStringOf(const COJsonValue& value);
