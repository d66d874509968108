// Test seams of the private-profile files: the write(2) used to fill the temporary
// file, so tests can simulate a full disk or a crash half-way through a save, and
// the whole-file read and replace, so fuzzing keeps the file in memory. Not for
// production code.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace platform {

using ProfileWriteFunction = ssize_t (*)(int fd, const void* data, size_t size);

// nullptr restores the real write(2).
void SetProfileWriteFunctionForTesting(ProfileWriteFunction function);

// Where every read and save of a profile goes instead of the disk: read fills text
// and returns 0 or an errno value; replace stores the new text and returns false
// with errno set on failure. nullptr restores the disk.
struct ProfileFiles {
    int (*read)(const std::string& path, std::string& text);
    bool (*replace)(const std::string& path, const std::string& text);
};
void SetProfileFilesForTesting(const ProfileFiles* files);

}  // namespace platform
