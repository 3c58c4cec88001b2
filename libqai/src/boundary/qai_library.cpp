#include "boundary/qai_library.h"

#include <cstring>

#include "core/qai_diagnostics.h"

namespace {
// Plain library-wide data: the host must not change either while another
// thread is inside the library.
QAILocalizationCallback gCallback = nullptr;
CMRestGlobalSettings gSettings;
}  // namespace

namespace qai {
const CMRestGlobalSettings& obtainHTTPSettings() { return gSettings; }
QAILocalizationCallback obtainLocalizationCallback() { return gCallback; }
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

QAICallbackLocalizationInfo& QAICallbackLocalizationInfo::operator=(
    const QAICallbackLocalizationInfo& other) {
    if (this != &other) {
        text = other.text;
        std::memcpy(localized, other.localized, sizeof localized);
    }
    return *this;
}

QAICallbackLocalizationInfo& QAICallbackLocalizationInfo::operator=(QAICallbackLocalizationInfo&& other) {
    return *this = static_cast<const QAICallbackLocalizationInfo&>(other);
}

void QAIFreeObject(IQAIObject* object) { delete object; }

void QAIRegisterCallback(QAILocalizationCallback callback) { gCallback = callback; }

void QAISetHTTPSettings(const CMRestGlobalSettings& settings) { gSettings = settings; }

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX  // mingw's C++ library defines it already
#define NOMINMAX
#endif
#include <windows.h>
// Thread attach and detach notifications are of no use to the library.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif
