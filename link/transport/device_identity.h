// What a serial device node is, so that a link that reopens a port by name after a
// loss can tell its own device from another one that took the name meanwhile.
#pragma once

#include <string>

namespace transport {

struct DeviceIdentity {
    // False for a node the system keeps nothing about (a pseudo-terminal): such a node
    // can only be reopened by its name.
    bool known = false;
    unsigned long long device = 0;  // the node's device number (major and minor)
    // "vendor:product:serial" of the USB device behind the node, empty when it is none.
    std::string usb;
};

// The identity of the character device at path (followed through links) or of an open
// descriptor; known is false when the node is missing or is not a character device.
// The USB facts come from sysfs (<root>/dev/char/<major>:<minor>, then up to the USB
// device holding idVendor, idProduct and serial).
DeviceIdentity IdentityOfPath(const std::string& path);
DeviceIdentity IdentityOfDescriptor(int fd);

// Whether `now` may be opened as the device first seen as `first`: a USB device by its
// vendor, product and serial number (wherever it is attached), any other known node by
// its device number; a first device without identity accepts any node.
bool SameDevice(const DeviceIdentity& first, const DeviceIdentity& now);

// Tests point the sysfs lookups at a tree of their own; empty restores "/sys".
void SetSysfsRootForTesting(const std::string& root);

}  // namespace transport
