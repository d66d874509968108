// Whether a file about to be written is one that must not be: an input of the same
// run, or a session that a recorder is writing. Names are compared as files, not as
// text, so "./x", a symbolic link to x and a hard link of x are all x.
#pragma once

#include <string>

namespace platform {

// True when a and b name one existing file: the same device and inode, symbolic links
// followed. A path that does not exist (yet) is never the same as anything.
bool SameFile(const std::string& a, const std::string& b);

// True when path is an existing regular file that another open file holds under an
// exclusive lock (flock): session recordings and captures hold theirs while they
// write. Tells nothing about files written without a lock.
bool HeldByWriter(const std::string& path);

// Where a write to path lands: its symbolic links followed to the end (a link to a
// file not made yet gives that file's path), so that a writer that renames a whole
// file into place replaces the linked file, not the link. path when it is no link.
std::string WriteTarget(const std::string& path);

}  // namespace platform
