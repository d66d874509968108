// velt-capture with a USB converter ("description#serial") on the fake D2XX library:
// opened and set up as the program sets it up, bytes both ways through the
// pseudo-terminal, and an unplug and replug recorded as a gap.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "link/transport/fake_d2xx.h"
#include "recordings/capture_file.h"
#include "tests/support/temp_dir.h"
#include "tools/velt-capture/tap.h"

namespace {

using recordings::CaptureKind;

std::vector<uint8_t> ReadPort(int fd, size_t size, int timeout_ms = 3000) {
    std::vector<uint8_t> got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < size && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        uint8_t b[256];
        ssize_t n = read(fd, b, std::min(sizeof b, size - got.size()));
        if (n > 0) got.insert(got.end(), b, b + n);
    }
    return got;
}

bool WaitForCall(const d2xx::FakeD2xx& fake, const std::string& call, size_t count) {
    for (int i = 0; i < 300; ++i) {
        auto calls = fake.Calls();
        if (static_cast<size_t>(std::count(calls.begin(), calls.end(), call)) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class UsbCapture : public ::testing::Test {
protected:
    void SetUp() override { d2xx::SetD2xxLibraryForTesting(&fake_); }
    void TearDown() override { d2xx::SetD2xxLibraryForTesting(nullptr); }
    d2xx::FakeD2xx fake_;
    testing_support::TempDir dir_;
};

TEST_F(UsbCapture, ForwardsRecordsAndSurvivesAnUnplug) {
    fake_.AddDevice("VELT Oximeter", "A1");
    capture::Options o{"VELT Oximeter#A1", dir_.File("com1"), dir_.File("usb.vcap"), 2};
    std::string why;
    std::unique_ptr<capture::Device> device = capture::OpenDevice(o, &why);
    ASSERT_TRUE(device) << why;
    auto calls = fake_.Calls();
    for (const char* c : {"OpenEx A1 1", "SetBaudRate 115200", "SetDataCharacteristics 8 2 0",
                          "SetFlowControl 0 0 0", "Purge 3", "SetChars 251 1 0 0"})
        EXPECT_NE(std::find(calls.begin(), calls.end(), c), calls.end()) << c;

    capture::Tap tap(o);
    ASSERT_TRUE(tap.Start(std::move(device), false));
    std::atomic<bool> stop{false};
    std::thread run([&] { tap.Run(stop, nullptr); });

    int port = open(o.map_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port, 0);
    termios t{};
    tcgetattr(port, &t);
    cfmakeraw(&t);
    tcsetattr(port, TCSANOW, &t);

    const std::vector<uint8_t> first = {0x00, 0xFB, 0x7E, 0xFF, 0x10, 0x0D, 0x0A};
    fake_.Send("A1", first);
    EXPECT_EQ(ReadPort(port, first.size()), first);
    const uint8_t ack[] = {0xFD, 0x11};
    ASSERT_EQ(write(port, ack, sizeof ack), 2);
    ASSERT_TRUE(fake_.WaitForWritten("A1", 2, 3000));
    EXPECT_EQ(fake_.WrittenTo("A1"), std::vector<uint8_t>(ack, ack + 2));

    fake_.Unplug("A1");
    ASSERT_TRUE(WaitForCall(fake_, "Close", 1)) << "the lost converter was not released";
    fake_.AddDevice("VELT Oximeter", "A1");  // plugged in again
    ASSERT_TRUE(WaitForCall(fake_, "OpenEx A1 1", 2)) << "not opened again";
    const std::vector<uint8_t> second = {0x42, 0x43};
    // Sent until it arrives: the reopened converter purges what came before its set-up.
    std::vector<uint8_t> got;
    for (int i = 0; i < 50 && got.empty(); ++i) {
        fake_.Send("A1", second);
        got = ReadPort(port, second.size(), 100);
    }
    EXPECT_EQ(got, second);

    close(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    run.join();
    EXPECT_EQ(tap.Finish(), 0);
    EXPECT_NE(access(o.map_path.c_str(), F_OK), 0) << "the map entry is left behind";

    recordings::CaptureFileReader reader;
    ASSERT_TRUE(reader.Open(o.out_path)) << reader.Error();
    EXPECT_EQ(reader.header().protocol, 2);
    std::vector<CaptureKind> kinds;
    std::vector<uint8_t> from_device, from_program;
    std::string lost_why;
    recordings::CaptureRecord r;
    while (reader.NextRecord(&r)) {
        if (kinds.empty() || kinds.back() != r.kind || r.size == 0) kinds.push_back(r.kind);
        auto& to = r.kind == CaptureKind::DeviceBytes ? from_device : from_program;
        if (r.kind == CaptureKind::DeviceBytes || r.kind == CaptureKind::ProgramBytes)
            to.insert(to.end(), r.data, r.data + r.size);
        if (r.kind == CaptureKind::DeviceLost) lost_why.assign(r.data, r.data + r.size);
    }
    EXPECT_FALSE(reader.cut());
    EXPECT_EQ(reader.damages(), 0u);
    EXPECT_EQ(from_program, std::vector<uint8_t>(ack, ack + 2));
    ASSERT_GE(from_device.size(), first.size() + second.size());
    EXPECT_TRUE(std::equal(first.begin(), first.end(), from_device.begin()));
    EXPECT_TRUE(std::equal(second.begin(), second.end(), from_device.end() - 2));
    EXPECT_NE(lost_why.find("USB"), std::string::npos) << lost_why;
    const std::vector<CaptureKind> expected = {CaptureKind::PortOpened,   CaptureKind::DeviceBytes,
                                               CaptureKind::ProgramBytes, CaptureKind::DeviceLost,
                                               CaptureKind::DeviceBack,   CaptureKind::DeviceBytes,
                                               CaptureKind::PortClosed};
    EXPECT_EQ(kinds, expected);
}

TEST_F(UsbCapture, AMissingConverterIsNamed) {
    fake_.AddDevice("Other", "B2");
    capture::Options o{"VELT Oximeter#A1", dir_.File("com1"), dir_.File("x.vcap"), 1};
    std::string why;
    EXPECT_FALSE(capture::OpenDevice(o, &why));
    EXPECT_EQ(why, "no USB device \"VELT Oximeter\"");
}

}  // namespace
