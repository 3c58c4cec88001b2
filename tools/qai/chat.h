#pragma once
// The conversation on a terminal or a pipe: one message per line, or a single
// exchange.
#include <cstdio>
#include <istream>
#include <string>

#include "history.h"
#include "session.h"

namespace qai::cli {

struct ChatSettings {
    bool stats = false;              ///< token usage and stop reason after each reply
    bool indicator = false;          ///< a waiting indicator on standard error
    bool prompt = false;             ///< a prompt before each line read
    HistoryFile* history = nullptr;  ///< checked after each exchange when set
};

/// Sends text and prints the reply; returns false after a failure, which is
/// printed on standard error. An interrupt stops the pending request.
bool exchange(Session& session, const std::string& text, const ChatSettings& settings);

/// Reads messages from in until its end; returns the exit status (1 when
/// an exchange failed).
int converse(Session& session, std::istream& in, const ChatSettings& settings);

}  // namespace qai::cli
