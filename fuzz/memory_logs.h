// Text logs kept in memory for fuzzing: every log opens an unbuffered stream that
// takes its lines and drops them, so each input formats and writes its logs in full
// without creating, truncating and flushing files or allocating stream buffers.
#pragma once

#include <stdio.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "platform/debug_output.h"
#include "platform/text_log_testing.h"

namespace fuzz {

inline ssize_t DropLogBytes(void*, const char*, size_t size) { return static_cast<ssize_t>(size); }

inline std::FILE* OpenMemoryLog(const char*) {
    cookie_io_functions_t io{};
    io.write = DropLogBytes;
    std::FILE* file = fopencookie(nullptr, "w", io);
    if (file != nullptr) setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

// Logs in memory and debugger output dropped: call at the top of every input; only
// the first call installs them, before the first log opens.
inline void QuietOutputs() {
    static const bool installed = [] {
        platform::SetDebugSink([](std::string_view) {});
        platform::SetTextLogOpenForTesting(OpenMemoryLog);
        return true;
    }();
    (void)installed;
}

}  // namespace fuzz
