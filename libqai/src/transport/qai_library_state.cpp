#include "transport/qai_library_state.h"

#include <cstring>

namespace {
// Plain library-wide data: the host must not change either while another
// thread is inside the library.
QAILocalizationCallback gCallback = nullptr;
CMRestGlobalSettings gSettings;
}  // namespace

namespace qai {
const CMRestGlobalSettings& obtainHTTPSettings() { return gSettings; }
void setHTTPSettings(const CMRestGlobalSettings& settings) { gSettings = settings; }
QAILocalizationCallback obtainLocalizationCallback() { return gCallback; }
void setLocalizationCallback(QAILocalizationCallback callback) { gCallback = callback; }
}  // namespace qai

std::string localizeText(const std::string& text) {
    if (text.empty()) return {};
    QAILocalizationCallback callback = gCallback;
    if (!callback) return text;
    QAICallbackLocalizationInfo info;
    info.text = text.c_str();
    std::memset(info.localized, 0, sizeof info.localized);
    callback("QAILocalizeString", &info);
    // A host may fill every byte without a terminating zero: never read past the buffer.
    const void* end = std::memchr(info.localized, 0, sizeof info.localized);
    size_t length =
        end ? static_cast<size_t>(static_cast<const char*>(end) - info.localized) : sizeof info.localized;
    if (length == 0) return text;
    return std::string(info.localized, length);
}
