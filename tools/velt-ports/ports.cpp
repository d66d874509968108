#include "tools/velt-ports/ports.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "platform/system_info.h"

namespace velt_ports {
namespace fs = std::filesystem;

namespace {

// libftdi's default search (vendor 0 and product 0): the FTDI chips the program lists.
constexpr const char* kFtdiVendor = "0403";
constexpr const char* kFtdiProducts[] = {"6001", "6010", "6011", "6014", "6015"};

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::string();
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

std::string LinkBaseName(const std::string& path) {
    std::error_code ec;
    fs::path target = fs::read_symlink(path, ec);
    return ec ? std::string() : target.filename().string();
}

std::string Canonical(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::canonical(path, ec);
    return ec ? std::string() : p.string();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    return names;
}

std::string GroupName(gid_t gid) {
    std::vector<char> buf(16384);
    group gr{};
    group* found = nullptr;
    if (getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found != nullptr)
        return found->gr_name;
    return std::to_string(gid);
}

// ttyS*, ttyUSB*, ttyACM*: the prefix's rank and the number, for a natural order.
bool SerialName(const std::string& name, int* rank, long* number) {
    static const std::regex re("^tty(S|USB|ACM)([0-9]+)$");
    std::smatch m;
    if (!std::regex_match(name, m, re)) return false;
    *rank = m[1] == "S" ? 0 : m[1] == "USB" ? 1 : 2;
    *number = std::strtol(m[2].str().c_str(), nullptr, 10);
    return true;
}

// "0403" for "403" or "0403".
std::string Hex4(std::string id) {
    for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (id.size() < 4) id.insert(0, "0");
    return id;
}

void ReadUsbIdentity(const std::string& dir, std::string* vendor, std::string* product_id,
                     std::string* manufacturer, std::string* product, std::string* serial) {
    *vendor = Hex4(ReadLine(dir + "/idVendor"));
    *product_id = Hex4(ReadLine(dir + "/idProduct"));
    if (manufacturer) *manufacturer = ReadLine(dir + "/manufacturer");
    *product = ReadLine(dir + "/product");
    *serial = ReadLine(dir + "/serial");
}

void ScanRules(const std::string& root, Machine* m) {
    // Both spellings brltty's rules use: ENV{PRODUCT}=="403/6001/*" and
    // ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001".
    static const std::regex product(R"(PRODUCT\}=="([0-9a-fA-F]{1,4})/([0-9a-fA-F]{1,4})/)");
    static const std::regex ids(
        R"re(idVendor\}=="([0-9a-fA-F]{4})".*idProduct\}=="([0-9a-fA-F]{4})")re");
    for (const char* dir :
         {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
        for (const std::string& name : Entries(root + dir)) {
            std::ifstream in(root + dir + "/" + name);
            const bool brltty = name.find("brltty") != std::string::npos;
            std::string line;
            while (std::getline(in, line)) {
                if (line.empty() || line[0] == '#') continue;
                std::smatch match;
                if (brltty && (std::regex_search(line, match, product) ||
                               std::regex_search(line, match, ids))) {
                    std::string claim = Hex4(match[1]) + ":" + Hex4(match[2]);
                    if (std::find(m->brltty_claims.begin(), m->brltty_claims.end(), claim) ==
                        m->brltty_claims.end())
                        m->brltty_claims.push_back(claim);
                }
                if (!brltty && line.find(kFtdiVendor) != std::string::npos &&
                    line.find("uaccess") != std::string::npos)
                    m->access_rule_installed = true;
            }
        }
    }
}

void ScanUser(Machine* m) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    gid_t primary = getgid();
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        m->user = found->pw_name;
        primary = found->pw_gid;
    }
    int n = getgroups(0, nullptr);
    std::vector<gid_t> gids(n > 0 ? static_cast<size_t>(n) : 0);
    if (n > 0) n = getgroups(n, gids.data());
    gids.resize(n > 0 ? static_cast<size_t>(n) : 0);
    gids.push_back(getegid());
    for (gid_t g : gids) m->session_groups.push_back(GroupName(g));
    if (!m->user.empty()) {
        int count = 64;
        std::vector<gid_t> account(static_cast<size_t>(count));
        if (getgrouplist(m->user.c_str(), primary, account.data(), &count) < 0) {
            account.resize(static_cast<size_t>(count));
            getgrouplist(m->user.c_str(), primary, account.data(), &count);
        }
        account.resize(static_cast<size_t>(std::max(count, 0)));
        for (gid_t g : account) m->account_groups.push_back(GroupName(g));
    }
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::string Describe(const SerialDevice& d) {
    std::string s = d.node;
    if (!d.product.empty()) s += " (" + d.product + ")";
    return s;
}

}  // namespace

bool UsbDevice::IsProgramConverter() const {
    if (vendor_id != kFtdiVendor) return false;
    for (const char* p : kFtdiProducts)
        if (product_id == p) return true;
    return false;
}

std::string PortName(const std::string& text) {
    static const std::regex re("^[cC][oO][mM]([1-9]|1[0-2])$");
    std::smatch m;
    if (!std::regex_match(text, m, re)) return std::string();
    return "COM" + m[1].str();
}

Machine Scan(const Options& o) {
    Machine m;
    auto rw = o.can_read_write ? o.can_read_write : [](const std::string& path) {
        return access(path.c_str(), R_OK | W_OK) == 0;
    };
    std::string root = o.root;
    while (!root.empty() && root.back() == '/') root.pop_back();

    // The stable names, by the node they lead to.
    std::map<std::string, std::string> by_id;
    std::vector<std::string> ids = Entries(root + "/dev/serial/by-id");
    std::sort(ids.begin(), ids.end());
    for (const std::string& name : ids) {
        std::string node = Canonical(root + "/dev/serial/by-id/" + name);
        if (!node.empty() && by_id.count(node) == 0) by_id[node] = "/dev/serial/by-id/" + name;
    }

    struct Named {
        int rank;
        long number;
        std::string name;
    };
    const std::string sys = root + "/sys";
    std::vector<Named> names;
    for (const std::string& name : Entries(root + "/sys/class/tty")) {
        Named n{0, 0, name};
        if (SerialName(name, &n.rank, &n.number)) names.push_back(n);
    }
    std::sort(names.begin(), names.end(), [](const Named& a, const Named& b) {
        return a.rank != b.rank ? a.rank < b.rank : a.number < b.number;
    });
    for (const Named& n : names) {
        const std::string cls = root + "/sys/class/tty/" + n.name;
        if (!Exists(cls + "/device")) continue;  // virtual terminals and the like
        // Every ttyS* exists; only those with a UART behind them report a type.
        if (n.rank == 0) {
            std::string type = ReadLine(cls + "/type");
            if (type.empty() || type == "0") continue;
        }
        SerialDevice d;
        d.node = "/dev/" + n.name;
        // Newer kernels put serial-base port and controller devices between the tty and
        // the device whose driver matters.
        for (fs::path p = Canonical(cls + "/device"); !p.empty() && p.string().rfind(sys, 0) == 0;
             p = p.parent_path()) {
            d.driver = LinkBaseName((p / "driver").string());
            if (LinkBaseName((p / "subsystem").string()) != "serial-base" || p == p.parent_path())
                break;
        }
        std::string latency = ReadLine(cls + "/device/latency_timer");
        if (!latency.empty() && std::isdigit(static_cast<unsigned char>(latency[0])))
            d.latency_ms =
                static_cast<int>(std::min(std::strtol(latency.c_str(), nullptr, 10), 255L));
        for (fs::path p = Canonical(cls + "/device"); !p.empty() && p.string().rfind(sys, 0) == 0;
             p = p.parent_path()) {
            if (Exists((p / "idVendor").string())) {
                ReadUsbIdentity(p.string(), &d.vendor_id, &d.product_id, &d.manufacturer,
                                &d.product, &d.serial);
                break;
            }
            if (p == p.parent_path()) break;
        }
        const std::string node = root + d.node;
        auto id = by_id.find(Canonical(node));
        if (id != by_id.end()) d.by_id = id->second;
        d.accessible = rw(node);
        struct stat st {};
        if (stat(node.c_str(), &st) == 0) d.group = GroupName(st.st_gid);
        m.devices.push_back(d);
    }

    std::vector<std::string> usb = Entries(root + "/sys/bus/usb/devices");
    std::sort(usb.begin(), usb.end());
    for (const std::string& name : usb) {
        const std::string dir = root + "/sys/bus/usb/devices/" + name;
        if (!Exists(dir + "/idVendor")) continue;  // an interface, not a device
        UsbDevice u;
        ReadUsbIdentity(dir, &u.vendor_id, &u.product_id, nullptr, &u.product, &u.serial);
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d",
                      std::atoi(ReadLine(dir + "/busnum").c_str()),
                      std::atoi(ReadLine(dir + "/devnum").c_str()));
        u.bus_node = node;
        u.driver = LinkBaseName(dir + "/" + name + ":1.0/driver");
        u.accessible = rw(root + u.bus_node);
        m.usb.push_back(u);
    }

    m.map_dir =
        (o.config_dir.empty() ? platform::ConfigurationDirectory() : o.config_dir) + "/dosdevices";
    for (int i = 1; i <= 12; ++i) {
        const std::string entry = m.map_dir + "/com" + std::to_string(i);
        struct stat st {};
        if (lstat(entry.c_str(), &st) != 0) continue;
        Mapping map{"COM" + std::to_string(i), entry, false};
        std::error_code ec;
        fs::path target = fs::read_symlink(entry, ec);
        if (!ec) map.target = target.string();
        map.present = !root.empty() && !map.target.empty() && map.target[0] == '/'
                          ? Exists(root + map.target)
                          : Exists(entry);
        m.mappings.push_back(map);
    }

    for (const char* p : {"/usr/bin/brltty", "/bin/brltty", "/usr/sbin/brltty", "/sbin/brltty"})
        if (Exists(root + p)) m.brltty_installed = true;
    ScanRules(root, &m);
    ScanUser(&m);
    return m;
}

std::vector<Problem> Check(const Machine& m) {
    std::vector<Problem> problems;
    for (const SerialDevice& d : m.devices) {
        if (!d.accessible) {
            const std::string g = d.group.empty() ? std::string("dialout") : d.group;
            const std::string user = m.user.empty() ? std::string("$USER") : m.user;
            if (g == "root")
                problems.push_back(
                    {"no read/write access to " + Describe(d) + ": the node belongs to root alone",
                     "ls -l " + d.node + "; sudo chmod 660 " + d.node + " && sudo chgrp dialout " +
                         d.node});
            else if (Contains(m.session_groups, g))
                problems.push_back({"no read/write access to " + Describe(d) +
                                        " although you are in the group " + g,
                                    "ls -l " + d.node + "; sudo chmod g+rw " + d.node});
            else if (Contains(m.account_groups, g))
                problems.push_back({"no read/write access to " + Describe(d) +
                                        ": your account is in the group " + g +
                                        ", but this login session started before that",
                                    "log out and back in (or run: newgrp " + g + ")"});
            else
                problems.push_back(
                    {"no read/write access to " + Describe(d) + ": it belongs to the group " + g +
                         ", which you are not in",
                     "sudo usermod -aG " + g + " " + user + ", then log out and back in"});
        }
        if (d.driver == "ftdi_sio" && d.latency_ms >= 16) {
            const std::string tty = d.node.substr(d.node.rfind('/') + 1);
            problems.push_back({Describe(d) +
                                    ": the FTDI kernel driver holds received data for up to " +
                                    std::to_string(d.latency_ms) + " ms (latency timer)",
                                "echo 1 | sudo tee /sys/bus/usb-serial/devices/" + tty +
                                    "/latency_timer   (the udev rule " + kUdevRule +
                                    " sets it at every plug-in)"});
        }
    }
    if (m.brltty_installed) {
        for (const UsbDevice& u : m.usb) {
            if (!Contains(m.brltty_claims, u.vendor_id + ":" + u.product_id)) continue;
            problems.push_back({"brltty (the braille display daemon) is installed and claims " +
                                    u.vendor_id + ":" + u.product_id +
                                    (u.product.empty() ? std::string() : " (" + u.product + ")") +
                                    ": it can take the adapter, whose serial device then vanishes",
                                "sudo apt-get remove brltty   (when no braille display is used)"});
        }
    }
    for (const UsbDevice& u : m.usb) {
        if (!u.IsProgramConverter() || u.accessible) continue;
        problems.push_back(
            {"no access to the USB device " + u.bus_node + " (" + u.PortDialogEntry() +
                 "): the program's USB path cannot open it",
             m.access_rule_installed
                 ? std::string("unplug the adapter and plug it in again (the udev rule gives "
                               "access to the user logged in at the machine)")
                 : std::string("install the velt-monitoring package (its udev rule ") + kUdevRule +
                       "), or: echo 'SUBSYSTEM==\"usb\", ATTR{idVendor}==\"0403\", "
                       "TAG+=\"uaccess\"' | sudo tee /etc/udev/rules.d/70-velt-ftdi.rules && "
                       "sudo udevadm control --reload && sudo udevadm trigger"});
    }
    for (const Mapping& map : m.mappings) {
        if (map.present) continue;
        problems.push_back({map.port + " points at " + map.target + ", which does not exist",
                            "plug the device in, or: velt-ports map " + map.port + " DEVICE"});
    }
    return problems;
}

}  // namespace velt_ports
