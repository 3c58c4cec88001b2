#include "console.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qai::cli {
namespace {

// Touched from the signal handler (POSIX) or the console handler thread
// (Windows): lock-free atomics only, no allocation, no stdio.
std::atomic<bool> requestPending{false};
std::atomic<int> interrupts{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

constexpr int kInterruptedStatus = 130;

// Returns true when the interrupt was taken as a request to stop the pending
// request; otherwise the caller ends the process.
bool countInterrupt() {
    if (!requestPending.load()) return false;
    return interrupts.fetch_add(1) == 0;
}

#if defined(_WIN32)
BOOL WINAPI onConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    if (!countInterrupt()) ExitProcess(kInterruptedStatus);
    return TRUE;
}
#else
extern "C" void onInterrupt(int) {
    if (!countInterrupt()) _exit(kInterruptedStatus);
}
#endif

}  // namespace

bool isTerminal(std::FILE* stream) {
#if defined(_WIN32)
    // A console handle, not just any character device (NUL is one too).
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), &mode) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void installInterruptHandler() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
#endif
}

void setRequestPending(bool pending) {
    interrupts.store(0);
    requestPending.store(pending);
}

bool takeInterrupt() { return interrupts.load() > 0; }

bool flushToDisk(std::FILE* stream) {
    if (std::fflush(stream) != 0) return false;
#if defined(_WIN32)
    return _commit(_fileno(stream)) == 0;
#else
    return fsync(fileno(stream)) == 0;
#endif
}

std::string replaceFile(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    if (MoveFileExW(std::filesystem::path(from).c_str(), std::filesystem::path(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return "";
    return std::system_category().message(static_cast<int>(GetLastError()));
#else
    if (std::rename(from.c_str(), to.c_str()) == 0) return "";
    return std::strerror(errno);
#endif
}

}  // namespace qai::cli
