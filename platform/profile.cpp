// Interim: reads nothing, writes nothing (replaced by the full reader/writer).
#include "platform/profile.h"

#include <cerrno>
#include <cstring>

namespace platform {

int GetPrivateProfileInt(const char*, const char*, int default_value, const std::string&) {
    return default_value;
}

size_t GetPrivateProfileString(const char*, const char*, const char* default_value, char* buffer,
                               size_t size, const std::string&) {
    if (buffer == nullptr || size == 0) return 0;
    const char* d = default_value ? default_value : "";
    size_t n = std::min(std::strlen(d), size - 1);
    std::memcpy(buffer, d, n);
    buffer[n] = 0;
    return n;
}

std::string GetPrivateProfileString(const char*, const char*, const char* default_value,
                                    const std::string&) {
    return default_value ? default_value : "";
}

bool WritePrivateProfileString(const char*, const char*, const char*, const std::string&) {
    errno = ENOSYS;
    return false;
}

}  // namespace platform
