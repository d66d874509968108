// Debugger output: the diagnostic line channel of the whole program.
// Each call is one whole write, so lines from different threads never interleave.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Writes the text as given (most callers end it with "\n"). Without a sink it goes
// to stderr in one write(2), with a newline appended when the text has none.
void OutputDebugString(const char* text);

// printf-style convenience over OutputDebugString; any length.
void DebugPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the destination of every line (tests and headless tools). The sink is
// called under a process-wide lock, one call per line, with the exact text, which
// lives only for the call.
// An empty function restores stderr.
using DebugSink = std::function<void(std::string_view text)>;
void SetDebugSink(DebugSink sink);

}  // namespace platform
