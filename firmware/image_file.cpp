#include "firmware/image_file.h"

#include <sys/stat.h>

#include <cerrno>

namespace firmware::detail {

FileHandle OpenImageFile(const char* path, uint64_t* size, int* error) {
    FileHandle f(std::fopen(path, "rb"));
    if (!f) {
        *error = errno;
        return nullptr;
    }
    // fopen succeeds on a directory; only a regular file has a size worth trusting.
    struct stat st {};
    if (fstat(fileno(f.get()), &st) != 0) {
        *error = errno;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return f;
}

bool ReadFileAt(std::FILE* f, uint64_t offset, uint8_t* dst, size_t n, int* error) {
    if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0) {
        *error = errno;
        return false;
    }
    size_t got = std::fread(dst, 1, n, f);
    if (got != n) {
        *error = std::ferror(f) ? errno : 0;
        return false;
    }
    return true;
}

}  // namespace firmware::detail
