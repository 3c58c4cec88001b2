#pragma once
// Library-wide state (the host's callback and HTTP settings) and the lookup
// of the texts the library words itself.
#include <string>

#include "qai.h"

namespace qai {

/// The library's copy of the host's HTTP settings.
const CMRestGlobalSettings& obtainHTTPSettings();
/// The registered callback, or null.
QAILocalizationCallback obtainLocalizationCallback();

}  // namespace qai

/// The host's translation of text, or text itself when there is none.
std::string localizeText(const std::string& text);
