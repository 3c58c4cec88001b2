#include "core/qai_diagnostics.h"

#include <cstdio>

namespace qai::diag {
namespace {
Listener gListener = nullptr;
void* gUser = nullptr;
}  // namespace

void setListener(Listener listener, void* user) {
    gListener = listener;
    gUser = user;
}

void report(const char* condition, const char* file) {
    if (gListener) {
        gListener(condition, file, gUser);
        return;
    }
#ifndef NDEBUG
    std::fprintf(stderr, "libqai diagnostic: %s (%s)\n", condition, file);
#endif
}
}  // namespace qai::diag
