// The command line of velt-ports: list, check, map and unmap.
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/map_entry.h"
#include "platform/system_info.h"
#include "tools/velt-ports/ports.h"

namespace velt_ports {
namespace {

constexpr const char* kUsage =
    "usage: velt-ports [--root DIR] [--config DIR] [list | check | map COMn DEVICE | unmap COMn]\n"
    "  list (the default)  serial devices, FTDI converters for the USB path, the COM map,\n"
    "                      and what keeps the program from a device, with the fix\n"
    "  check               only the problems; exit status 1 when there is one\n"
    "  map COMn DEVICE     point COMn (COM1 to COM12) at DEVICE, by its stable\n"
    "                      /dev/serial/by-id name when it has one\n"
    "  unmap COMn          remove COMn from the map (it is /dev/ttyS<n-1> again)\n"
    "  --root DIR          read /dev and /sys below DIR instead of /\n"
    "  --config DIR        the configuration directory (default: the program's)\n";

std::string Identity(const SerialDevice& d) {
    std::string s;
    if (!d.manufacturer.empty()) s += d.manufacturer + " ";
    if (!d.product.empty()) s += d.product + " ";
    if (!d.vendor_id.empty()) s += "(" + d.vendor_id + ":" + d.product_id + ") ";
    if (!d.serial.empty()) s += "serial " + d.serial + ", ";
    s += "driver " + (d.driver.empty() ? std::string("none") : d.driver);
    if (d.latency_ms >= 0) s += ", latency " + std::to_string(d.latency_ms) + " ms";
    return s;
}

void PrintProblems(const std::vector<Problem>& problems, std::FILE* out) {
    if (problems.empty()) {
        std::fprintf(out, "No problem found.\n");
        return;
    }
    for (const Problem& p : problems)
        std::fprintf(out, "* %s\n  fix: %s\n", p.what.c_str(), p.fix.c_str());
}

void PrintList(const Machine& m, std::FILE* out) {
    std::fprintf(out, "Serial devices:\n");
    if (m.devices.empty()) std::fprintf(out, "  none\n");
    for (const SerialDevice& d : m.devices) {
        std::fprintf(out, "  %-13s %s%s\n", d.node.c_str(), Identity(d).c_str(),
                     d.accessible ? "" : " [no access]");
        if (!d.by_id.empty()) std::fprintf(out, "  %-13s %s\n", "", d.by_id.c_str());
    }
    std::fprintf(out, "FTDI converters for the USB path (as the port dialog lists them):\n");
    bool any = false;
    for (const UsbDevice& u : m.usb) {
        if (!u.IsProgramConverter()) continue;
        any = true;
        std::fprintf(out, "  %s   (%s:%s, %s%s%s)\n", u.PortDialogEntry().c_str(),
                     u.vendor_id.c_str(), u.product_id.c_str(), u.bus_node.c_str(),
                     u.driver.empty() ? "" : (", kernel driver " + u.driver).c_str(),
                     u.accessible ? "" : ", no access");
    }
    if (!any) std::fprintf(out, "  none\n");
    std::fprintf(out, "Device map (%s):\n", m.map_dir.c_str());
    for (const Mapping& map : m.mappings)
        std::fprintf(out, "  %-5s -> %s%s\n", map.port.c_str(), map.target.c_str(),
                     map.present ? "" : " (missing)");
    std::fprintf(out, "  %s\n",
                 m.mappings.empty() ? "no port mapped: COMn is /dev/ttyS<n-1>"
                                    : "other ports: COMn is /dev/ttyS<n-1>");
    if (m.brltty_installed && !m.brltty_claims.empty())
        std::fprintf(out,
                     "Note: brltty is installed; its udev rules take %zu kinds of USB device "
                     "(such as %s) when one is plugged in.\n",
                     m.brltty_claims.size(), m.brltty_claims.front().c_str());
    std::fprintf(out, "Checks:\n");
}

// The stable name of a USB serial node, or the device itself.
std::string PreferredTarget(const std::string& device, const std::string& root) {
    const std::string base = device.substr(device.rfind('/') + 1);
    if (device.rfind("/dev/", 0) != 0 ||
        (base.rfind("ttyUSB", 0) != 0 && base.rfind("ttyACM", 0) != 0))
        return device;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path want = fs::canonical(root + device, ec);
    if (ec) return device;
    std::vector<std::string> ids;
    for (fs::directory_iterator it(root + "/dev/serial/by-id", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code e2;
        if (fs::canonical(it->path(), e2) == want && !e2) ids.push_back(it->path().filename());
    }
    if (ids.empty()) return device;
    std::sort(ids.begin(), ids.end());
    return "/dev/serial/by-id/" + ids.front();
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int Map(const std::string& port, std::string device, const Options& o, std::FILE* out,
        std::FILE* err) {
    if (device.empty()) {
        std::fprintf(err, "velt-ports: map needs a device\n%s", kUsage);
        return 2;
    }
    if (device.find('/') == std::string::npos) {
        device = "/dev/" + device;
    } else if (device[0] != '/') {
        // The map entry must lead to the same place from any working directory.
        std::error_code ec;
        device = std::filesystem::absolute(device, ec).lexically_normal().string();
    }
    struct stat st {};
    if (stat((o.root + device).c_str(), &st) != 0) {
        std::fprintf(err, "velt-ports: %s does not exist (see the list: velt-ports)\n",
                     device.c_str());
        return 2;
    }
    const std::string target = PreferredTarget(device, o.root);
    const std::string dir =
        (o.config_dir.empty() ? platform::ConfigurationDirectory() : o.config_dir) + "/dosdevices";
    if (int e = platform::CreateDirectories(dir, 0700); e != 0) {
        std::fprintf(err, "velt-ports: cannot create %s: %s\n", dir.c_str(), std::strerror(e));
        return 1;
    }
    // A new link replaces the old one in one step: the program never sees no entry.
    const std::string entry = dir + "/" + Lower(port);
    const std::string temp = entry + ".new";
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), entry.c_str()) != 0) {
        std::fprintf(err, "velt-ports: cannot write %s: %s\n", entry.c_str(), std::strerror(errno));
        unlink(temp.c_str());
        return 1;
    }
    if (target != device)
        std::fprintf(out, "%s -> %s (now %s)\n", port.c_str(), target.c_str(), device.c_str());
    else
        std::fprintf(out, "%s -> %s\n", port.c_str(), target.c_str());
    // Say at once when the user cannot open it yet.
    Machine m = Scan(o);
    std::vector<Problem> problems;
    for (const Problem& p : Check(m))
        if (p.what.find(device) != std::string::npos) problems.push_back(p);
    if (!problems.empty()) PrintProblems(problems, out);
    return 0;
}

int Unmap(const std::string& port, const Options& o, std::FILE* out, std::FILE* err) {
    const std::string entry =
        (o.config_dir.empty() ? platform::ConfigurationDirectory() : o.config_dir) +
        "/dosdevices/" + Lower(port);
    if (unlink(entry.c_str()) != 0) {
        if (errno == ENOENT) {
            std::fprintf(out, "%s was not mapped\n", port.c_str());
            return 0;
        }
        std::fprintf(err, "velt-ports: cannot remove %s: %s\n", entry.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const int n = std::atoi(port.c_str() + 3);
    std::fprintf(out, "%s unmapped: it is /dev/ttyS%d again\n", port.c_str(), n - 1);
    return 0;
}

}  // namespace

int RunPortsTool(const std::vector<std::string>& args, const Options& base, std::FILE* out,
                 std::FILE* err) {
    Options o = base;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, out);
            return 0;
        }
        if (a == "--root" || a == "--config") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                std::fprintf(err, "velt-ports: %s needs a directory\n%s", a.c_str(), kUsage);
                return 2;
            }
            (a == "--root" ? o.root : o.config_dir) = args[++i];
            continue;
        }
        if (a.size() > 1 && a[0] == '-') {
            std::fprintf(err, "velt-ports: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
        words.push_back(a);
    }
    while (!o.root.empty() && o.root.back() == '/') o.root.pop_back();
    const std::string command = words.empty() ? std::string("list") : words[0];
    const size_t wanted = command == "map" ? 3 : command == "unmap" ? 2 : 1;
    if (command != "list" && command != "check" && command != "map" && command != "unmap") {
        std::fprintf(err, "velt-ports: unknown command %s\n%s", command.c_str(), kUsage);
        return 2;
    }
    if (words.size() > wanted || (words.size() < wanted && !words.empty())) {
        std::fprintf(err, "velt-ports: %s takes %zu argument%s\n%s", command.c_str(), wanted - 1,
                     wanted == 2 ? "" : "s", kUsage);
        return 2;
    }
    // A capture tap or replay killed earlier may have left entries pointing at its
    // dead terminal: they are put back before anything is listed or changed.
    const std::string map_dir =
        (o.config_dir.empty() ? platform::ConfigurationDirectory() : o.config_dir) + "/dosdevices";
    for (const std::string& message : platform::RestoreAbandonedMapEntries(map_dir))
        std::fprintf(out, "velt-ports: %s\n", message.c_str());
    if (command == "map" || command == "unmap") {
        const std::string port = PortName(words[1]);
        if (port.empty()) {
            std::fprintf(err, "velt-ports: %s is not a port name (COM1 to COM12)\n",
                         words[1].c_str());
            return 2;
        }
        return command == "map" ? Map(port, words[2], o, out, err) : Unmap(port, o, out, err);
    }
    const Machine m = Scan(o);
    const std::vector<Problem> problems = Check(m);
    if (command == "list") PrintList(m, out);
    PrintProblems(problems, out);
    return command == "check" && !problems.empty() ? 1 : 0;
}

}  // namespace velt_ports
