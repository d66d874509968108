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

// Creates a directory and any missing parents (new levels get the given mode). Returns 0
// when the directory exists afterwards, otherwise the errno value of the failing level.
int CreateDirectories(const std::string& path, unsigned mode = 0777);

// True when program_dir is where an installed copy runs from: "<prefix>/bin" next to
// "<prefix>/share/velt-monitoring", or one of the system's program directories.
bool IsInstalledProgramDirectory(const std::string& program_dir);

// The per-user configuration folder: $XDG_CONFIG_HOME when it is an absolute path, else
// "<home>/.config" ($HOME, else the password database); empty when no home is known.
std::string UserConfigHome();

// Where the configuration directory lives for a program in program_dir. A program in its
// build tree keeps "<program_dir>/configuration". An installed program, or one whose
// existing directory it cannot write, uses "<UserConfigHome>/velt-monitoring/configuration"
// (also as root: never a folder inside a system directory).
std::string ConfigurationDirectoryFor(const std::string& program_dir);
// The same for the running program (ProgramDirectory()).
std::string ConfigurationDirectory();

// Read-only files shipped with the program (Ding.wav): "<prefix>/share/velt-monitoring"
// for an installed program, else the program directory.
std::string DataDirectory();

// The device map: "<configuration directory>/dosdevices/<name in lower case>" when that
// entry exists (normally a symbolic link to the real device or folder), otherwise the
// fallback. "COM1" looks up "com1", "D:" looks up "d:".
std::string ResolveDosDevice(const std::string& name, const std::string& fallback);
// The map entry's path for name, whether it exists or not.
std::string DosDeviceEntry(const std::string& name);
// What the map entry of name points at (the link's text); empty when it is not mapped.
std::string DosDeviceTarget(const std::string& name);

}  // namespace platform
