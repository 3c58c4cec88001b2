#pragma once
// Library-wide state that requests and texts read (the host's HTTP settings
// and localization callback), and the lookup of the texts the library words
// itself. The exported setters in boundary write it.
#include <string>

#include "qai.h"

namespace qai {

/// The library's copy of the host's HTTP settings.
const CMRestGlobalSettings& obtainHTTPSettings();
void setHTTPSettings(const CMRestGlobalSettings& settings);
/// The registered callback, or null.
QAILocalizationCallback obtainLocalizationCallback();
void setLocalizationCallback(QAILocalizationCallback callback);

}  // namespace qai

/// The host's translation of text, or text itself when there is none.
std::string localizeText(const std::string& text);
