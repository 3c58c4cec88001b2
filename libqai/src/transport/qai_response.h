#pragma once
// Shared rules for reading provider answers and wording the library's own errors.
#include <string>
#include <string_view>

#include "cf/CMRest.h"
#include "cf/COJson.h"

/// Error keys the library words itself; each is localized before use.
inline constexpr const char* kQAIModelIsEmpty = "Model is empty";
inline constexpr const char* kQAIInvalidResponse = "Invalid response";
inline constexpr const char* kQAIUnsupportedDataFormat = "Unsupported data format";

/// The provider's "error"."message" when the body is valid JSON with a string
/// there; otherwise the raw body (which may be empty).
std::string errorTextFromResponse(const CMRestResourceResponse* response);

/// The localized key followed directly by the operation suffix (": p/v1/...").
std::string qaiComposeError(const char* key, std::string_view suffix);

/// Root of the response's document when it holds valid JSON; absent otherwise
/// (no response, no document, invalid text).
COJsonValue qaiValidRoot(const CMRestResourceResponse* response);
