#pragma once
// The few things the program needs from the operating system beyond standard
// C++: whether a stream is a terminal, the interrupt key, and making a file's
// bytes durable. The only file with platform code is console.cpp.
#include <cstdio>
#include <string>

namespace qai::cli {

/// True when the stream is attached to an interactive terminal.
bool isTerminal(std::FILE* stream);

/// Installs the interrupt (Ctrl-C) handler. While no request is pending an
/// interrupt ends the program at once (status 130); while one is pending the
/// first interrupt is only counted (see takeInterrupt) and a second one ends
/// the program.
void installInterruptHandler();
/// Marks whether a request is pending; clearing it forgets counted interrupts.
void setRequestPending(bool pending);
/// True when an interrupt arrived while the current request was pending.
bool takeInterrupt();

/// Flushes the stream and asks the system to put its bytes on the disk.
bool flushToDisk(std::FILE* stream);

/// Puts the file from in the place of to in one step, replacing it; returns
/// an error text, empty on success.
std::string replaceFile(const std::string& from, const std::string& to);

}  // namespace qai::cli
