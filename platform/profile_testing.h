// Test seam of the private-profile writer: replaces the write(2) used to fill the
// temporary file, so tests can simulate a full disk or a crash half-way through a
// save. Not for production code.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace platform {

using ProfileWriteFunction = ssize_t (*)(int fd, const void* data, size_t size);

// nullptr restores the real write(2).
void SetProfileWriteFunctionForTesting(ProfileWriteFunction function);

// Off skips the fsync calls of a save (fuzzing speed); on by default.
void SetProfileFsyncForTesting(bool enabled);

}  // namespace platform
