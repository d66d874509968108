#include "link/transport/serial_transport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "platform/system_info.h"
#include "tests/support/temp_dir.h"

using transport::OpenStep;
using transport::SerialTransport;
using transport::WaitResult;

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
        ASSERT_EQ(symlink(ptsname(master_), Map("com5").c_str()), 0);
    }
    void TearDown() override {
        if (master_ >= 0) close(master_);
        platform::SetProgramDirectoryForTesting("");
    }
    std::string Map(const std::string& entry) const {
        return dir_.File("configuration/dosdevices/" + entry);
    }
    std::unique_ptr<SerialTransport> OpenCom5(int protocol) {
        std::unique_ptr<SerialTransport> port;
        auto r = SerialTransport::Open("COM5", protocol, &port);
        EXPECT_EQ(r.step, OpenStep::Ok) << r.error;
        return port;
    }
    void Send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until `size` bytes came or a second passed.
    std::vector<uint8_t> ReadAll(SerialTransport& port, size_t size) {
        std::vector<uint8_t> got;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (got.size() < size && std::chrono::steady_clock::now() < end) {
            if (port.WaitForData(100) != WaitResult::Data) continue;
            uint8_t buf[64];
            size_t n = 0;
            EXPECT_EQ(port.Read(buf, sizeof buf, &n), 0);
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    testing_support::TempDir dir_;
    int master_ = -1;
};

}  // namespace

TEST(SerialDevicePath, NumberedPortsOnlyWithTheDefaultDevices) {
    platform::SetProgramDirectoryForTesting("/nonexistent-velt-dir");
    EXPECT_EQ(transport::SerialDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(transport::SerialDevicePath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(transport::SerialDevicePath("COM3:"), "/dev/ttyS2") << "the shown path form";
    for (const char* name : {"com1", "COM", "COM0", "COMx", "COM1x", "COM1::", "USB#1", ""})
        EXPECT_EQ(transport::SerialDevicePath(name), "") << name;
    platform::SetProgramDirectoryForTesting("");
}

TEST(SerialLineSettings, ProtocolTable) {
    transport::LineSettings l{};
    ASSERT_TRUE(transport::LineSettingsFor(1, &l));
    EXPECT_EQ(l.speed, static_cast<speed_t>(B57600));
    EXPECT_TRUE(l.two_stop_bits);
    ASSERT_TRUE(transport::LineSettingsFor(2, &l));
    EXPECT_EQ(l.speed, static_cast<speed_t>(B115200));
    EXPECT_FALSE(l.two_stop_bits);
    ASSERT_TRUE(transport::LineSettingsFor(3, &l));
    EXPECT_EQ(l.speed, static_cast<speed_t>(B9600));
    EXPECT_TRUE(l.two_stop_bits);
    EXPECT_FALSE(transport::LineSettingsFor(0, &l));
    EXPECT_FALSE(transport::LineSettingsFor(4, &l));
}

TEST(SerialLineErrors, CounterGrowthMapsToTheErrorBits) {
    transport::LineCounts a, b;
    EXPECT_EQ(transport::LineErrorBits(a, b), 0u);
    b.frame = 2;
    EXPECT_EQ(transport::LineErrorBits(a, b), 0x8u);
    b.overrun = 1;
    b.parity = 1;
    EXPECT_EQ(transport::LineErrorBits(a, b), 0x8u | 0x2u | 0x4u);
    b = a;
    b.brk = 1;
    b.buf_overrun = 7;
    EXPECT_EQ(transport::LineErrorBits(a, b), 0x10u | 0x1u);
    EXPECT_EQ(transport::LineErrorBits(b, b), 0u) << "only growth since the last look counts";
}

TEST_F(SerialTest, OpensThroughTheDeviceMapWithTheProtocolsLineSettings) {
    EXPECT_EQ(transport::SerialDevicePath("COM5"), Map("com5"));
    for (int protocol : {1, 2, 3}) {
        auto port = OpenCom5(protocol);
        ASSERT_TRUE(port);
        termios t{};
        ASSERT_EQ(tcgetattr(port->fd(), &t), 0);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, protocol != 2) << protocol;
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(t.c_cflag & (PARENB | CRTSCTS), 0u);
        EXPECT_EQ(t.c_iflag & (PARMRK | IXON | IXOFF | ISTRIP | INPCK | IGNBRK), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0) << "waits are poll's, never the driver's";
        EXPECT_EQ(t.c_cc[VTIME], 0);
        speed_t want = protocol == 1 ? B57600 : protocol == 2 ? B115200 : B9600;
        EXPECT_EQ(cfgetospeed(&t), want);
        EXPECT_EQ(cfgetispeed(&t), want);
    }
}

TEST_F(SerialTest, OpenFailuresCarryTheirErrorCodes) {
    std::unique_ptr<SerialTransport> port;
    // A map entry whose target is gone, and a name that is no numbered port.
    ASSERT_EQ(symlink(dir_.File("gone").c_str(), Map("com7").c_str()), 0);
    auto missing = SerialTransport::Open("COM7", 1, &port);
    EXPECT_EQ(missing.step, OpenStep::Open);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_EQ(missing.fd, -1);
    EXPECT_EQ(SerialTransport::Open("COMx", 1, &port).error, ENOENT);
    EXPECT_FALSE(port);
    // A map entry pointing at a plain file is no serial port.
    dir_.Write("plain", "x");
    ASSERT_EQ(symlink(dir_.File("plain").c_str(), Map("com8").c_str()), 0);
    EXPECT_EQ(SerialTransport::Open("COM8", 1, &port).error, ENOTTY);
    // An unknown protocol is a set-up failure, and leaves the port free and unchanged.
    termios before{};
    ASSERT_EQ(tcgetattr(master_, &before), 0);
    auto setup = SerialTransport::Open("COM5", 9, &port);
    EXPECT_EQ(setup.step, OpenStep::Setup);
    EXPECT_EQ(setup.error, EINVAL);
    EXPECT_GE(setup.fd, 0) << "the open itself succeeded";
    EXPECT_FALSE(port);
    EXPECT_TRUE(OpenCom5(1));
}

TEST_F(SerialTest, APortIsHeldExclusivelyUntilClosed) {
    auto first = OpenCom5(1);
    ASSERT_TRUE(first);
    std::unique_ptr<SerialTransport> second;
    auto held = SerialTransport::Open("COM5", 1, &second);
    EXPECT_EQ(held.step, OpenStep::Open);
    EXPECT_EQ(held.error, EBUSY);
    EXPECT_FALSE(second);
    // The terminal is marked exclusive while open. A pseudo-terminal keeps that mark
    // after its last close, which would lock out a non-root reopen ("Connect again").
    int other = open(ptsname(master_), O_RDWR | O_NOCTTY);  // root passes TIOCEXCL
    ASSERT_GE(other, 0);
    int excl = 0;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    first.reset();
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0) << "closing gives up exclusivity";
    close(other);
    EXPECT_TRUE(OpenCom5(1)) << "closing releases the port";
}

TEST_F(SerialTest, BytesBothWaysUnchanged) {
    auto port = OpenCom5(2);
    ASSERT_TRUE(port);
    EXPECT_EQ(port->WaitForData(50), WaitResult::Timeout);
    size_t waiting = 99;
    ASSERT_EQ(port->BytesWaiting(&waiting), 0);
    EXPECT_EQ(waiting, 0u);
    uint8_t none[4];
    size_t n = 99;
    EXPECT_EQ(port->Read(none, sizeof none, &n), 0) << "nothing waiting is no error";
    EXPECT_EQ(n, 0u);
    // Every byte value, 0xFF and the control characters included, arrives as sent.
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(255 - i);
    Send(all);
    ASSERT_EQ(port->WaitForData(1000), WaitResult::Data);
    EXPECT_EQ(ReadAll(*port, all.size()), all);
    const std::vector<uint8_t> ack = {0xFD, 0x05, 0xFB};
    ASSERT_EQ(port->Write(ack.data(), ack.size()), 0);
    uint8_t back[3];
    ASSERT_EQ(read(master_, back, 3), 3);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 3), ack);
    EXPECT_EQ(port->TakeLineErrors(), 0u) << "pseudo-terminals report no line errors";
}

TEST_F(SerialTest, WaitingCountAndPurge) {
    auto port = OpenCom5(1);
    ASSERT_TRUE(port);
    Send({1, 2, 3, 4, 5});
    ASSERT_EQ(port->WaitForData(1000), WaitResult::Data);
    size_t waiting = 0;
    for (int i = 0; i < 50 && waiting < 5; ++i) {
        ASSERT_EQ(port->BytesWaiting(&waiting), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(waiting, 5u);
    uint8_t two[2];
    size_t n = 0;
    ASSERT_EQ(port->Read(two, 2, &n), 0);
    EXPECT_EQ(n, 2u) << "never more than asked";
    ASSERT_EQ(port->BytesWaiting(&waiting), 0);
    EXPECT_EQ(waiting, 3u);
    ASSERT_EQ(port->Purge(), 0);
    ASSERT_EQ(port->BytesWaiting(&waiting), 0);
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(port->WaitForData(30), WaitResult::Timeout);
}

TEST_F(SerialTest, OpeningDiscardsWhatCameBefore) {
    Send({0xFF, 0x01, 0x02});
    auto port = OpenCom5(1);
    ASSERT_TRUE(port);
    EXPECT_EQ(port->WaitForData(50), WaitResult::Timeout);
}

TEST_F(SerialTest, AWaitTimesOutAndAWakeFromAnotherThreadEndsIt) {
    auto port = OpenCom5(3);
    ASSERT_TRUE(port);
    // The reading loop's full second, with no device talking.
    EXPECT_EQ(port->WaitForData(transport::kSerialWaitMs), WaitResult::Timeout);
    auto waiting = std::async(std::launch::async, [&] { return port->WaitForData(10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    port->Wake();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), WaitResult::Wake);
    // Several wakes before a wait are one; the next wait times out again.
    port->Wake();
    port->Wake();
    EXPECT_EQ(port->WaitForData(1000), WaitResult::Wake);
    EXPECT_EQ(port->WaitForData(20), WaitResult::Timeout);
}

TEST_F(SerialTest, WaitingForTheLineTakesTheBytesTimeAndEndsOnAWake) {
    auto port = OpenCom5(3);  // 9600 Bd, 8N2: 11 bits a byte
    ASSERT_TRUE(port);
    using std::chrono::milliseconds;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(port->WaitForLine(100, 5000), WaitResult::Data);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, milliseconds(114));
    EXPECT_LT(took, milliseconds(2000));
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(port->WaitForLine(100, 20), WaitResult::Data);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(100)) << "never past max_ms";
    auto waiting = std::async(std::launch::async, [&] { return port->WaitForLine(100000, 10000); });
    std::this_thread::sleep_for(milliseconds(30));
    port->Wake();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), WaitResult::Wake);
    EXPECT_EQ(port->WaitForData(20), WaitResult::Timeout) << "the wake was taken";
}

TEST_F(SerialTest, HangUpEndsAReaderPromptlyWithoutSpinning) {
    auto port = OpenCom5(1);
    ASSERT_TRUE(port);
    std::atomic<int> wakeups{0};
    std::atomic<bool> got_data{false};
    // A reader that goes on over timeouts and data and ends on anything else.
    auto reader = std::async(std::launch::async, [&] {
        for (;;) {
            WaitResult r = port->WaitForData(transport::kSerialWaitMs);
            ++wakeups;
            if (r == WaitResult::HangUp || r == WaitResult::Error) return r;
            if (r == WaitResult::Data) {
                uint8_t buf[64];
                size_t n = 0;
                if (port->Read(buf, sizeof buf, &n) != 0) return WaitResult::Error;
                if (n > 0) got_data = true;
            }
        }
    });
    Send({0xFF, 0x01, 0x24});  // half a frame, then the device goes away
    for (int i = 0; i < 100 && !got_data; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(got_data);
    int before = wakeups;
    close(master_);
    master_ = -1;
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(reader.get(), WaitResult::HangUp);
    EXPECT_LE(wakeups - before, 2) << "a hang-up must not look like data";
    EXPECT_NE(port->LastError(), 0);
    // Dead from now on: everything fails at once.
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(port->WaitForData(1000), WaitResult::HangUp);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    size_t waiting = 0;
    uint8_t b[4] = {0xFD, 1, 0xFB, 0};
    size_t n = 0;
    EXPECT_NE(port->BytesWaiting(&waiting), 0);
    EXPECT_NE(port->Read(b, sizeof b, &n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_NE(port->Write(b, 3), 0);
    EXPECT_EQ(port->TakeLineErrors(), 0u);
}

TEST_F(SerialTest, AReadAfterTheHangUpFailsInsteadOfReturningNothing) {
    auto port = OpenCom5(2);
    ASSERT_TRUE(port);
    close(master_);
    master_ = -1;
    uint8_t b[8];
    size_t n = 0;
    EXPECT_NE(port->Read(b, sizeof b, &n), 0);
    EXPECT_EQ(port->WaitForData(1000), WaitResult::HangUp);
}

TEST_F(SerialTest, LineSettingsAreRestoredAtClose) {
    int fd = open(ptsname(master_), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u) << "a fresh terminal is cooked";
    {
        auto port = OpenCom5(3);
        ASSERT_TRUE(port);
        termios during{};
        tcgetattr(fd, &during);
        EXPECT_EQ(during.c_lflag & ICANON, 0u);
    }
    termios after{};
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    close(fd);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(0, memcmp(before.c_cc, after.c_cc, sizeof before.c_cc));
    EXPECT_EQ(cfgetospeed(&before), cfgetospeed(&after));
}
