// velt-ports: finds the serial devices of the machine, explains what keeps the program
// from reaching them (with the command that fixes it), and points COM1 to COM12 at
// them through the device map. Every system path is read below a root directory that
// stands in for "/", so tests run on a fake /dev and /sys. Qt-free.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace velt_ports {

// A serial device node: a real UART (ttyS*), a USB serial adapter (ttyUSB*) or a USB
// modem-class device (ttyACM*).
struct SerialDevice {
    std::string node;                   // "/dev/ttyUSB0"
    std::string by_id;                  // its stable "/dev/serial/by-id/..." name, or empty
    std::string driver;                 // kernel driver: "ftdi_sio", "cdc_acm", "serial8250"...
    std::string vendor_id, product_id;  // "0403", "6001"; empty for a built-in UART
    std::string manufacturer, product, serial;
    int latency_ms = -1;      // the FTDI kernel driver's latency timer; -1 when there is none
    bool accessible = false;  // the user may read and write the node
    std::string group;        // the node's group ("dialout")
};

// A device on the USB bus (sysfs /sys/bus/usb/devices).
struct UsbDevice {
    std::string vendor_id, product_id;
    std::string product, serial;
    std::string bus_node;     // "/dev/bus/usb/001/004", which libusb opens
    std::string driver;       // driver bound to its first interface, or empty
    bool accessible = false;  // the user may read and write bus_node
    // An FTDI converter that the program's USB path lists ("description#serial").
    bool IsProgramConverter() const;
    std::string PortDialogEntry() const { return product + "#" + serial; }
};

// A COM port of the device map.
struct Mapping {
    std::string port;    // "COM3"
    std::string target;  // what the map entry points at
    bool present = false;
};

struct Machine {
    std::vector<SerialDevice> devices;
    std::vector<UsbDevice> usb;
    std::string map_dir;            // "<configuration directory>/dosdevices"
    std::vector<Mapping> mappings;  // the mapped ports only, COM1 first
    bool brltty_installed = false;
    std::vector<std::string> brltty_claims;  // "vendor:product" its udev rules take, "1a86:7523"
    bool access_rule_installed = false;      // a udev rule tags FTDI devices for the user
    std::string user;
    std::vector<std::string> session_groups;  // the groups this process has
    std::vector<std::string> account_groups;  // the groups of the account (next login)
};

struct Problem {
    std::string what;
    std::string fix;  // the command (or step) that fixes it
};

struct Options {
    std::string root;        // stands in for "/" ("" is the real system)
    std::string config_dir;  // the configuration directory; "" is the program's own
    // Whether the user may read and write a path; access(2) unless a test replaces it.
    std::function<bool(const std::string&)> can_read_write;
};

// The udev rule the package installs.
inline constexpr const char* kUdevRule = "/usr/lib/udev/rules.d/70-velt-monitoring.rules";

Machine Scan(const Options& options);
std::vector<Problem> Check(const Machine& machine);

// "COM3" for "com3" or "COM3"; empty unless COM1 to COM12.
std::string PortName(const std::string& text);

// velt-ports with args (without the program name). Returns 0, 1 when "check" found a
// problem or a map change failed, 2 for bad arguments.
int RunPortsTool(const std::vector<std::string>& args, const Options& base, std::FILE* out,
                 std::FILE* err);

}  // namespace velt_ports
