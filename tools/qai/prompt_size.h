#pragma once
// The size of the instructions every request carries, and the warning when
// they grow past --max-prompt-tokens.
#include <cstddef>
#include <string>

#include "options.h"

namespace qai::cli {

/// Token estimates count this many bytes a token.
constexpr size_t kBytesPerToken = 4;

/// --max-prompt-tokens N (default 100000) into tokens; returns an error text.
std::string readMaxPromptTokens(const Options& options, size_t& tokens);

/// The warning line (with its line feed) when instructions are estimated above
/// maxTokens, naming the largest schemas; empty otherwise.
std::string promptSizeWarning(const std::string& instructions, size_t maxTokens);

}  // namespace qai::cli
