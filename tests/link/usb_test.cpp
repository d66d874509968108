#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/oximeter.h"
#include "link/transport/fake_d2xx.h"
#include "link/transport/fake_transport.h"
#include "tests/link/fake_view.h"
#include "tests/link/link_test_util.h"
#include "tests/link/pty.h"
#include "tests/support/debug_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using d2xx::FakeD2xx;
const Bytes kExample{0xFF, 0x05, 0x24, 0x03, 0x10, 0x20, 0x30, 0x0D, 0xFB};

class UsbLink : public ::testing::Test {
protected:
    void SetUp() override {
        d2xx::SetD2xxLibraryForTesting(&fake);
        fake.AddDevice("VELT Oximeter", "A100");
        fake.AddDevice("velt oximeter", "B200");
        fake.AddDevice("Other Converter", "C300");
    }
    void TearDown() override { d2xx::SetD2xxLibraryForTesting(nullptr); }
    // The calls made, without the notification the thread makes meanwhile.
    std::vector<std::string> OpeningCalls() const {
        std::vector<std::string> calls = fake.Calls();
        calls.erase(std::remove_if(calls.begin(), calls.end(),
                                   [](const std::string& c) {
                                       return c.rfind("SetEventNotification", 0) == 0;
                                   }),
                    calls.end());
        return calls;
    }
    DeviceMap map;
    FakeD2xx fake;
    testing_support::DebugCapture capture;
};

TEST_F(UsbLink, OpensByPrefixMatchThenSerialNumberInOrder) {
    FakeView view;
    COximeter link(nullptr, 2, false, nullptr);
    link.AttachView(&view);
    // The first device matches (case-insensitive prefix); the serial number picks B200.
    ASSERT_EQ(link.OpenPort("VELT OXI#B200"), 0);
    EXPECT_EQ(view.Field(StatusText), "Connected..");
    EXPECT_EQ(view.Field(PortText), "#B200");
    EXPECT_EQ(OpeningCalls(),
              (std::vector<std::string>{"ListDevices count 0x80000000", "ListDevices 0 0x40000002",
                                        "OpenEx B200 1", "SetLatencyTimer 5", "SetBaudRate 115200",
                                        "SetDataCharacteristics 8 2 0", "SetFlowControl 0 0 0",
                                        "Purge 3", "SetChars 251 1 0 0"}));
    ASSERT_TRUE(WaitFor([&] {
        auto c = fake.Calls();
        return std::find(c.begin(), c.end(), "SetEventNotification 3") != c.end();
    }));

    fake.Send("B200", kExample);
    ASSERT_TRUE(WaitFor([&] { return fake.WrittenTo("B200").size() >= 3; }));
    EXPECT_EQ(fake.WrittenTo("B200"), (Bytes{0xFD, 0x05, 0xFB}));
    EXPECT_TRUE(fake.WrittenTo("A100").empty());
    ASSERT_TRUE(WaitFor([&] { return link.QueuedCount() == 1; }));

    auto t0 = std::chrono::steady_clock::now();
    link.ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(fake.OpenCount(), 0);
    EXPECT_EQ(fake.Calls().back(), "Close");
    EXPECT_EQ(capture.Count("WAIT_TIMEOUT\n"), 0u) << "the USB loop's short waits are silent";
}

TEST_F(UsbLink, SpeedFollowsTheProtocolAndLaterDevicesAreNotAsked) {
    COximeter link("Other#C300", 3, false, nullptr);
    ASSERT_EQ(link.Status(), 0);
    std::vector<std::string> calls = OpeningCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "ListDevices 2 0x40000002"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "SetBaudRate 9600"), 1);

    FakeD2xx one;
    one.AddDevice("VELT Oximeter", "A100");
    one.AddDevice("VELT Oximeter", "A101");
    d2xx::SetD2xxLibraryForTesting(&one);
    COximeter first("velt#A101", 1, false, nullptr);
    ASSERT_EQ(first.Status(), 0);
    EXPECT_EQ(one.Calls()[1], "ListDevices 0 0x40000002");
    EXPECT_EQ(one.Calls()[2], "OpenEx A101 1");
    first.ClosePort();
    d2xx::SetD2xxLibraryForTesting(&fake);
}

TEST_F(UsbLink, NoMatchingDevice) {
    FakeView view;
    COximeter link(nullptr, 1, false, nullptr);
    link.AttachView(&view);
    EXPECT_EQ(link.OpenPort("Missing#X1"), kLinkStatusNoUsbDevice);
    EXPECT_EQ(view.Field(StatusText), "*** No USB device \"Missing\"");
    EXPECT_FALSE(link.HasReceiveThread());
    EXPECT_EQ(fake.OpenCount(), 0);
    // Lower-case "com1" is no serial port; without "#" nothing can be matched.
    EXPECT_EQ(link.OpenPort("com1"), kLinkStatusNoUsbDevice);
    EXPECT_EQ(view.Field(StatusText), "*** No USB device \"com1\"");
}

TEST_F(UsbLink, EveryFailingCallBecomesTheStatus) {
    const FakeD2xx::Op ops[] = {FakeD2xx::kListCount, FakeD2xx::kListDescription,
                                FakeD2xx::kOpen,      FakeD2xx::kBaud,
                                FakeD2xx::kData,      FakeD2xx::kFlow,
                                FakeD2xx::kPurge,     FakeD2xx::kChars};
    d2xx::FT_STATUS status = 40;
    for (FakeD2xx::Op op : ops) {
        fake.FailOn(op, ++status);
        COximeter link(nullptr, 1, false, nullptr);
        EXPECT_EQ(link.OpenPort("VELT#A100"), static_cast<int>(status)) << "op " << op;
        EXPECT_EQ(link.Status(), static_cast<int>(status));
        fake.FailOn(op, 0);
        link.ClosePort();
        EXPECT_EQ(fake.OpenCount(), 0) << "a handle opened before the failure is closed";
    }
    // The latency timer's status is not checked.
    fake.FailOn(FakeD2xx::kLatency, 77);
    COximeter latency("VELT#A100", 1, false, nullptr);
    EXPECT_EQ(latency.Status(), 0);
    latency.ClosePort();
    fake.FailOn(FakeD2xx::kLatency, 0);
}

TEST_F(UsbLink, ThreadFailuresEndItAndAreShown) {
    const FakeD2xx::Op ops[] = {FakeD2xx::kNotify, FakeD2xx::kStatus, FakeD2xx::kRead,
                                FakeD2xx::kWrite};
    for (FakeD2xx::Op op : ops) {
        FakeView view(true);
        COximeter link(nullptr, 1, false, nullptr);
        link.SetReconnect(false);
        link.AttachView(&view);
        if (op == FakeD2xx::kNotify) fake.FailOn(op, 55);  // the thread's first call
        ASSERT_EQ(link.OpenPort("VELT#A100"), 0);
        fake.FailOn(op, 55);
        fake.Send("A100", kExample);
        ASSERT_TRUE(
            WaitFor([&] { return link.ThreadEnded(); }, 2000, [&] { view.RunPendingCalls(); }))
            << "op " << op;
        link.ProcessPackets();
        EXPECT_EQ(view.Field(StatusText), "*** Connection lost (error 55)") << "op " << op;
        fake.FailOn(op, 0);
        link.ClosePort();
    }
}

TEST_F(UsbLink, AnUnpluggedConverterIsFoundAgainWhereverItComesBack) {
    FakeView view(true);
    COximeter link(nullptr, 1, false, nullptr);
    link.AttachView(&view);
    ASSERT_EQ(link.OpenPort("VELT Oximeter#A100"), 0);
    auto drain = [&] {
        view.RunPendingCalls();
        link.ProcessPackets();
    };
    fake.Unplug("A100");
    ASSERT_TRUE(WaitFor([&] { return link.Lost(); }, 2000, drain));
    ASSERT_TRUE(WaitFor(
        [&] { return view.Field(StatusText) == "*** Connection lost (error 4), reconnecting.."; },
        2000, drain))
        << view.Field(StatusText);
    EXPECT_EQ(fake.OpenCount(), 0) << "the dead handle is closed at once";

    // Back, at another place on the bus, after a device of a matching description.
    fake.AddDevice("VELT Oximeter", "A100");
    ASSERT_TRUE(WaitFor([&] { return link.Connected(); }, 3000, drain));
    ASSERT_TRUE(WaitFor([&] { return view.Field(StatusText) == "Connected.."; }, 2000, drain));
    fake.Send("A100", kExample);
    ASSERT_TRUE(fake.WaitForWritten("A100", 3, 2000));
    EXPECT_EQ(fake.WrittenTo("A100"), (Bytes{0xFD, 0x05, 0xFB}));
    EXPECT_EQ(link.Statistics().Get(LinkStatistics::kReconnects), 1u);
    std::vector<std::string> calls = OpeningCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "SetChars 251 1 0 0"), 2)
        << "set up as at the first opening";
    link.ClosePort();
    EXPECT_EQ(fake.OpenCount(), 0);
}

// A converter whose control transfers take their time: closing the window while the
// link reopens it neither waits for them nor leaves the converter open.
TEST_F(UsbLink, ClosingNeverWaitsForASlowReopen) {
    FakeView view(true);
    auto link = std::make_unique<COximeter>(nullptr, 1, false, nullptr);
    link->AttachView(&view);
    ASSERT_EQ(link->OpenPort("VELT Oximeter#A100"), 0);
    auto drain = [&] {
        view.RunPendingCalls();
        link->ProcessPackets();
    };
    fake.Unplug("A100");
    ASSERT_TRUE(WaitFor([&] { return link->Lost(); }, 2000, drain));
    for (FakeD2xx::Op op : {FakeD2xx::kLatency, FakeD2xx::kBaud, FakeD2xx::kData, FakeD2xx::kFlow,
                            FakeD2xx::kPurge, FakeD2xx::kChars})
        fake.SlowOn(op, 400);
    fake.AddDevice("VELT Oximeter", "A100");
    auto opens = [&] {
        std::vector<std::string> calls = fake.Calls();
        return std::count(calls.begin(), calls.end(), "OpenEx A100 1");
    };
    ASSERT_TRUE(WaitFor([&] { return opens() == 2; }, 3000, drain)) << "inside the reopen";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto t0 = std::chrono::steady_clock::now();
    link.reset();  // the window closes
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, std::chrono::milliseconds(300));
    ASSERT_TRUE(WaitFor([] { return COximeter::AbandonedThreads() == 0; }, 5000));
    EXPECT_EQ(fake.OpenCount(), 0) << "what the reopen opened is closed again";
}

// A scripted transport whose line waits pass at once, logged.
class LineWaitLog : public transport::FakeTransport {
public:
    transport::WaitResult WaitForLine(size_t bytes, int max_ms) override {
        (void)max_ms;
        std::lock_guard<std::mutex> lock(mutex_);
        line_waits_.push_back(bytes);
        return transport::WaitResult::Data;
    }
    std::vector<size_t> LineWaits() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return line_waits_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<size_t> line_waits_;
};

// A frame's rest is slept for once, as long as the last frame of its length took; a
// tail the driver hands on later is waited for as data, never slept for again (each
// sleep would add its time to the answer).
TEST(ReadingLoop, AFrameOfKnownLengthIsSleptForOnce) {
    FakeView view(true);
    COximeter link(nullptr, 1, false, nullptr);
    link.AttachView(&view);
    auto owned = std::make_unique<LineWaitLog>();
    LineWaitLog* t = owned.get();
    ASSERT_EQ(link.OpenTransport(std::move(owned), false), 0);

    const Bytes first = CountedFrame(1, 40), second = CountedFrame(2, 40);
    ASSERT_EQ(first.size(), second.size());
    t->Feed(first);
    t->Pause(20);
    t->Feed(Bytes(second.begin(), second.begin() + 6));
    t->Pause(20);
    t->Feed(Bytes(second.begin() + 6, second.end() - 4));
    t->Pause(20);
    t->Feed(Bytes(second.end() - 4, second.end()));
    ASSERT_TRUE(t->WaitForWritten(6, 5000)) << "both frames answered";
    EXPECT_EQ(t->LineWaits(), std::vector<size_t>{second.size() - 6});
    link.ClosePort();
}

// A frame whose length is not known yet is slept for as its shortest; when that sleep
// finds nothing (the driver hands bytes on in pieces), the next such frame is waited
// for as data, until a piece comes without the length or fifty frames later, when the
// sleep is tried again. No frame is lost or unanswered.
TEST(ReadingLoop, AnEmptySleepForTheLengthMakesTheNextFramesWaitForData) {
    FakeView view(true);
    COximeter link(nullptr, 1, false, nullptr);
    link.AttachView(&view);
    auto owned = std::make_unique<LineWaitLog>();
    LineWaitLog* t = owned.get();
    ASSERT_EQ(link.OpenTransport(std::move(owned), false), 0);

    const Bytes frames[3] = {CountedFrame(1, 40), CountedFrame(2, 40), CountedFrame(3, 40)};
    for (const Bytes& frame : frames) {
        t->Feed(Bytes(frame.begin(), frame.begin() + 1));  // the mark alone
        t->Pause(20);
        if (&frame == &frames[2]) {  // then the sequence alone: still no length
            t->Feed(Bytes(frame.begin() + 1, frame.begin() + 2));
            t->Pause(20);
        }
        t->Feed(Bytes(frame.begin() + (&frame == &frames[2] ? 2 : 1), frame.end()));
        t->Pause(20);
    }
    ASSERT_TRUE(t->WaitForWritten(9, 5000)) << "every frame answered";
    ASSERT_TRUE(WaitFor([&] { return link.QueuedCount() == 3; }));
    // The first frame's mark is slept for (6 bytes at least to its end); the third
    // frame's sequence, which came without the length, is slept for again (5).
    EXPECT_EQ(t->LineWaits(), (std::vector<size_t>{6, 5}));

    // Fifty frames later, the sleep is tried again: as long as the last frames.
    for (uint32_t n = 4; n < 60; ++n) {
        const Bytes frame = CountedFrame(n, 40);
        t->Feed(Bytes(frame.begin(), frame.begin() + 1));
        t->Pause(20);
        t->Feed(Bytes(frame.begin() + 1, frame.end()));
        t->Pause(2);
    }
    ASSERT_TRUE(WaitFor([&] { return link.QueuedCount() == 59; }, 5000));
    ASSERT_GE(t->LineWaits().size(), 3u);
    EXPECT_EQ(t->LineWaits()[2], frames[0].size() - 1);
    link.ClosePort();
}

// The reading loop over a scripted transport: line errors, long bursts, stop requests.
TEST(ReadingLoop, LineErrorsBurstsAndStops) {
    testing_support::DebugCapture capture;
    FakeView view(true);
    COximeter link(nullptr, 1, false, nullptr);
    link.AttachView(&view);
    auto owned = std::make_unique<transport::FakeTransport>();
    transport::FakeTransport* t = owned.get();
    ASSERT_EQ(link.OpenTransport(std::move(owned), false), 0);

    t->FeedLineErrors(transport::kCeFrame | transport::kCeOverrun);
    Bytes burst;
    for (uint32_t n = 0; n < 40; ++n) wire::Append(burst, CountedFrame(n, 20));
    ASSERT_GT(burst.size(), 255u * 2);
    t->Feed(burst);
    ASSERT_TRUE(WaitFor([&] { return link.QueuedCount() == 40; }));
    EXPECT_EQ(t->Written().size(), 40u * 3);
    EXPECT_GE(capture.Count("Extra chunk\n"), 2u);
    bool found = false;
    for (const std::string& line : capture.Lines())
        if (line.rfind("COM Errors: iCE_BREAK=0 iCE_DNS=0 iCE_FRAME=", 0) == 0 &&
            line.find(" iCE_RXOVER=0 iCE_RXPARITY=0 iCE_TXFULL=0\n") != std::string::npos)
            found = true;
    EXPECT_TRUE(found) << capture.Text();

    // A stop request ends the thread without a word in the view.
    view.ClearWrites();
    link.ClosePort();
    EXPECT_FALSE(link.HasReceiveThread());
    for (const std::string& w : view.Writes()) EXPECT_EQ(w, "PortText=");
    EXPECT_EQ(link.QueuedCount(), 0) << "closing takes what the connection queued";

    // A write failure (the acknowledgement) ends it and says so.
    auto failing = std::make_unique<transport::FakeTransport>();
    failing->FailWrites(32);
    failing->Feed(CountedFrame(1));
    ASSERT_EQ(link.OpenTransport(std::move(failing), false), 0);
    ASSERT_TRUE(WaitFor([&] { return link.ThreadEnded(); }, 2000, [&] { view.RunPendingCalls(); }));
    EXPECT_EQ(link.QueuedCount(), 1) << "only the loss: the unacknowledged frame is not queued";
    link.ProcessPackets();
    EXPECT_EQ(view.Field(StatusText), "*** Connection lost (error 32)")
        << "a transport handed in has no port to open again";
}

// A serial chunk is the byte that ended the wait plus up to 255 more: 256 waiting
// bytes are one chunk, 257 need an extra one.
TEST(ReadingLoop, SerialChunkHoldsTheFirstByteAnd255More) {
    for (size_t size : {size_t{256}, size_t{257}}) {
        SCOPED_TRACE(size);
        testing_support::DebugCapture capture;
        COximeter link(nullptr, 1, false, nullptr);
        auto owned = std::make_unique<transport::FakeTransport>();
        transport::FakeTransport* t = owned.get();
        Bytes bytes;
        for (uint32_t n = 0; bytes.size() + 30 < size; ++n)
            wire::Append(bytes, CountedFrame(n, 20));
        bytes.resize(size, 0x00);
        t->Feed(bytes);
        ASSERT_EQ(link.OpenTransport(std::move(owned), false), 0);
        ASSERT_TRUE(WaitFor([&] { return t->Pending() == 0; }));
        link.ClosePort();
        EXPECT_EQ(capture.Count("Extra chunk\n"), size > 256 ? 1u : 0u);
    }
}

}  // namespace
