#pragma once
// What the fuzz targets share: a check that stops the run with a message, and
// a reader that splits an input into the pieces a target needs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/qai_diagnostics.h"

/// Ends the run as a crash (libFuzzer keeps the input) when cond is false.
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (false)

namespace qai_fuzz {

/// Keeps the library's debug reports of malformed input off stderr: they are
/// expected here by the million.
inline void silenceDiagnostics() {
    static const bool once = (qai::diag::setListener([](const char*, const char*, void*) {}, nullptr), true);
    (void)once;
}

/// Consumes an input from the front; reads past the end give zeros and empty text.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

    uint8_t byte() {
        if (rest_.empty()) return 0;
        const auto value = static_cast<uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return value;
    }
    uint16_t word() {
        const uint16_t high = byte();
        return static_cast<uint16_t>(high << 8 | byte());
    }
    /// Text up to the next separator byte (dropped), or the rest.
    std::string_view until(char separator) {
        const size_t end = rest_.find(separator);
        const std::string_view piece = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        return piece;
    }
    std::string_view rest() {
        const std::string_view all = rest_;
        rest_ = {};
        return all;
    }

private:
    std::string_view rest_;
};

}  // namespace qai_fuzz
