#pragma once
// What the HTTP layer offers the application factory.
#include "cf/CFAppFactory.h"

namespace cf_internal {
/// New executor over session with settings (null settings: the defaults).
ICSRestExecutor* createRestExecutor(const CMRestGlobalSettings* settings, CMRestSession* session);
/// The describer of the codes the executors return; lives for the process.
ICSErrorDescriber* obtainErrorDescriber();
}  // namespace cf_internal
