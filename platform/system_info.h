// Host facts the program shows or builds paths from.
#pragma once

#include <string>

namespace platform {

// The machine's host name; empty when it cannot be read.
std::string ComputerName();

// Directory of the running executable (from /proc/self/exe), without a trailing '/'.
// Tests may override it so that configuration and device maps live in a temp dir.
std::string ProgramDirectory();
void SetProgramDirectoryForTesting(const std::string& dir);  // empty restores the real one

// Creates one directory level. Returns 0 when it was created or already exists as a
// directory, otherwise the errno value.
int CreateDirectoryIfMissing(const std::string& path);

// The device map: "<program directory>/configuration/dosdevices/<name in lower case>"
// when that entry exists (normally a symbolic link to the real device or folder),
// otherwise the fallback. "COM1" looks up "com1", "D:" looks up "d:".
std::string ResolveDosDevice(const std::string& name, const std::string& fallback);

}  // namespace platform
