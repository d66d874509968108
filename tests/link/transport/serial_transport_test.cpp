#include "link/transport/serial_transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/system_info.h"
#include "tests/support/temp_dir.h"

namespace {

// A pseudo-terminal mapped as COM5 in a private program directory.
class SerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetProgramDirectoryForTesting(dir_.path());
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        mkdir(dir_.File("configuration").c_str(), 0777);
        mkdir(dir_.File("configuration/dosdevices").c_str(), 0777);
        ASSERT_EQ(symlink(ptsname(master_), dir_.File("configuration/dosdevices/com5").c_str()), 0);
    }
    void TearDown() override {
        if (master_ >= 0) close(master_);
        platform::SetProgramDirectoryForTesting("");
    }
    testing_support::TempDir dir_;
    int master_ = -1;
};

}  // namespace

TEST_F(SerialTest, OpensThroughTheDeviceMapWithTheProtocolsLineSettings) {
    EXPECT_EQ(transport::SerialDevicePath("COM5"), dir_.File("configuration/dosdevices/com5"));
    EXPECT_EQ(transport::SerialDevicePath("COM3"), "/dev/ttyS2");
    for (int protocol : {1, 2, 3}) {
        std::unique_ptr<transport::SerialTransport> port;
        auto r = transport::SerialTransport::Open("COM5", protocol, &port);
        ASSERT_EQ(r.step, transport::SerialTransport::OpenStep::Ok) << r.error;
        termios t{};
        ASSERT_EQ(tcgetattr(port->fd(), &t), 0);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, protocol != 2) << protocol;
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & PARENB, 0u);
        EXPECT_EQ(t.c_iflag & (PARMRK | IXON | IXOFF | ISTRIP), 0u);
        EXPECT_EQ(cfgetospeed(&t), protocol == 1 ? B57600 : protocol == 2 ? B115200 : B9600);
    }
}

TEST_F(SerialTest, MissingAndHeldPortsFailWithTheirErrors) {
    std::unique_ptr<transport::SerialTransport> a, b, c;
    auto missing = transport::SerialTransport::Open("COM7", 1, &c);
    if (access("/dev/ttyS6", F_OK) != 0) {
        EXPECT_EQ(missing.step, transport::SerialTransport::OpenStep::Open);
        EXPECT_EQ(missing.error, ENOENT);
    }
    ASSERT_EQ(transport::SerialTransport::Open("COM5", 1, &a).step,
              transport::SerialTransport::OpenStep::Ok);
    auto held = transport::SerialTransport::Open("COM5", 1, &b);
    EXPECT_EQ(held.step, transport::SerialTransport::OpenStep::Open);
    EXPECT_EQ(held.error, EBUSY);
    a.reset();
    EXPECT_EQ(transport::SerialTransport::Open("COM5", 1, &b).step,
              transport::SerialTransport::OpenStep::Ok)
        << "closing releases the port";
}

TEST_F(SerialTest, BytesBothWaysTimeoutAndWake) {
    std::unique_ptr<transport::SerialTransport> port;
    ASSERT_EQ(transport::SerialTransport::Open("COM5", 2, &port).step,
              transport::SerialTransport::OpenStep::Ok);
    EXPECT_EQ(port->WaitForData(50), transport::WaitResult::Timeout);
    const uint8_t frame[] = {0xFF, 0x05, 0x24, 0x03, 0x10, 0x20, 0x30, 0x0D, 0xFB};
    ASSERT_EQ(write(master_, frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    ASSERT_EQ(port->WaitForData(1000), transport::WaitResult::Data);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    size_t waiting = 0;
    ASSERT_EQ(port->BytesWaiting(&waiting), 0);
    EXPECT_EQ(waiting, sizeof frame);
    uint8_t got[16];
    size_t n = 0;
    ASSERT_EQ(port->Read(got, sizeof got, &n), 0);
    ASSERT_EQ(n, sizeof frame);
    EXPECT_EQ(0, memcmp(got, frame, n)) << "0xFF arrives as one byte";
    const uint8_t ack[] = {0xFD, 0x05, 0xFB};
    ASSERT_EQ(port->Write(ack, 3), 0);
    uint8_t back[3];
    ASSERT_EQ(read(master_, back, 3), 3);
    EXPECT_EQ(0, memcmp(back, ack, 3));
    EXPECT_EQ(port->TakeLineErrors(), 0u) << "pseudo-terminals report no line errors";
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        port->Wake();
    });
    EXPECT_EQ(port->WaitForData(5000), transport::WaitResult::Wake);
    waker.join();
}

TEST_F(SerialTest, HangUpIsReportedAtOnceAndStaysReported) {
    std::unique_ptr<transport::SerialTransport> port;
    ASSERT_EQ(transport::SerialTransport::Open("COM5", 1, &port).step,
              transport::SerialTransport::OpenStep::Ok);
    const uint8_t half[] = {0xFF, 0x01, 0x24};
    ASSERT_EQ(write(master_, half, 3), 3);
    ASSERT_EQ(port->WaitForData(1000), transport::WaitResult::Data);
    uint8_t buf[8];
    size_t n = 0;
    port->Read(buf, sizeof buf, &n);
    close(master_);
    master_ = -1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(port->WaitForData(1000), transport::WaitResult::HangUp);
    // Later waits return at once: a reader looping on them would spin, so it must end.
    for (int i = 0; i < 100; ++i) EXPECT_EQ(port->WaitForData(1000), transport::WaitResult::HangUp);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_NE(port->LastError(), 0);
}

TEST_F(SerialTest, LineSettingsAreRestoredAtClose) {
    int fd = open(ptsname(master_), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios before{};
    tcgetattr(fd, &before);
    {
        std::unique_ptr<transport::SerialTransport> port;
        ASSERT_EQ(transport::SerialTransport::Open("COM5", 3, &port).step,
                  transport::SerialTransport::OpenStep::Ok);
    }
    termios after{};
    tcgetattr(fd, &after);
    close(fd);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
}
