#include "link/transport/device_identity.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <mutex>

namespace transport {
namespace {

std::mutex g_root_mutex;
std::string g_sysfs_root;  // empty: "/sys"

std::string SysfsRoot() {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    return g_sysfs_root.empty() ? std::string("/sys") : g_sysfs_root;
}

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::string();
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

DeviceIdentity IdentityOfStat(const struct stat& st) {
    DeviceIdentity id;
    if (!S_ISCHR(st.st_mode)) return id;
    const std::string root = SysfsRoot();
    const std::string entry = root + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                              std::to_string(minor(st.st_rdev));
    char resolved[4096];
    // Pseudo-terminals have no entry: nothing is known about them but their name.
    if (realpath(entry.c_str(), resolved) == nullptr) return id;
    id.known = true;
    id.device = static_cast<unsigned long long>(st.st_rdev);
    // Up from the tty to the USB device (the level that has idVendor), within sysfs.
    std::string dir = resolved;
    while (dir.size() > root.size()) {
        const std::string vendor = FirstLine(dir + "/idVendor");
        if (!vendor.empty()) {
            id.usb =
                vendor + ":" + FirstLine(dir + "/idProduct") + ":" + FirstLine(dir + "/serial");
            break;
        }
        const size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos || slash == 0) break;
        dir.resize(slash);
    }
    return id;
}

}  // namespace

DeviceIdentity IdentityOfPath(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return DeviceIdentity();
    return IdentityOfStat(st);
}

DeviceIdentity IdentityOfDescriptor(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return DeviceIdentity();
    return IdentityOfStat(st);
}

bool SameDevice(const DeviceIdentity& first, const DeviceIdentity& now) {
    if (!first.known) return true;
    if (!now.known) return false;
    if (!first.usb.empty() || !now.usb.empty()) return first.usb == now.usb;
    return first.device == now.device;
}

void SetSysfsRootForTesting(const std::string& root) {
    std::lock_guard<std::mutex> lock(g_root_mutex);
    g_sysfs_root = root;
}

}  // namespace transport
