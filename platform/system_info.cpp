#include "platform/system_info.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace platform {
namespace {

std::mutex g_dir_mutex;
std::string g_dir_override;

constexpr const char* kPackageName = "velt-monitoring";

std::string WithoutTrailingSlash(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir.empty() ? std::string(".") : dir;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// "<prefix>/share/velt-monitoring" when dir is "<prefix>/bin" of an installed copy.
std::string InstalledDataDirectory(const std::string& dir) {
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos || dir.compare(slash, std::string::npos, "/bin") != 0)
        return std::string();
    std::string data = dir.substr(0, slash) + "/share/" + kPackageName;
    return IsDirectory(data) ? data : std::string();
}

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return std::string();
}

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

int CreateDirectories(const std::string& path, unsigned mode) {
    if (path.empty()) return ENOENT;
    if (IsDirectory(path)) return 0;
    for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        std::string level = path.substr(0, at);
        if (!level.empty() && level.back() != '/' && mkdir(level.c_str(), mode) != 0 &&
            errno != EEXIST)
            return errno;
        if (at == std::string::npos) break;
    }
    return IsDirectory(path) ? 0 : ENOTDIR;
}

bool IsInstalledProgramDirectory(const std::string& program_dir) {
    const std::string dir = WithoutTrailingSlash(program_dir);
    for (const char* system : {"/bin", "/sbin", "/usr/bin", "/usr/sbin", "/usr/local/bin",
                               "/usr/local/sbin", "/usr/games"})
        if (dir == system) return true;
    return !InstalledDataDirectory(dir).empty();
}

std::string UserConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return WithoutTrailingSlash(xdg);
    std::string home = HomeDirectory();
    if (home.empty()) return std::string();
    return WithoutTrailingSlash(home) + "/.config";
}

std::string ConfigurationDirectoryFor(const std::string& program_dir) {
    const std::string dir = WithoutTrailingSlash(program_dir);
    // A directory that does not exist yet is a build tree still being set up.
    bool per_user = IsInstalledProgramDirectory(dir) ||
                    (access(dir.c_str(), W_OK) != 0 && errno != ENOENT && errno != ENOTDIR);
    if (per_user) {
        std::string home = UserConfigHome();
        if (!home.empty()) return home + "/" + kPackageName + "/configuration";
    }
    return dir == "/" ? std::string("/configuration") : dir + "/configuration";
}

std::string ConfigurationDirectory() { return ConfigurationDirectoryFor(ProgramDirectory()); }

std::string DataDirectory() {
    const std::string dir = ProgramDirectory();
    std::string data = InstalledDataDirectory(dir);
    return data.empty() ? dir : data;
}

std::string DosDeviceEntry(const std::string& name) {
    std::string lower;
    lower.reserve(name.size());
    for (char c : name)
        lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return ConfigurationDirectory() + "/dosdevices/" + lower;
}

std::string ResolveDosDevice(const std::string& name, const std::string& fallback) {
    std::string entry = DosDeviceEntry(name);
    struct stat st {};
    if (lstat(entry.c_str(), &st) == 0) return entry;
    return fallback;
}

std::string DosDeviceTarget(const std::string& name) {
    std::string entry = DosDeviceEntry(name);
    std::vector<char> buf(4096);
    ssize_t n = readlink(entry.c_str(), buf.data(), buf.size());
    if (n > 0 && static_cast<size_t>(n) < buf.size())
        return std::string(buf.data(), static_cast<size_t>(n));
    struct stat st {};
    // A plain file or folder in the map stands for itself.
    if (n < 0 && lstat(entry.c_str(), &st) == 0) return entry;
    return std::string();
}

}  // namespace platform
