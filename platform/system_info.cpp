#include "platform/system_info.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <mutex>
#include <vector>

namespace platform {
namespace {

std::mutex g_dir_mutex;
std::string g_dir_override;

}  // namespace

std::string ComputerName() {
    char buf[HOST_NAME_MAX + 1] = {};
    if (gethostname(buf, sizeof buf - 1) != 0) return std::string();
    return std::string(buf);
}

std::string ProgramDirectory() {
    {
        std::lock_guard<std::mutex> lock(g_dir_mutex);
        if (!g_dir_override.empty()) return g_dir_override;
    }
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return std::string(".");
        if (static_cast<size_t>(n) < buf.size()) {
            std::string path(buf.data(), static_cast<size_t>(n));
            size_t slash = path.rfind('/');
            if (slash == std::string::npos) return std::string(".");
            if (slash == 0) return std::string("/");
            return path.substr(0, slash);
        }
        buf.resize(buf.size() * 2);
    }
}

void SetProgramDirectoryForTesting(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_dir_mutex);
    g_dir_override = dir;
}

int CreateDirectoryIfMissing(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0) return 0;
    int err = errno;
    if (err == EEXIST) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    }
    return err;
}

std::string ResolveDosDevice(const std::string& name, const std::string& fallback) {
    std::string lower;
    lower.reserve(name.size());
    for (char c : name) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    std::string entry = ProgramDirectory() + "/configuration/dosdevices/" + lower;
    struct stat st {};
    if (lstat(entry.c_str(), &st) == 0) return entry;
    return fallback;
}

}  // namespace platform
