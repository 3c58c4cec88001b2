#include "boundary/qai_library.h"

#include <cstring>

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

void QAIRegisterCallback(QAILocalizationCallback callback) { qai::setLocalizationCallback(callback); }

void QAISetHTTPSettings(const CMRestGlobalSettings& settings) { qai::setHTTPSettings(settings); }

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
