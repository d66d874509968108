#include "link/transport/usb_transport.h"

#include <gtest/gtest.h>

#include <thread>

#include "link/transport/fake_d2xx.h"
#include "link/transport/fake_transport.h"
#include "link/transport/ftdi_d2xx.h"

TEST(UsbTransport, EventsStatusReadWriteOverTheLibrary) {
    d2xx::FakeD2xx lib;
    lib.AddDevice("VELT Oximeter", "A1");
    d2xx::FT_HANDLE h = nullptr;
    ASSERT_EQ(lib.OpenEx("A1", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h), d2xx::FT_OK);
    transport::UsbTransport usb(lib, h);
    ASSERT_EQ(usb.Start(), 0);
    EXPECT_EQ(usb.WaitForData(20), transport::WaitResult::Timeout);
    lib.Send("A1", {0xFF, 0x01, 0x02});
    ASSERT_EQ(usb.WaitForData(1000), transport::WaitResult::Data);
    size_t waiting = 0;
    ASSERT_EQ(usb.BytesWaiting(&waiting), 0);
    EXPECT_EQ(waiting, 3u);
    uint8_t buf[8];
    size_t n = 0;
    ASSERT_EQ(usb.Read(buf, 2, &n), 0);
    EXPECT_EQ(n, 2u) << "never more than asked";
    ASSERT_EQ(usb.Write(buf, 2), 0);
    EXPECT_EQ(lib.WrittenTo("A1"), (std::vector<uint8_t>{0xFF, 0x01}));
    usb.Wake();
    EXPECT_EQ(usb.WaitForData(1000), transport::WaitResult::Wake);
    // A failing status query is passed on unchanged.
    lib.FailOn(d2xx::FakeD2xx::kStatus, 4);
    EXPECT_EQ(usb.BytesWaiting(&waiting), 4);
    EXPECT_EQ(usb.WaitForData(10), transport::WaitResult::Error);
}

TEST(FakeD2xx, ListsOpensBySerialAndFailsOnRequest) {
    d2xx::FakeD2xx lib;
    lib.AddDevice("USB Oxi", "S1");
    lib.AddDevice("USB Oxi", "S2");
    uint32_t count = 0;
    ASSERT_EQ(lib.ListDevices(0, &count, nullptr, 0, d2xx::FT_LIST_NUMBER_ONLY), d2xx::FT_OK);
    EXPECT_EQ(count, 2u);
    char text[d2xx::kTextSize];
    ASSERT_EQ(lib.ListDevices(1, nullptr, text, sizeof text, 0x40000001), d2xx::FT_OK);
    EXPECT_STREQ(text, "S2");
    d2xx::FT_HANDLE h = nullptr;
    ASSERT_EQ(lib.OpenEx("S2", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h), d2xx::FT_OK);
    EXPECT_EQ(lib.SerialOf(h), "S2");
    lib.FailOn(d2xx::FakeD2xx::kBaud, 7);
    EXPECT_EQ(lib.SetBaudRate(h, 57600), 7u);
    EXPECT_EQ(lib.Close(h), d2xx::FT_OK);
    EXPECT_EQ(lib.OpenCount(), 0);
}

TEST(FtdiD2xx, WithoutDevicesTheCountIsZero) {
    // On machines without a USB bus (or converter) enumeration must neither fail nor hang.
    d2xx::FtdiD2xx lib;
    uint32_t count = 99;
    ASSERT_EQ(lib.ListDevices(0, &count, nullptr, 0, d2xx::FT_LIST_NUMBER_ONLY), d2xx::FT_OK);
    if (count == 0) {
        d2xx::FT_HANDLE h = nullptr;
        EXPECT_NE(lib.OpenEx("nothing", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h), d2xx::FT_OK);
        EXPECT_EQ(h, nullptr);
    }
}

TEST(FakeTransport, HangUpAndFailuresAreReported) {
    transport::FakeTransport t;
    t.Feed({1, 2, 3});
    EXPECT_EQ(t.WaitForData(10), transport::WaitResult::Data);
    uint8_t b[8];
    size_t n = 0;
    t.Read(b, sizeof b, &n);
    EXPECT_EQ(n, 3u);
    t.HangUp();
    EXPECT_EQ(t.WaitForData(1000), transport::WaitResult::HangUp);
    EXPECT_NE(t.Write(b, 1), 0);
}
