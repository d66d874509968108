#include "link/transport/usb_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "link/transport/fake_d2xx.h"
#include "link/transport/ftdi_d2xx.h"

using d2xx::EventSet;
using d2xx::FakeD2xx;
using transport::WaitResult;

TEST(EventSet, AutoResetReceiveManualResetWake) {
    EventSet e;
    EXPECT_EQ(e.Wait(10), EventSet::kTimeout);
    e.Set(EventSet::kReceive);
    EXPECT_EQ(e.Wait(10), EventSet::kReceive);
    EXPECT_EQ(e.Wait(10), EventSet::kTimeout) << "a returned receive event resets itself";
    e.Set(EventSet::kWake);
    e.Set(EventSet::kReceive);
    EXPECT_EQ(e.Wait(10), EventSet::kWake) << "wake wins";
    EXPECT_EQ(e.Wait(10), EventSet::kWake) << "wake stays set until reset";
    e.Reset(EventSet::kWake);
    EXPECT_EQ(e.Wait(10), EventSet::kReceive) << "the receive event was kept";
    // Set from another thread ends a long wait.
    auto waiting = std::async(std::launch::async, [&] { return e.Wait(10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    e.Set(EventSet::kReceive);
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), EventSet::kReceive);
}

namespace {

class UsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        lib_.AddDevice("VELT Oximeter", "A1");
        ASSERT_EQ(lib_.OpenEx("A1", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &handle_), d2xx::FT_OK);
    }
    FakeD2xx lib_;
    d2xx::FT_HANDLE handle_ = nullptr;
};

}  // namespace

TEST_F(UsbTest, EventsStatusReadAndWriteGoThroughTheLibrary) {
    transport::UsbTransport usb(lib_, handle_);
    ASSERT_EQ(usb.Start(), 0);
    EXPECT_EQ(lib_.Calls().back(), "SetEventNotification 3");
    EXPECT_EQ(usb.WaitForData(transport::kUsbWaitMs), WaitResult::Timeout);
    lib_.Send("A1", {0xFF, 0x01, 0x02});
    ASSERT_EQ(usb.WaitForData(1000), WaitResult::Data);
    size_t waiting = 0;
    ASSERT_EQ(usb.BytesWaiting(&waiting), 0);
    EXPECT_EQ(waiting, 3u);
    uint8_t buf[8];
    size_t n = 0;
    ASSERT_EQ(usb.Read(buf, 2, &n), 0);
    EXPECT_EQ(n, 2u) << "never more than asked";
    ASSERT_EQ(usb.Read(buf + 2, sizeof buf - 2, &n), 0);
    EXPECT_EQ(n, 1u) << "never more than waiting";
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), (std::vector<uint8_t>{0xFF, 0x01, 0x02}));
    const uint8_t ack[] = {0xFD, 0x01, 0xFB};
    ASSERT_EQ(usb.Write(ack, 3), 0);
    EXPECT_EQ(lib_.WrittenTo("A1"), (std::vector<uint8_t>{0xFD, 0x01, 0xFB}));
    EXPECT_EQ(usb.TakeLineErrors(), 0u);
    // The wake event interrupts the wait and is consumed.
    auto waiting_thread = std::async(std::launch::async, [&] { return usb.WaitForData(10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    usb.Wake();
    ASSERT_EQ(waiting_thread.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiting_thread.get(), WaitResult::Wake);
    EXPECT_EQ(usb.WaitForData(transport::kUsbWaitMs), WaitResult::Timeout);
    ASSERT_EQ(usb.Purge(), 0);
    EXPECT_EQ(lib_.Calls().back(), "Purge 3");
}

TEST_F(UsbTest, DataWaitingBeforeTheNotificationIsSeen) {
    lib_.Send("A1", {1, 2});
    transport::UsbTransport usb(lib_, handle_);
    ASSERT_EQ(usb.Start(), 0);
    EXPECT_EQ(usb.WaitForData(1000), WaitResult::Data);
}

TEST_F(UsbTest, FailingCallsPassTheirStatusAndLeaveTheTransportDead) {
    {
        lib_.FailOn(FakeD2xx::kNotify, 17);
        transport::UsbTransport usb(lib_, handle_);
        EXPECT_EQ(usb.Start(), 17);
        lib_.FailOn(FakeD2xx::kNotify, 0);
    }
    for (FakeD2xx::Op op : {FakeD2xx::kStatus, FakeD2xx::kRead, FakeD2xx::kWrite}) {
        transport::UsbTransport usb(lib_, handle_);
        ASSERT_EQ(usb.Start(), 0);
        lib_.FailOn(op, 4);
        uint8_t b[4] = {1, 2, 3, 4};
        size_t n = 0;
        int status = op == FakeD2xx::kStatus ? usb.BytesWaiting(&n)
                     : op == FakeD2xx::kRead ? usb.Read(b, sizeof b, &n)
                                             : usb.Write(b, sizeof b);
        EXPECT_EQ(status, 4) << op;
        lib_.FailOn(op, 0);
        // Dead even though the library works again: the reader must end.
        EXPECT_EQ(usb.WaitForData(1000), WaitResult::Error) << op;
        EXPECT_EQ(usb.LastError(), 4);
        EXPECT_NE(usb.BytesWaiting(&n), 0);
        EXPECT_NE(usb.Write(b, 1), 0);
    }
}

TEST_F(UsbTest, AnUnpluggedConverterWakesTheReaderAndFails) {
    transport::UsbTransport usb(lib_, handle_);
    ASSERT_EQ(usb.Start(), 0);
    lib_.Send("A1", {0xFF, 0x05});
    ASSERT_EQ(usb.WaitForData(1000), WaitResult::Data);
    lib_.Unplug("A1");
    size_t waiting = 0;
    ASSERT_EQ(usb.BytesWaiting(&waiting), 0) << "what came before is still read";
    uint8_t b[8];
    size_t n = 0;
    ASSERT_EQ(usb.Read(b, sizeof b, &n), 0);
    EXPECT_EQ(n, 2u);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(usb.WaitForData(10000), WaitResult::Data) << "the unplug signals the event";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(usb.BytesWaiting(&waiting), static_cast<int>(d2xx::FT_IO_ERROR));
    EXPECT_EQ(usb.WaitForData(1000), WaitResult::Error);
    uint32_t count = 9;
    ASSERT_EQ(lib_.ListDevices(0, &count, nullptr, 0, d2xx::FT_LIST_NUMBER_ONLY), d2xx::FT_OK);
    EXPECT_EQ(count, 0u) << "gone from the list";
}

TEST_F(UsbTest, DestroyingTheTransportStopsTheNotification) {
    {
        transport::UsbTransport usb(lib_, handle_);
        ASSERT_EQ(usb.Start(), 0);
    }
    EXPECT_EQ(lib_.Calls().back(), "SetEventNotification 0");
    lib_.Send("A1", {1});  // must not touch the destroyed events
    EXPECT_EQ(lib_.Close(handle_), d2xx::FT_OK);
}

TEST(FakeD2xx, ListsAndOpensTheWayTheLinkAsks) {
    FakeD2xx lib;
    lib.AddDevice("USB Oxi", "S1");
    lib.AddDevice("USB Oxi", "S2");
    uint32_t count = 0;
    ASSERT_EQ(lib.ListDevices(0, &count, nullptr, 0, 0x80000000), d2xx::FT_OK);
    EXPECT_EQ(count, 2u);
    char text[d2xx::kTextSize];
    ASSERT_EQ(lib.ListDevices(1, nullptr, text, sizeof text, 0x40000002), d2xx::FT_OK);
    EXPECT_STREQ(text, "USB Oxi");
    ASSERT_EQ(lib.ListDevices(1, nullptr, text, sizeof text, 0x40000001), d2xx::FT_OK);
    EXPECT_STREQ(text, "S2");
    EXPECT_EQ(lib.ListDevices(2, nullptr, text, sizeof text, 0x40000001),
              d2xx::FT_DEVICE_NOT_FOUND);
    char small[3];
    ASSERT_EQ(lib.ListDevices(0, nullptr, small, sizeof small, 0x40000002), d2xx::FT_OK);
    EXPECT_STREQ(small, "US") << "cut to the buffer, NUL-terminated";
    d2xx::FT_HANDLE h = nullptr;
    EXPECT_EQ(lib.OpenEx("S3", 1, &h), d2xx::FT_DEVICE_NOT_FOUND);
    ASSERT_EQ(lib.OpenEx("S2", 1, &h), d2xx::FT_OK);
    EXPECT_EQ(lib.SerialOf(h), "S2");
    d2xx::FT_HANDLE again = nullptr;
    EXPECT_NE(lib.OpenEx("S2", 1, &again), d2xx::FT_OK) << "a device opens once";
    EXPECT_EQ(lib.OpenCount(), 1);
    EXPECT_EQ(lib.Close(h), d2xx::FT_OK);
    EXPECT_EQ(lib.OpenCount(), 0);
    EXPECT_EQ(lib.SetBaudRate(h, 57600), d2xx::FT_INVALID_HANDLE) << "a closed handle";
}

TEST(FakeD2xx, EveryOperationFailsOnRequestWithItsStatus) {
    FakeD2xx lib;
    lib.AddDevice("Oxi", "S1");
    d2xx::FT_HANDLE h = nullptr;
    ASSERT_EQ(lib.OpenEx("S1", 1, &h), d2xx::FT_OK);
    EventSet events;
    uint8_t buf[4] = {};
    char text[d2xx::kTextSize];
    uint32_t a = 0, b = 0, c = 0;
    auto call = [&](FakeD2xx::Op op) -> d2xx::FT_STATUS {
        switch (op) {
            case FakeD2xx::kListCount:
                return lib.ListDevices(0, &a, nullptr, 0, 0x80000000);
            case FakeD2xx::kListDescription:
                return lib.ListDevices(0, nullptr, text, sizeof text, 0x40000002);
            case FakeD2xx::kListSerial:
                return lib.ListDevices(0, nullptr, text, sizeof text, 0x40000001);
            case FakeD2xx::kOpen: {
                d2xx::FT_HANDLE other = nullptr;
                return lib.OpenEx("S1", 1, &other);
            }
            case FakeD2xx::kClose:
                return lib.Close(h);
            case FakeD2xx::kLatency:
                return lib.SetLatencyTimer(h, 5);
            case FakeD2xx::kBaud:
                return lib.SetBaudRate(h, 115200);
            case FakeD2xx::kData:
                return lib.SetDataCharacteristics(h, 8, 2, 0);
            case FakeD2xx::kFlow:
                return lib.SetFlowControl(h, 0, 0, 0);
            case FakeD2xx::kPurge:
                return lib.Purge(h, 3);
            case FakeD2xx::kChars:
                return lib.SetChars(h, 0xFB, 1, 0, 0);
            case FakeD2xx::kNotify:
                return lib.SetEventNotification(h, 3, &events);
            case FakeD2xx::kStatus:
                return lib.GetStatus(h, &a, &b, &c);
            case FakeD2xx::kRead:
                return lib.Read(h, buf, sizeof buf, &a);
            case FakeD2xx::kWrite:
                return lib.Write(h, buf, sizeof buf, &a);
            default:
                return 0;
        }
    };
    for (int i = 0; i < FakeD2xx::kOpCount; ++i) {
        auto op = static_cast<FakeD2xx::Op>(i);
        lib.FailOn(op, 100 + i);
        EXPECT_EQ(call(op), static_cast<d2xx::FT_STATUS>(100 + i)) << i;
        lib.FailOn(op, 0);
    }
    EXPECT_EQ(lib.OpenCount(), 1) << "a failed close keeps the device open";
    EXPECT_TRUE(lib.WrittenTo("S1").empty()) << "a failed write sends nothing";
    // With the failures cleared every call succeeds (the open one fails: already open).
    for (int i = 0; i < FakeD2xx::kOpCount; ++i) {
        auto op = static_cast<FakeD2xx::Op>(i);
        if (op == FakeD2xx::kOpen || op == FakeD2xx::kClose) continue;
        EXPECT_EQ(call(op), d2xx::FT_OK) << i;
    }
    std::vector<std::string> calls = lib.Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "SetChars 251 1 0 0"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "SetDataCharacteristics 8 2 0"), calls.end());
}

TEST(FakeD2xx, WaitsForWhatTheHostWrites) {
    FakeD2xx lib;
    lib.AddDevice("Oxi", "S1");
    d2xx::FT_HANDLE h = nullptr;
    ASSERT_EQ(lib.OpenEx("S1", 1, &h), d2xx::FT_OK);
    EXPECT_FALSE(lib.WaitForWritten("S1", 1, 10));
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint8_t ack[] = {0xFD, 0x05, 0xFB};
        uint32_t n = 0;
        lib.Write(h, ack, 3, &n);
    });
    EXPECT_TRUE(lib.WaitForWritten("S1", 3, 5000));
    writer.join();
}

TEST(FtdiD2xx, WithoutAConverterNothingIsFoundAndNothingHangs) {
    // Here there is no USB bus (or no converter): enumeration must neither fail nor hang.
    d2xx::FtdiD2xx lib;
    uint32_t count = 99;
    ASSERT_EQ(lib.ListDevices(0, &count, nullptr, 0, d2xx::FT_LIST_NUMBER_ONLY), d2xx::FT_OK);
    if (count != 0) GTEST_SKIP() << "a converter is attached";
    char text[d2xx::kTextSize] = "unchanged";
    EXPECT_EQ(lib.ListDevices(0, nullptr, text, sizeof text, d2xx::kListDescriptionByIndex),
              d2xx::FT_DEVICE_NOT_FOUND);
    d2xx::FT_HANDLE h = reinterpret_cast<d2xx::FT_HANDLE>(1);
    EXPECT_NE(lib.OpenEx("nothing", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h), d2xx::FT_OK);
    EXPECT_EQ(h, nullptr);
    // Handles it never gave out are refused, not followed.
    int not_a_device = 0;
    d2xx::FT_HANDLE bogus = &not_a_device;
    uint32_t a = 0, b = 0, c = 0;
    uint8_t buf[4] = {};
    EXPECT_EQ(lib.GetStatus(bogus, &a, &b, &c), d2xx::FT_INVALID_HANDLE);
    EXPECT_EQ(lib.Read(bogus, buf, 4, &a), d2xx::FT_INVALID_HANDLE);
    EXPECT_EQ(lib.Write(nullptr, buf, 4, &a), d2xx::FT_INVALID_HANDLE);
    EXPECT_EQ(lib.SetBaudRate(bogus, 9600), d2xx::FT_INVALID_HANDLE);
    EXPECT_EQ(lib.Close(bogus), d2xx::FT_INVALID_HANDLE);
}

TEST(D2xxLibrary, TestsCanPutTheirOwnLibraryInPlace) {
    d2xx::ID2xx* real = &d2xx::D2xxLibrary();
    EXPECT_NE(dynamic_cast<d2xx::FtdiD2xx*>(real), nullptr) << "libftdi by default";
    FakeD2xx fake;
    d2xx::SetD2xxLibraryForTesting(&fake);
    EXPECT_EQ(&d2xx::D2xxLibrary(), &fake);
    d2xx::SetD2xxLibraryForTesting(nullptr);
    EXPECT_EQ(&d2xx::D2xxLibrary(), real);
}

TEST(UsbTransportStress, EveryByteArrivesInOrderWhileWakesComeBetween) {
    FakeD2xx lib;
    lib.AddDevice("Oxi", "S1");
    d2xx::FT_HANDLE h = nullptr;
    ASSERT_EQ(lib.OpenEx("S1", 1, &h), d2xx::FT_OK);
    transport::UsbTransport usb(lib, h);
    ASSERT_EQ(usb.Start(), 0);
    constexpr size_t kTotal = 200000;
    std::atomic<bool> done{false};
    std::atomic<int> woken{0};
    std::thread device([&] {
        std::vector<uint8_t> piece;
        for (size_t sent = 0; sent < kTotal;) {
            // Half-way the device waits for wakes, so that they certainly come between
            // its bytes however the threads are scheduled.
            if (sent >= kTotal / 2 && sent - (1 + (sent - 1) % 97) < kTotal / 2)
                while (woken.load() < 20) std::this_thread::yield();
            piece.clear();
            for (size_t i = 0; i < 1 + sent % 97 && sent < kTotal; ++i, ++sent)
                piece.push_back(static_cast<uint8_t>(sent * 7));
            lib.Send("S1", piece);
            if (sent % 13 == 0) std::this_thread::yield();
        }
    });
    std::thread waker([&] {
        while (!done) {
            usb.Wake();
            woken.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    size_t got = 0, wakes = 0;
    bool in_order = true;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (got < kTotal && std::chrono::steady_clock::now() < end) {
        WaitResult r = usb.WaitForData(transport::kUsbWaitMs);
        ASSERT_NE(r, WaitResult::Error);
        if (r == WaitResult::Wake) ++wakes;
        size_t waiting = 0;
        ASSERT_EQ(usb.BytesWaiting(&waiting), 0);
        while (waiting > 0) {
            uint8_t buf[255];
            size_t n = 0;
            ASSERT_EQ(usb.Read(buf, std::min(waiting, sizeof buf), &n), 0);
            for (size_t i = 0; i < n; ++i, ++got)
                in_order = in_order && buf[i] == static_cast<uint8_t>(got * 7);
            waiting -= n;
        }
    }
    done = true;
    device.join();
    waker.join();
    EXPECT_EQ(got, kTotal);
    EXPECT_TRUE(in_order);
    EXPECT_GE(woken.load(), 20);
    // How many wakes the reader saw as such depends on the scheduling: a figure only.
    RecordProperty("wakes_seen", static_cast<int>(wakes));
}
