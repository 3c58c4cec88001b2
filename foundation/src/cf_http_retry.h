#pragma once
// The retry policy: which failed attempts are tried again, and after what wait.
#include <chrono>

#include "cf_transfer.h"

namespace cf_internal {

/// More retries than this are never made, whatever the settings say.
constexpr int kMostRetries = 10;

/// Whether an attempt's end is worth another attempt: a status that says the
/// trouble may pass (408, 409, 429, 5xx), or a connection that failed before
/// any byte of a reply arrived. A time-out never is: the next attempt would
/// only make the caller wait as long again.
bool worthRetrying(const Transfer::Outcome& outcome, long status);

/// Before retry number retry (0 for the first): what the server asked for,
/// else 0.5 s doubled per retry up to 8 s, less up to a quarter at random so
/// that many clients do not return in step.
std::chrono::milliseconds retryDelay(const Transfer::Outcome& outcome, int retry, long capSeconds);

}  // namespace cf_internal
