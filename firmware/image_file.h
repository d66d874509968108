// File access shared by the readers: a regular file opened for binary reading.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

namespace firmware::detail {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file "rb" and takes its size. On failure returns null and sets
// *error to the errno value (EISDIR, EINVAL for other non-regular files).
FileHandle OpenImageFile(const char* path, uint64_t* size, int* error);

// Reads exactly n bytes at offset; false on a read error or a file that shrank.
bool ReadFileAt(std::FILE* f, uint64_t offset, uint8_t* dst, size_t n, int* error);

}  // namespace firmware::detail
