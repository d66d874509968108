// Private-profile (INI) files with the semantics of the Windows functions
// GetPrivateProfileIntA / GetPrivateProfileStringA / WritePrivateProfileStringA:
//  - section and key names are case-insensitive; the first match wins;
//  - whitespace around names and values is trimmed; a value in matching quotes loses them;
//  - a write replaces the value in place, or appends the key at the end of its section,
//    or appends a new section at the end; everything else (other sections, keys,
//    comments, their order) is kept; lines are written with CR LF;
//  - the file is created when missing (its directory is not);
//  - writes are atomic (temporary file beside it, flush, rename);
//  - values are escaped on write ("\\" -> "\\\\", CR -> "\\r", LF -> "\\n") and
//    unescaped on read, so multi-line texts survive; files without escapes read as before.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Default only when the key is missing or its value empty; otherwise an optional sign
// and the leading decimal digits ("abc" -> 0, "2x" -> 2, "-3" -> -3), keeping the low
// 32 bits of a longer number ("4294967298" -> 2).
int GetPrivateProfileInt(const char* section, const char* key, int default_value,
                         const std::string& path);

// Copies at most size - 1 characters and a terminating NUL; returns the number of
// characters copied. A null default counts as ""; a default loses its trailing blanks.
// A null key lists the section's key names, a null section lists the section names:
// each name NUL-terminated, the list ended by one more NUL. When the list does not
// fit, the last name is cut and followed by two NULs, and the result is size - 2.
size_t GetPrivateProfileString(const char* section, const char* key, const char* default_value,
                               char* buffer, size_t size, const std::string& path);

// The whole value, untruncated. With a null key or section: the names, each
// followed by a NUL.
std::string GetPrivateProfileString(const char* section, const char* key, const char* default_value,
                                    const std::string& path);

// Writes key = value. A null value deletes the key; a null key deletes the section.
// Returns true on success; on failure returns false with errno set and the old
// file untouched. Names that could not be read back are refused with EINVAL: an
// empty section, a section containing ']', an empty key, a key containing '=' or
// starting with ';', '#' or '['. A null section is refused the same way.
// Writers in one process are serialised, so concurrent writes lose no key.
bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const std::string& path);

}  // namespace platform
