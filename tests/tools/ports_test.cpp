#include "tools/velt-ports/ports.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using velt_ports::Machine;
using velt_ports::Problem;

namespace {

// A machine's /dev and /sys in miniature, laid out as the kernel does: an FTDI
// adapter on ttyUSB0 with its stable name, a real UART on ttyS0, a ttyS1 without
// a UART behind it, a virtual console, and brltty with a rule for the FTDI chip.
class FakeMachine {
public:
    FakeMachine() {
        const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
        Put(usb + "/idVendor", "0403\n");
        Put(usb + "/idProduct", "6001\n");
        Put(usb + "/manufacturer", "FTDI\n");
        Put(usb + "/product", "FT232R USB UART\n");
        Put(usb + "/serial", "A1B2C3\n");
        Put(usb + "/busnum", "1\n");
        Put(usb + "/devnum", "4\n");
        Put(usb + "/1-1:1.0/ttyUSB0/latency_timer", "16\n");
        Put(usb + "/1-1:1.0/ttyUSB0/tty/ttyUSB0/dev", "188:0\n");
        Put("sys/bus/usb-serial/drivers/ftdi_sio/bind", "");
        Link(usb + "/1-1:1.0/driver", "../../../../../../bus/usb-serial/drivers/ftdi_sio");
        Link(usb + "/1-1:1.0/ttyUSB0/driver",
             "../../../../../../../bus/usb-serial/drivers/ftdi_sio");
        Link(usb + "/1-1:1.0/ttyUSB0/tty/ttyUSB0/device", "../../../ttyUSB0");
        Link("sys/class/tty/ttyUSB0",
             "../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0");
        Link("sys/bus/usb/devices/1-1", "../../../devices/pci0000:00/0000:00:14.0/usb1/1-1");
        Link("sys/bus/usb/devices/1-1:1.0",
             "../../../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0");

        // ttyS0 as newer kernels lay it out, with serial-base devices in between.
        const std::string port = "sys/devices/platform/serial8250/serial8250:0/serial8250:0.0";
        Put(port + "/tty/ttyS0/type", "4\n");
        Put("sys/devices/platform/serial8250/tty/ttyS1/type", "0\n");
        Put("sys/bus/platform/drivers/serial8250/bind", "");
        Put("sys/bus/serial-base/drivers/port/bind", "");
        Put("sys/bus/serial-base/drivers/ctrl/bind", "");
        Link("sys/devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250");
        Link(port + "/driver", "../../../../../bus/serial-base/drivers/port");
        Link(port + "/subsystem", "../../../../../bus/serial-base");
        Link(port + "/../driver", "../../../../bus/serial-base/drivers/ctrl");
        Link(port + "/../subsystem", "../../../../bus/serial-base");
        Link(port + "/tty/ttyS0/device", "../../../serial8250:0.0");
        Link("sys/devices/platform/serial8250/tty/ttyS1/device", "../../../serial8250");
        Link("sys/class/tty/ttyS0",
             "../../devices/platform/serial8250/serial8250:0/serial8250:0.0/tty/ttyS0");
        Link("sys/class/tty/ttyS1", "../../devices/platform/serial8250/tty/ttyS1");
        Put("sys/devices/virtual/tty/tty1/dev", "4:1\n");
        Link("sys/class/tty/tty1", "../../devices/virtual/tty/tty1");

        for (const char* node : {"dev/ttyUSB0", "dev/ttyS0", "dev/ttyS1", "dev/bus/usb/001/004"})
            Put(node, "");
        Link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0", "../../ttyUSB0");

        Put("usr/bin/brltty", "");
        Put("usr/lib/udev/rules.d/85-brltty.rules",
            "# Device: 0403:6001\n"
            "ENV{PRODUCT}==\"403/6001/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"at\", "
            "GOTO=\"brltty_usb_run\"\n"
            "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\", "
            "GOTO=\"run\"\n");
    }

    void Put(const std::string& path, const std::string& text) const {
        fs::create_directories(fs::path(root_.File(path)).parent_path());
        std::ofstream(root_.File(path)) << text;
    }
    void Link(const std::string& path, const std::string& target) const {
        fs::create_directories(fs::path(root_.File(path)).parent_path());
        fs::create_directory_symlink(target, root_.File(path));
    }

    velt_ports::Options Options() const {
        velt_ports::Options o;
        o.root = root_.path();
        o.config_dir = config_.File("configuration");
        // Permissions are judged by the test: root could open everything.
        o.can_read_write = [this](const std::string& path) { return denied_.count(path) == 0; };
        return o;
    }
    void Deny(const std::string& node) { denied_.insert(root_.path() + node); }
    std::string MapEntry(const std::string& name) const {
        return config_.File("configuration/dosdevices/" + name);
    }
    std::string LinkText(const std::string& path) const {
        std::error_code ec;
        return fs::read_symlink(path, ec).string();
    }

    // Runs the tool; out and err collect what it printed.
    int Run(std::vector<std::string> args) {
        out.clear();
        err.clear();
        char* out_buf = nullptr;
        char* err_buf = nullptr;
        size_t out_size = 0, err_size = 0;
        FILE* o = open_memstream(&out_buf, &out_size);
        FILE* e = open_memstream(&err_buf, &err_size);
        int status = velt_ports::RunPortsTool(args, Options(), o, e);
        std::fclose(o);
        std::fclose(e);
        out.assign(out_buf, out_size);
        err.assign(err_buf, err_size);
        free(out_buf);
        free(err_buf);
        return status;
    }

    std::string out, err;

private:
    testing_support::TempDir root_;
    testing_support::TempDir config_;
    std::set<std::string> denied_;
};

bool Mentions(const std::vector<Problem>& problems, const std::string& what,
              const std::string& fix) {
    for (const Problem& p : problems)
        if (p.what.find(what) != std::string::npos && p.fix.find(fix) != std::string::npos)
            return true;
    return false;
}

}  // namespace

TEST(VeltPorts, FindsTheSerialDevicesWithTheirStableNamesAndUsbIdentity) {
    FakeMachine fake;
    Machine m = velt_ports::Scan(fake.Options());
    ASSERT_EQ(m.devices.size(), 2u) << "ttyS1 has no UART and tty1 is virtual";
    const velt_ports::SerialDevice& uart = m.devices[0];
    EXPECT_EQ(uart.node, "/dev/ttyS0");
    EXPECT_EQ(uart.driver, "serial8250");
    EXPECT_EQ(uart.vendor_id, "");
    EXPECT_EQ(uart.by_id, "");
    const velt_ports::SerialDevice& usb = m.devices[1];
    EXPECT_EQ(usb.node, "/dev/ttyUSB0");
    EXPECT_EQ(usb.by_id, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    EXPECT_EQ(usb.driver, "ftdi_sio");
    EXPECT_EQ(usb.vendor_id + ":" + usb.product_id, "0403:6001");
    EXPECT_EQ(usb.manufacturer, "FTDI");
    EXPECT_EQ(usb.product, "FT232R USB UART");
    EXPECT_EQ(usb.serial, "A1B2C3");
    EXPECT_EQ(usb.latency_ms, 16);
    EXPECT_TRUE(usb.accessible);

    ASSERT_EQ(m.usb.size(), 1u) << "the interface 1-1:1.0 is not a device";
    EXPECT_TRUE(m.usb[0].IsProgramConverter());
    EXPECT_EQ(m.usb[0].PortDialogEntry(), "FT232R USB UART#A1B2C3");
    EXPECT_EQ(m.usb[0].bus_node, "/dev/bus/usb/001/004");
    EXPECT_EQ(m.usb[0].driver, "ftdi_sio");
    EXPECT_TRUE(m.brltty_installed);
    EXPECT_EQ(m.brltty_claims, (std::vector<std::string>{"0403:6001", "1a86:7523"}));
    EXPECT_FALSE(m.access_rule_installed);
}

TEST(VeltPorts, ExplainsEachObstacleWithItsFix) {
    FakeMachine fake;
    fake.Deny("/dev/ttyUSB0");
    fake.Deny("/dev/bus/usb/001/004");
    Machine m = velt_ports::Scan(fake.Options());
    std::vector<Problem> p = velt_ports::Check(m);
    EXPECT_TRUE(Mentions(p, "no read/write access to /dev/ttyUSB0", "/dev/ttyUSB0"));
    EXPECT_FALSE(Mentions(p, "/dev/ttyS0", ""));
    EXPECT_TRUE(Mentions(p, "up to 16 ms",
                         "echo 1 | sudo tee /sys/bus/usb-serial/devices/ttyUSB0/latency_timer"));
    EXPECT_TRUE(Mentions(p, "brltty", "sudo apt-get remove brltty"));
    EXPECT_TRUE(Mentions(p, "/dev/bus/usb/001/004 (FT232R USB UART#A1B2C3)", "TAG+=\"uaccess\""));

    // With the package's rule in place, the fix is to plug the adapter in again.
    fake.Put("usr/lib/udev/rules.d/70-velt-monitoring.rules",
             "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"0403\", TAG+=\"uaccess\"\n");
    m = velt_ports::Scan(fake.Options());
    EXPECT_TRUE(m.access_rule_installed);
    EXPECT_TRUE(Mentions(velt_ports::Check(m), "/dev/bus/usb/001/004", "plug it in again"));

    // A low latency timer and an adapter brltty does not claim are fine.
    fake.Put("sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/latency_timer", "1\n");
    fake.Put("usr/lib/udev/rules.d/85-brltty.rules", "ENV{PRODUCT}==\"1a86/7523/*\"\n");
    p = velt_ports::Check(velt_ports::Scan(fake.Options()));
    EXPECT_FALSE(Mentions(p, "latency", ""));
    EXPECT_FALSE(Mentions(p, "brltty", ""));
}

TEST(VeltPorts, NoAccessIsExplainedByTheGroupOfTheNode) {
    Machine m;
    m.user = "anna";
    m.devices.push_back({});
    m.devices[0].node = "/dev/ttyUSB0";
    m.devices[0].group = "dialout";
    m.session_groups = {"anna", "users"};
    m.account_groups = {"anna", "users"};
    EXPECT_TRUE(Mentions(velt_ports::Check(m), "group dialout, which you are not in",
                         "sudo usermod -aG dialout anna, then log out and back in"));
    // Added to the group, but the session is older than that.
    m.account_groups.push_back("dialout");
    EXPECT_TRUE(
        Mentions(velt_ports::Check(m), "this login session started before", "newgrp dialout"));
    m.devices[0].accessible = true;
    EXPECT_TRUE(velt_ports::Check(m).empty());
}

TEST(VeltPorts, MapPrefersTheStableNameAndUnmapRemovesIt) {
    FakeMachine fake;
    ASSERT_EQ(fake.Run({"map", "com3", "/dev/ttyUSB0"}), 0) << fake.err;
    EXPECT_EQ(fake.LinkText(fake.MapEntry("com3")),
              "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    EXPECT_NE(fake.out.find("COM3 -> /dev/serial/by-id/"), std::string::npos) << fake.out;

    // A node without a stable name is mapped as it is; a bare name is under /dev.
    ASSERT_EQ(fake.Run({"map", "COM4", "ttyS0"}), 0) << fake.err;
    EXPECT_EQ(fake.LinkText(fake.MapEntry("com4")), "/dev/ttyS0");
    // Mapping again replaces the entry.
    ASSERT_EQ(fake.Run({"map", "COM4", "/dev/ttyS1"}), 0) << fake.err;
    EXPECT_EQ(fake.LinkText(fake.MapEntry("com4")), "/dev/ttyS1");

    ASSERT_EQ(fake.Run({"list"}), 0);
    EXPECT_NE(
        fake.out.find("COM3  -> /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0\n"),
        std::string::npos)
        << fake.out;
    EXPECT_NE(fake.out.find("FT232R USB UART#A1B2C3"), std::string::npos);
    EXPECT_NE(fake.out.find("brltty is installed; its udev rules take 2 kinds"), std::string::npos);
    EXPECT_EQ(fake.Run({"check"}), 1) << "the 16 ms latency timer is a problem";

    ASSERT_EQ(fake.Run({"unmap", "COM3"}), 0);
    EXPECT_FALSE(fs::is_symlink(fake.MapEntry("com3")));
    EXPECT_EQ(fake.out, "COM3 unmapped: it is /dev/ttyS2 again\n");
    EXPECT_EQ(fake.Run({"unmap", "COM3"}), 0);
    EXPECT_EQ(fake.out, "COM3 was not mapped\n");
}

TEST(VeltPorts, MissingTargetIsReported) {
    FakeMachine fake;
    fake.Put("sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/latency_timer", "1\n");
    fake.Put("usr/lib/udev/rules.d/85-brltty.rules", "");
    ASSERT_EQ(fake.Run({"check"}), 0) << fake.out;
    ASSERT_EQ(fake.Run({"map", "COM2", "ttyUSB0"}), 0);
    unlink(fake.Options()
               .root.append("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0")
               .c_str());
    EXPECT_EQ(fake.Run({"check"}), 1);
    EXPECT_NE(fake.out.find(
                  "COM2 points at /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0, "
                  "which does not exist"),
              std::string::npos)
        << fake.out;
}

TEST(VeltPorts, BadArgumentsExitWithStatusTwo) {
    FakeMachine fake;
    const std::vector<std::vector<std::string>> bad = {{"map", "COM13", "/dev/ttyS0"},
                                                       {"map", "COM3"},
                                                       {"map", "LPT1", "ttyS0"},
                                                       {"unmap"},
                                                       {"unmap", "COM0"},
                                                       {"list", "extra"},
                                                       {"frobnicate"},
                                                       {"--root"},
                                                       {"--verbose"},
                                                       {"map", "COM3", "/dev/ttyUSB9"}};
    for (const auto& args : bad) {
        EXPECT_EQ(fake.Run(args), 2) << args[0];
        EXPECT_NE(fake.err.find("velt-ports: "), std::string::npos) << fake.err;
    }
    EXPECT_NE(fake.err.find("/dev/ttyUSB9 does not exist"), std::string::npos);
    EXPECT_FALSE(fs::exists(fake.MapEntry("com3")));
    EXPECT_EQ(fake.Run({"--help"}), 0);
    EXPECT_NE(fake.out.find("usage: velt-ports"), std::string::npos);
    EXPECT_EQ(velt_ports::PortName("com12"), "COM12");
    EXPECT_EQ(velt_ports::PortName("COM012"), "");
}
