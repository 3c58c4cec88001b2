#pragma once
// Between JSON text and a document: reading (cf_json_read.cpp) and writing
// (cf_json_write.cpp). Text is kept as it came, whatever its bytes; what goes
// out as JSON is always valid UTF-8, and a lone surrogate escape coming in is
// no reason to refuse a whole document. Both become U+FFFD.
#include <rapidjson/document.h>

#include <string>
#include <string_view>

namespace cf_internal {

/// Parses text into document; false, with document null, when the text is no
/// valid JSON. A lone surrogate escape reads as U+FFFD.
bool parseJson(std::string_view text, rapidjson::Document& document);

/// The compact JSON text of root, always valid UTF-8.
std::string serialise(const rapidjson::Value& root);

}  // namespace cf_internal
