#pragma once
// Non-fatal reports of caller programming errors (a value of the wrong type,
// a malformed database description). A report never stops the operation and
// never reaches the host's error texts.

namespace qai::diag {

/// Receives the failed condition's text and the source file's name.
using Listener = void (*)(const char* condition, const char* file, void* user);

/// Installs (or, with null, removes) the one listener; used by tests and
/// debugging hosts. Debug builds without a listener write to stderr; release
/// builds without a listener do nothing.
void setListener(Listener listener, void* user);

void report(const char* condition, const char* file);

}  // namespace qai::diag

/// Reports `condition_text` from this source file. Only a string literal
/// compiles here, so a diagnostic never carries a runtime value (a key, a host).
#define QAI_DIAGNOSE(condition_text) ::qai::diag::report("" condition_text, __FILE__)
/// Reports the text of `cond` when it is false; evaluates to `cond`.
#define QAI_CHECK(cond) ((cond) ? true : (::qai::diag::report(#cond, __FILE__), false))
