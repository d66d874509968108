// Test seam of the text logs: replaces the fopen(path, "wb") that opens every log,
// so fuzzing and benchmarks can keep logs in memory. Not for production code.
#pragma once

#include <cstdio>

namespace platform {

// Returns the stream for a log's path, or nullptr when it cannot be created.
// nullptr restores fopen.
using TextLogOpenFunction = std::FILE* (*)(const char* path);
void SetTextLogOpenForTesting(TextLogOpenFunction open);

}  // namespace platform
