#include "link/oximeter.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "link/transport/device_identity.h"
#include "processing/measurement.h"
#include "tests/link/fake_view.h"
#include "tests/link/link_test_util.h"
#include "tests/link/pty.h"
#include "tests/support/debug_capture.h"
#include "tools/oximeter-sim/device_model.h"
#include "tools/oximeter-sim/wire_encoder.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kExample{0xFF, 0x05, 0x24, 0x03, 0x10, 0x20, 0x30, 0x0D, 0xFB};

std::vector<Bytes> g_seen;
void Observe(void*, const PacketRecord& r) {
    Bytes b{r.type, r.sequence, r.length};
    b.insert(b.end(), r.payload, r.payload + r.length);
    g_seen.push_back(b);
}

size_t CountPrefix(const testing_support::DebugCapture& capture, const std::string& prefix) {
    size_t n = 0;
    for (const std::string& line : capture.Lines()) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

class PtyLink : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        map.Map("com1", pty.slave_path());
        g_seen.clear();
    }
    // An unplugged device leaves no node behind; a closed pseudo-terminal's number is
    // soon another test's, which a reconnecting link must not reach.
    void Unplug() {
        map.Map("com1", map.dir().File("unplugged"));
        pty.Close();
    }
    PtyDevice pty;
    DeviceMap map;
    testing_support::DebugCapture capture;
};

TEST_F(PtyLink, FramesAreAcknowledgedAndQueued) {
    FakeView view;
    COximeter link("COM1", 1, true, nullptr);
    ASSERT_EQ(link.Status(), 0);
    EXPECT_EQ(capture.Count("OpenPort(COM1)\n"), 1u);
    link.AttachView(&view);
    EXPECT_EQ(view.Field(PortText), "COM1");

    pty.Write(kExample);
    EXPECT_EQ(pty.Read(3), (Bytes{0xFD, 0x05, 0xFB}));
    Bytes bad = kExample;
    bad[7] = 0x0E;
    pty.Write(bad);
    EXPECT_EQ(pty.Read(3), (Bytes{0xFC, 0x05, 0xFB}));
    ASSERT_TRUE(
        WaitFor([&] { return capture.Count("*** Bad Checksum 13-14 iSequence=5\n") == 1; }));

    ASSERT_TRUE(WaitFor([&] { return view.posts.load() >= 1; }));
    link.SetRecordObserver(Observe, nullptr);
    link.ProcessPackets();
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0], (Bytes{36, 5, 3, 0x10, 0x20, 0x30}));
}

TEST_F(PtyLink, FramesArrivingInSmallPiecesAreDecodedWholeAndAnsweredAtOnce) {
    // The device's frames come a few bytes at a time, as a serial driver hands them
    // on at 115200 Bd; escaped payload bytes make each frame longer than its length.
    COximeter link("COM1", 2, false, nullptr);
    ASSERT_EQ(link.Status(), 0);
    link.SetRecordObserver(Observe, nullptr);
    constexpr int kFrames = 20;
    std::vector<Bytes> sent;
    std::vector<double> answer_ms;
    for (int n = 0; n < kFrames; ++n) {
        const Bytes payload = wire::Payload(90, static_cast<uint8_t>(n * 11));
        const Bytes frame = wire::Frame(static_cast<uint8_t>(n), 36, payload);
        for (size_t at = 0; at < frame.size(); at += 3) {
            pty.Write(Bytes(frame.begin() + static_cast<long>(at),
                            frame.begin() + static_cast<long>(std::min(at + 3, frame.size()))));
            std::this_thread::sleep_for(std::chrono::microseconds(260));
        }
        const auto last_byte = std::chrono::steady_clock::now();
        EXPECT_EQ(pty.Read(3), (Bytes{0xFD, static_cast<uint8_t>(n), 0xFB}));
        answer_ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - last_byte)
                .count());
        Bytes seen{36, static_cast<uint8_t>(n), 90};
        seen.insert(seen.end(), payload.begin(), payload.end());
        sent.push_back(seen);
    }
    // A finished frame waits for nothing: the typical answer comes well within a
    // frame's time on the line, whatever a busy machine does to the odd one.
    std::sort(answer_ms.begin(), answer_ms.end());
    EXPECT_LT(answer_ms[kFrames / 2], 8.0);
    link.ProcessPackets();
    EXPECT_EQ(g_seen, sent);
}

TEST_F(PtyLink, PortsThatCannotBeOpened) {
    FakeView view;
    map.Map("com7", map.dir().File("nothing-here"));
    COximeter missing(nullptr, 1, false, nullptr);
    missing.AttachView(&view);
    EXPECT_EQ(missing.OpenPort("COM7"), ENOENT);
    EXPECT_EQ(missing.Status(), ENOENT);
    EXPECT_EQ(view.Field(StatusText), "*** COximeter::CreateFile(COM7:)=error 2");
    EXPECT_EQ(capture.Count("*** COximeter::CreateFile(COM7:)=error 2\n"), 1u);
    EXPECT_EQ(capture.Count("CreateFile(COM7:) iStatus=-1\n"), 1u);
    EXPECT_FALSE(missing.HasReceiveThread());

    COximeter holder("COM1", 1, false, nullptr);
    ASSERT_EQ(holder.Status(), 0);
    FakeView second_view;
    COximeter second(nullptr, 1, false, nullptr);
    second.AttachView(&second_view);
    EXPECT_EQ(second.OpenPort("COM1"), EBUSY);
    EXPECT_EQ(second_view.Field(StatusText), "*** COximeter::CreateFile(COM1:)=error 16");
    EXPECT_FALSE(second.HasReceiveThread());

    // A second window at construction has no view yet: no text, no data.
    COximeter silent("COM1", 1, false, nullptr);
    EXPECT_EQ(silent.Status(), EBUSY);

    COximeter none(nullptr, 1, false, nullptr);
    EXPECT_EQ(none.Status(), kLinkStatusSetupFailed) << "never opened";
    EXPECT_EQ(none.OpenPort(nullptr), -1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(none.ClosePort(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
}

TEST_F(PtyLink, DisconnectKeepsTheNameForReconnect) {
    FakeView view;
    COximeter link("COM1", 1, false, nullptr);
    link.AttachView(&view);
    ASSERT_TRUE(link.HasReceiveThread());
    link.Disconnect();
    EXPECT_FALSE(link.HasReceiveThread());
    EXPECT_STREQ(link.PortName(), "COM1");
    EXPECT_EQ(view.Field(PortText), "");
    EXPECT_EQ(view.Field(StatusText), "Disconnected");
    EXPECT_EQ(view.Field(Pulse), "x");

    link.Reconnect();
    ASSERT_TRUE(link.HasReceiveThread());
    EXPECT_EQ(view.Field(StatusText), "Connected..");
    EXPECT_EQ(view.Field(PortText), "COM1");
    pty.Write(kExample);
    EXPECT_EQ(pty.Read(3), (Bytes{0xFD, 0x05, 0xFB}));

    link.ClosePort();
    EXPECT_STREQ(link.PortName(), "") << "ClosePort forgets the name";
    EXPECT_FALSE(link.SettingsChanged());
}

TEST_F(PtyLink, ProtocolChangeReopensWithItsLineSettings) {
    COximeter link("COM1", 1, false, nullptr);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.fd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(link.SetProtocol(2), 0);
    EXPECT_TRUE(link.SettingsChanged());
    EXPECT_EQ(link.Protocol(), 2);
    ASSERT_EQ(tcgetattr(pty.fd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_EQ(capture.Count("OpenPort(COM1)\n"), 2u);
    pty.Write(kExample);
    EXPECT_EQ(pty.Read(3), (Bytes{0xFD, 0x05, 0xFB}));

    // The same protocol again still reconnects; one outside 1..3 changes nothing.
    link.ClearSettingsChanged();
    link.SetProtocol(2);
    EXPECT_EQ(capture.Count("OpenPort(COM1)\n"), 3u);
    EXPECT_TRUE(link.SettingsChanged());
    link.SetProtocol(4);
    EXPECT_EQ(capture.Count("OpenPort(COM1)\n"), 3u);
    EXPECT_EQ(link.Protocol(), 2);
}

TEST_F(PtyLink, IdleLinkLogsTimeoutsAndStopsPromptly) {
    COximeter link("COM1", 1, false, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    size_t timeouts = capture.Count("WAIT_TIMEOUT\n");
    EXPECT_GE(timeouts, 1u);
    EXPECT_LE(timeouts, 4u);
    auto t0 = std::chrono::steady_clock::now();
    link.ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
    EXPECT_FALSE(link.HasReceiveThread());
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST_F(PtyLink, UnplugWithoutReconnectEndsTheThreadAndSaysSo) {
    FakeView view(true);  // field writes from the thread wait for the GUI thread
    COximeter link("COM1", 1, false, nullptr);
    link.SetReconnect(false);
    link.AttachView(&view);
    pty.Write(Bytes(kExample.begin(), kExample.begin() + 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Unplug();
    // The loss reaches the GUI thread as a packet message (ProcessPackets).
    ASSERT_TRUE(WaitFor([&] { return link.ThreadEnded(); }, 2000, [&] { view.RunPendingCalls(); }));
    link.ProcessPackets();
    EXPECT_EQ(view.Field(StatusText).rfind("*** Connection lost (error ", 0), 0u)
        << view.Field(StatusText);
    EXPECT_EQ(view.Field(StatusText).find("reconnecting"), std::string::npos);
    EXPECT_EQ(view.Field(Spo2), "x");
    size_t timeouts = capture.Count("WAIT_TIMEOUT\n");
    double cpu = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(CpuSeconds() - cpu, 0.1) << "no busy loop after the hang-up";
    EXPECT_EQ(capture.Count("WAIT_TIMEOUT\n"), timeouts);

    // Nominally open until closed; Connect again opens it once the device is back.
    EXPECT_TRUE(link.HasReceiveThread());
    EXPECT_TRUE(link.Lost());
    PtyDevice again;
    ASSERT_TRUE(again.ok());
    map.Map("com1", again.slave_path());
    link.Reconnect();
    EXPECT_EQ(view.Field(StatusText), "Connected..");
    again.Write(kExample);
    EXPECT_EQ(again.Read(3), (Bytes{0xFD, 0x05, 0xFB}));
    // One statistics line for the lost connection; the close of the live one adds one.
    EXPECT_EQ(CountPrefix(capture, "Link statistics COM1: "), 1u);
    link.ClosePort();
    EXPECT_EQ(CountPrefix(capture, "Link statistics COM1: "), 2u);
}

TEST_F(PtyLink, ALostPortComesBackByItselfAndCountsTheReconnect) {
    FakeView view(true);
    COximeter link("COM1", 1, false, nullptr);
    link.AttachView(&view);
    pty.Write(kExample);
    EXPECT_EQ(pty.Read(3), (Bytes{0xFD, 0x05, 0xFB}));
    auto drain = [&] {
        view.RunPendingCalls();
        link.ProcessPackets();
    };
    ASSERT_TRUE(WaitFor([&] { return link.Statistics().Get(LinkStatistics::kFrames) == 1; }));
    view.SetFieldText(Spo2, "97");  // a value on screen from the device about to go

    Unplug();
    ASSERT_TRUE(WaitFor([&] { return link.Lost(); }, 2000, drain));
    ASSERT_TRUE(WaitFor(
        [&] { return view.Field(StatusText).find(", reconnecting..") != std::string::npos; }, 2000,
        drain));
    EXPECT_EQ(view.Field(StatusText).rfind("*** Connection lost (error ", 0), 0u);
    EXPECT_EQ(view.Field(Spo2), "x") << "no stale number";
    EXPECT_EQ(
        capture.Count("Link statistics COM1: bytes 9, frames 1, bad checksums 0, incomplete 0, "
                      "oversize 0, dropped 0, line errors 0, reconnects 0\n"),
        1u)
        << capture.Text();

    // Gone for a while: attempts fail quietly, the thread keeps trying.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    drain();
    EXPECT_TRUE(link.Lost());
    EXPECT_TRUE(link.HasReceiveThread());
    EXPECT_FALSE(link.ThreadEnded());

    // Back on the same mapping: open again within the retry interval, no user action.
    PtyDevice again;
    ASSERT_TRUE(again.ok());
    map.Map("com1", again.slave_path());
    auto back = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return link.Connected(); }, 3000, drain));
    EXPECT_LT(std::chrono::steady_clock::now() - back, std::chrono::milliseconds(2000));
    ASSERT_TRUE(WaitFor([&] { return view.Field(StatusText) == "Connected.."; }, 2000, drain));
    EXPECT_EQ(link.Statistics().Get(LinkStatistics::kReconnects), 1u);
    again.Write(kExample);
    EXPECT_EQ(again.Read(3), (Bytes{0xFD, 0x05, 0xFB}));
    ASSERT_TRUE(WaitFor([&] { return link.Statistics().Get(LinkStatistics::kFrames) == 2; }));

    link.ClosePort();
    EXPECT_EQ(
        capture.Count("Link statistics COM1: bytes 18, frames 2, bad checksums 0, incomplete 0, "
                      "oversize 0, dropped 0, line errors 0, reconnects 1\n"),
        1u)
        << capture.Text();
}

TEST_F(PtyLink, ClosingWhileReconnectingEndsAtOnce) {
    FakeView view(true);
    COximeter link("COM1", 2, false, nullptr);
    link.AttachView(&view);
    Unplug();
    ASSERT_TRUE(WaitFor([&] { return link.Lost(); }, 2000, [&] { view.RunPendingCalls(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // inside the retry wait
    auto t0 = std::chrono::steady_clock::now();
    link.Disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    EXPECT_FALSE(link.HasReceiveThread());
    link.ProcessPackets();  // nothing of the lost connection is shown after the choice
    EXPECT_EQ(view.Field(StatusText), "Disconnected");
}

// A device on COM1 whose records the link interprets, with a window whose field
// writes from the receive thread wait for the test (the GUI thread).
class ShownLink : public PtyLink {
protected:
    ShownLink() : device(sim::Options()) { measurement.SetLogging(false); }
    Bytes GoodFrame() {
        uint8_t type = 0;
        std::vector<uint8_t> payload = device.NextPayload(&type);
        return sim::EncodeFrame(sequence++, type, payload);
    }
    // The position of the first write equal to `write` at or after `from`, or -1.
    long WriteAt(const std::string& write, long from = 0) const {
        const std::vector<std::string> writes = view.Writes();
        for (size_t i = static_cast<size_t>(from); i < writes.size(); ++i)
            if (writes[i] == write) return static_cast<long>(i);
        return -1;
    }
    long ValueAt(long from = 0) const {
        const std::vector<std::string> writes = view.Writes();
        for (size_t i = static_cast<size_t>(from); i < writes.size(); ++i)
            if (writes[i].rfind("Spo2=", 0) == 0 && writes[i] != "Spo2=x")
                return static_cast<long>(i);
        return -1;
    }
    long LostAt(long from = 0) const {
        const std::vector<std::string> writes = view.Writes();
        for (size_t i = static_cast<size_t>(from); i < writes.size(); ++i)
            if (writes[i].rfind("StatusText=*** Connection lost", 0) == 0)
                return static_cast<long>(i);
        return -1;
    }

    processing::Measurement measurement{map.dir().path()};
    FakeView view{true};
    sim::DeviceModel device;
    uint8_t sequence = 0;
};

TEST_F(ShownLink, ARecordQueuedJustBeforeAHangUpIsShownBeforeTheLoss) {
    COximeter link("COM1", 1, false, &measurement);
    link.SetReconnect(false);
    link.AttachView(&view);
    pty.Write(GoodFrame());
    ASSERT_TRUE(WaitFor([&] { return link.QueuedCount() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Unplug();
    ASSERT_TRUE(WaitFor([&] { return link.ThreadEnded(); }, 2000, [&] { view.RunPendingCalls(); }));
    view.ClearWrites();
    link.ProcessPackets();
    const long value = ValueAt();
    ASSERT_GE(value, 0) << "the record is interpreted";
    EXPECT_GT(LostAt(), value) << "and before the loss is shown";
    EXPECT_EQ(view.Field(StatusText).rfind("*** Connection lost (error ", 0), 0u)
        << view.Field(StatusText);
    EXPECT_EQ(view.Field(Spo2), "x");
    EXPECT_EQ(view.Field(Pulse), "x");
    link.ProcessPackets();  // a later message changes nothing
    EXPECT_EQ(view.Field(Spo2), "x");
}

TEST_F(ShownLink, DisconnectIsTheLastWordWhateverWasQueued) {
    COximeter link("COM1", 1, false, &measurement);
    link.AttachView(&view);
    pty.Write(GoodFrame());
    ASSERT_TRUE(WaitFor([&] { return link.QueuedCount() == 1; }));
    view.ClearWrites();
    link.Disconnect();
    link.ProcessPackets();  // the packet message that was still on its way
    EXPECT_EQ(view.Field(StatusText), "Disconnected");
    EXPECT_EQ(view.Field(Spo2), "x");
    EXPECT_EQ(view.Field(Pulse), "x");
    const long value = ValueAt();
    EXPECT_GE(value, 0) << "the record is not lost, it is shown first";
    EXPECT_GT(WriteAt("StatusText=Disconnected"), value);
}

TEST_F(ShownLink, ValuesAfterAReconnectFollowTheLossAndStay) {
    COximeter link("COM1", 1, false, &measurement);
    link.AttachView(&view);
    pty.Write(GoodFrame());
    ASSERT_TRUE(WaitFor([&] { return link.QueuedCount() == 1; }));
    Unplug();
    ASSERT_TRUE(WaitFor([&] { return link.Lost(); }, 2000, [&] { view.RunPendingCalls(); }));
    PtyDevice again;
    ASSERT_TRUE(again.ok());
    map.Map("com1", again.slave_path());
    ASSERT_TRUE(WaitFor([&] { return link.Connected(); }, 3000, [&] { view.RunPendingCalls(); }));
    again.Write(GoodFrame());
    // The first record, the loss, the reconnect and the second record all wait.
    ASSERT_TRUE(
        WaitFor([&] { return link.QueuedCount() == 4; }, 2000, [&] { view.RunPendingCalls(); }));
    view.ClearWrites();
    link.ProcessPackets();
    const long first = ValueAt();
    const long lost = LostAt();
    const long back = WriteAt("StatusText=Connected..");
    const long second = ValueAt(back);
    EXPECT_GE(first, 0);
    EXPECT_GT(lost, first);
    EXPECT_GT(back, lost);
    EXPECT_GT(second, back);
    EXPECT_NE(view.Field(Spo2), "x");
    EXPECT_NE(view.Field(StatusText).rfind("*** ", 0), 0u) << view.Field(StatusText);
    link.ClosePort();
}

// A sysfs tree of the test's own in which pseudo-terminals pose as USB adapters.
class FakeSysfs {
public:
    FakeSysfs() { transport::SetSysfsRootForTesting(dir_.path()); }
    ~FakeSysfs() { transport::SetSysfsRootForTesting(""); }
    // The node at path belongs to the USB adapter with this serial number.
    void Attach(const std::string& path, const std::string& serial) {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        const std::string device = dir_.File("devices/usb1/" + serial);
        const std::string tty = device + "/1-1:1.0/ttyUSB0/tty/ttyUSB0";
        ASSERT_EQ(platform::CreateDirectories(tty), 0);
        dir_.Write("devices/usb1/" + serial + "/idVendor", "0403\n");
        dir_.Write("devices/usb1/" + serial + "/idProduct", "6001\n");
        dir_.Write("devices/usb1/" + serial + "/serial", serial + "\n");
        ASSERT_EQ(platform::CreateDirectories(dir_.File("dev/char")), 0);
        const std::string entry = dir_.File("dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                                            std::to_string(minor(st.st_rdev)));
        ::unlink(entry.c_str());
        ASSERT_EQ(::symlink(tty.c_str(), entry.c_str()), 0);
    }

private:
    testing_support::TempDir dir_;
};

TEST_F(PtyLink, AReconnectTakesTheSameAdapterNeverAnotherOne) {
    FakeSysfs sysfs;
    sysfs.Attach(pty.slave_path(), "A1");
    FakeView view(true);
    COximeter link("COM1", 1, false, nullptr);
    link.AttachView(&view);
    auto drain = [&] {
        view.RunPendingCalls();
        link.ProcessPackets();
    };
    ASSERT_TRUE(link.Connected());
    Unplug();
    ASSERT_TRUE(WaitFor([&] { return link.Lost(); }, 2000, drain));

    // Another adapter comes up under the name the port's mapping leads to.
    PtyDevice other;
    ASSERT_TRUE(other.ok());
    sysfs.Attach(other.slave_path(), "B2");
    map.Map("com1", other.slave_path());
    ASSERT_TRUE(WaitFor(
        [&] { return view.Field(StatusText) == "*** COM1 leads to another device, waiting.."; },
        4000, drain))
        << view.Field(StatusText);
    other.Write(kExample);
    EXPECT_TRUE(other.Read(1, 300).empty()) << "the other adapter is never opened";
    EXPECT_FALSE(link.Connected());
    EXPECT_EQ(capture.Count("*** COM1 leads to another device, waiting..\n"), 1u)
        << "said once, not every second";

    // The link's own adapter (its serial number) is back on that node.
    sysfs.Attach(other.slave_path(), "A1");
    ASSERT_TRUE(WaitFor([&] { return link.Connected(); }, 3000, drain));
    ASSERT_TRUE(WaitFor([&] { return view.Field(StatusText) == "Connected.."; }, 2000, drain));
    other.Write(kExample);
    EXPECT_EQ(other.Read(3), (Bytes{0xFD, 0x05, 0xFB}));
    link.ClosePort();
}

// The port opens while the device is inside a frame: its tail is no lost frame.
TEST_F(ShownLink, ACleanDeviceShowsNothingLostAfterEveryOpen) {
    COximeter link("COM1", 1, false, &measurement);
    link.AttachView(&view);
    for (int open = 0; open < 20; ++open) {
        if (open > 0) link.Reconnect();
        ASSERT_TRUE(link.Connected());
        const Bytes cut = GoodFrame();
        Bytes stream(cut.begin() + 1 + static_cast<long>(cut.size() * open / 20), cut.end());
        for (int i = 0; i < 3; ++i) {
            const Bytes frame = GoodFrame();
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        pty.Write(stream);
        ASSERT_TRUE(WaitFor([&] { return link.Statistics().Get(LinkStatistics::kFrames) == 3; }))
            << "open " << open;
        EXPECT_EQ(pty.Read(9).size(), 9u) << "three answers";
        link.ProcessPackets();
        const LinkCounts counts = link.Statistics().Read();
        EXPECT_EQ(counts.Lost(), 0u) << "open " << open;
        EXPECT_EQ(counts.bytes, stream.size()) << "the tail still counts as bytes";
    }
    link.ClosePort();
}

TEST_F(PtyLink, NoGoodFrameForThreeSecondsShowsNoDataUntilTheNextOne) {
    processing::Measurement measurement(map.dir().path());
    measurement.SetLogging(false);
    FakeView view(true);
    COximeter link("COM1", 1, false, &measurement);
    link.AttachView(&view);
    auto drain = [&] {
        view.RunPendingCalls();
        link.ProcessPackets();
    };
    sim::Options options;
    sim::DeviceModel device(options);
    uint8_t sequence = 0;
    auto good_frame = [&] {
        uint8_t type = 0;
        std::vector<uint8_t> payload = device.NextPayload(&type);
        return sim::EncodeFrame(sequence++, type, payload);
    };
    pty.Write(good_frame());
    ASSERT_TRUE(
        WaitFor([&] { return view.Field(Spo2) != "x" && !view.Field(Spo2).empty(); }, 2000, drain));
    const std::string status = view.Field(StatusText);
    auto last = std::chrono::steady_clock::now();
    Bytes bad = kExample;
    bad[7] = 0x0E;  // a rejected frame is no good frame
    pty.Write(bad);
    ASSERT_TRUE(WaitFor([&] { return view.Field(StatusText) == "*** No data"; }, 5000, drain));
    auto after = std::chrono::steady_clock::now() - last;
    EXPECT_GE(after, std::chrono::milliseconds(2900));
    EXPECT_LT(after, std::chrono::milliseconds(4500));
    EXPECT_EQ(view.Field(Spo2), "x");
    EXPECT_EQ(view.Field(Pulse), "x");
    EXPECT_EQ(view.Field(PortText), "COM1") << "only the value fields";
    EXPECT_TRUE(link.Connected());

    // The next good frame: the device's status words and values are back.
    pty.Write(good_frame());
    ASSERT_TRUE(WaitFor([&] { return view.Field(StatusText) == status; }, 2000, drain));
    EXPECT_NE(view.Field(Spo2), "x");
    link.ClosePort();
}

TEST_F(PtyLink, ReducedProtocolNoDataAndBackShowsTheDeviceStatusAndValuesAgain) {
    FakeView view(true);
    COximeter link("COM1", 3, false, nullptr);
    link.AttachView(&view);
    auto drain = [&] {
        view.RunPendingCalls();
        link.ProcessPackets();
    };
    pty.Write({0xFB, 0x01, 0xF9, 0x62});  // "Sensor?", SpO2 98
    ASSERT_TRUE(WaitFor([&] { return view.Field(Spo2) == "98"; }, 2000, drain));
    EXPECT_EQ(view.Field(StatusText), "Sensor?");
    ASSERT_TRUE(WaitFor([&] { return view.Field(StatusText) == "*** No data"; }, 5000, drain));
    EXPECT_EQ(view.Field(Spo2), "x");
    // The same value again is shown again; the status the device sent last comes back.
    pty.Write({0xF9, 0x62});
    ASSERT_TRUE(WaitFor([&] { return view.Field(Spo2) == "98"; }, 2000, drain));
    EXPECT_EQ(view.Field(StatusText), "Sensor?");
    EXPECT_EQ(link.Statistics().Get(LinkStatistics::kFrames), 3u) << "records count as frames";
    link.ClosePort();
}

TEST_F(PtyLink, ReducedProtocolInterpretsInTheThread) {
    FakeView view(true);
    COximeter link(nullptr, 3, true, nullptr);
    link.AttachView(&view);
    ASSERT_EQ(link.OpenPort("COM1"), 0);
    pty.Write({0x62, 0xF9, 0x62, 0xF9, 0x63, 0xF8, 0x80, 0x81, 0x82});  // the first 62 is dropped
    ASSERT_TRUE(
        WaitFor([&] { return view.Samples().size() >= 5; }, 3000, [&] { view.RunPendingCalls(); }));
    std::vector<uint8_t> samples = view.Samples();
    EXPECT_EQ(std::vector<uint8_t>(samples.end() - 3, samples.end()), (Bytes{0x80, 0x81, 0x82}));
    EXPECT_EQ(view.Sounds().size(), 2u) << "one heartbeat per SpO2 record";
    EXPECT_TRUE(
        WaitFor([&] { return view.Field(Spo2) == "99"; }, 1000, [&] { view.RunPendingCalls(); }));
    EXPECT_TRUE(pty.Read(1, 200).empty()) << "the reduced protocol writes nothing";
    EXPECT_EQ(link.QueuedCount(), 0);

    // Closing while the thread waits inside a synchronous write: the close loop serves it.
    pty.Write({0xF9, 0x40});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    link.ClosePort();
    EXPECT_FALSE(link.HasReceiveThread());
}

TEST(Link, SettingsAndNames) {
    testing_support::DebugCapture capture;
    DeviceMap map;
    FakeView view;
    COximeter link(nullptr, 7, false, nullptr);
    EXPECT_EQ(link.Protocol(), 1) << "protocols outside 1..3 become 1";
    link.AttachView(&view);
    char computer[256];
    int n = link.ReadComputerName(computer);
    EXPECT_EQ(n, static_cast<int>(platform::ComputerName().size()));
    if (n > 0) {
        EXPECT_EQ(view.Field(ComputerText), computer);
    }

    EXPECT_EQ(link.SetHeartbeatSound(false), link.Status());
    EXPECT_FALSE(link.SettingsChanged());
    link.SetHeartbeatSound(true);
    EXPECT_TRUE(link.SettingsChanged());
    EXPECT_TRUE(link.HeartbeatSound());

    int resets = view.reset_plots.load();
    EXPECT_EQ(link.SetTrendChannel(1), 0);
    EXPECT_EQ(view.reset_plots.load(), resets) << "same channel: nothing";
    link.SetTrendChannel(4);
    EXPECT_EQ(link.TrendChannel(), 1);
    link.SetTrendChannel(3);
    EXPECT_EQ(link.TrendChannel(), 3);
    EXPECT_EQ(view.reset_plots.load(), resets + 1);

    EXPECT_EQ(link.GetPortName(nullptr), -1);
    link.ClearSettingsChanged();
    EXPECT_EQ(link.SetPort(nullptr), -1);
    // Long names are cut to 31 characters; the view shows the part from "#" on.
    link.SetPort("A very long USB description#SERIAL0123456789");
    EXPECT_TRUE(link.SettingsChanged());
    char name[32];
    EXPECT_EQ(link.GetPortName(name), 0);
    EXPECT_EQ(std::string(name),
              std::string("A very long USB description#SERIAL0123456789").substr(0, 31));
    EXPECT_EQ(view.Field(PortText), "#SER");
    link.ClearSettingsChanged();
    link.SetPort(name);
    EXPECT_FALSE(link.SettingsChanged()) << "the same name changes nothing";

    // ResetDisplay writes "x" into the value fields and StatusText, not into the others.
    view.ClearWrites();
    link.ResetDisplay();
    std::vector<std::string> writes = view.Writes();
    ASSERT_EQ(writes.size(), 31u);
    EXPECT_EQ(writes.front(), "StatusText=x");
    EXPECT_EQ(writes.back(), "Temp=x");
    for (const std::string& w : writes) EXPECT_EQ(w.substr(w.size() - 2), "=x") << w;
}

}  // namespace
