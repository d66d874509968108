#include "link/transport/device_identity.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

using transport::DeviceIdentity;
using transport::SameDevice;

TEST(DeviceIdentity, AnAdapterIsKnownByItsSerialNumberAnyOtherNodeByItsNumber) {
    const DeviceIdentity adapter{true, 0xBC00, "0403:6001:A1"};
    DeviceIdentity moved = adapter;
    moved.device = 0xBC01;  // came back as the next ttyUSB
    EXPECT_TRUE(SameDevice(adapter, moved));
    DeviceIdentity other = adapter;
    other.usb = "0403:6001:B2";  // another adapter of the same kind on the same node
    EXPECT_FALSE(SameDevice(adapter, other));
    const DeviceIdentity board{true, 0x440, ""};  // a serial port of the machine
    EXPECT_FALSE(SameDevice(board, adapter));
    EXPECT_FALSE(SameDevice(adapter, board));
    EXPECT_FALSE(SameDevice(board, DeviceIdentity{true, 0x441, ""}));
    EXPECT_TRUE(SameDevice(board, DeviceIdentity{true, 0x440, ""}));
    EXPECT_FALSE(SameDevice(board, DeviceIdentity{})) << "a node without identity is no match";
    EXPECT_TRUE(SameDevice(DeviceIdentity{}, adapter)) << "a pseudo-terminal goes by name";
}

TEST(DeviceIdentity, APseudoTerminalOrAMissingNodeHasNone) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    EXPECT_FALSE(transport::IdentityOfPath(ptsname(master)).known);
    close(master);
    EXPECT_FALSE(transport::IdentityOfPath("/no/such/node").known);
    EXPECT_FALSE(transport::IdentityOfPath("/etc/hostname").known) << "not a device";
}
