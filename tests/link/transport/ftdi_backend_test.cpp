// The libftdi backend over a scripted converter: what a transfer carries, what a
// purge, a vanished or wedged converter and a refused thread do.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "link/oximeter.h"
#include "link/transport/fake_ftdi.h"
#include "link/transport/ftdi_d2xx.h"

namespace {

using Bytes = std::vector<uint8_t>;
using d2xx::FakeFtdiChip;

class FtdiBackend : public ::testing::Test {
protected:
    void SetUp() override {
        chip.AddDevice("VELT Oximeter", "S1");
        ASSERT_EQ(lib.OpenEx("S1", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h), d2xx::FT_OK);
        ASSERT_EQ(lib.SetEventNotification(h, 3, &events), d2xx::FT_OK);
    }
    void TearDown() override {
        if (h != nullptr) {
            EXPECT_EQ(lib.Close(h), d2xx::FT_OK);
        }
        EXPECT_EQ(chip.OpenCount(), 0);
    }
    // Everything received so far, waiting up to timeout_ms for `want` bytes.
    Bytes Received(size_t want, int timeout_ms = 2000) {
        Bytes out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < want && std::chrono::steady_clock::now() < end) {
            events.Wait(10);
            uint32_t rx = 0, tx = 0, ev = 0;
            if (lib.GetStatus(h, &rx, &tx, &ev) != d2xx::FT_OK) break;
            Bytes chunk(rx);
            uint32_t got = 0;
            if (rx > 0 && lib.Read(h, chunk.data(), rx, &got) == d2xx::FT_OK)
                out.insert(out.end(), chunk.begin(), chunk.begin() + got);
        }
        return out;
    }
    FakeFtdiChip chip;
    d2xx::FtdiD2xx lib{FakeFtdiChip::Functions()};
    d2xx::EventSet events;
    d2xx::FT_HANDLE h = nullptr;
};

TEST_F(FtdiBackend, StatusBytesGoAndNothingOfAPartialTransferIsLost) {
    Bytes full{0x01, 0x60};
    for (int i = 0; i < 62; ++i) full.push_back(static_cast<uint8_t>(i));
    // Transfers ask for one packet at a time.
    const Bytes partial{0x01, 0x60, 0xA0, 0xA1, 0xA2};  // then the time-out
    chip.ScriptRead({0x01, 0x60}, 0);                   // a packet without data
    chip.ScriptRead(full, 0);
    chip.ScriptRead(partial, d2xx::kFtdiTimeout);
    chip.ScriptRead({0x01, 0x60, 0xB0}, 0);
    Bytes want(full.begin() + 2, full.end());
    want.insert(want.end(), {0xA0, 0xA1, 0xA2, 0xB0});
    EXPECT_EQ(Received(want.size()), want);
    uint32_t status = 1;
    ASSERT_EQ(lib.GetModemStatus(h, &status), d2xx::FT_OK);
    EXPECT_EQ(status, 0u) << "no line error so far";

    // A framing error and an overrun in the line-status byte are reported once.
    chip.ScriptRead({0x01, 0x68, 0xC0}, 0);
    chip.ScriptRead({0x01, 0x62, 0xC1}, 0);
    EXPECT_EQ(Received(2), (Bytes{0xC0, 0xC1}));
    ASSERT_EQ(lib.GetModemStatus(h, &status), d2xx::FT_OK);
    EXPECT_EQ(status, 0x0A00u);
    ASSERT_EQ(lib.GetModemStatus(h, &status), d2xx::FT_OK);
    EXPECT_EQ(status, 0u);
}

TEST_F(FtdiBackend, NoByteFromBeforeAPurgeArrivesAfterIt) {
    ASSERT_EQ(lib.SetLatencyTimer(h, 2), d2xx::FT_OK);
    for (int round = 0; round < 100; ++round) {
        const Bytes old(40, 0x11), fresh(3, 0x22);
        chip.Line(old);
        std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 20)));
        ASSERT_EQ(lib.Purge(h, d2xx::FT_PURGE_RX | d2xx::FT_PURGE_TX), d2xx::FT_OK);
        chip.Line(fresh);
        ASSERT_EQ(Received(3), fresh) << "round " << round;
    }
}

TEST_F(FtdiBackend, AnAcknowledgementDoesNotQueueBehindReadTransfers) {
    ASSERT_EQ(lib.SetLatencyTimer(h, 5), d2xx::FT_OK);
    std::atomic<bool> done{false};
    std::thread line([&] {
        const uint8_t b = 0x42;  // a line without pause
        while (!done) {
            chip.Line(&b, 1);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    for (int i = 0; i < 50; ++i) {
        const int before = chip.ReadTransfers();
        const uint8_t ack[] = {0xFD, static_cast<uint8_t>(i), 0xFB};
        uint32_t written = 0;
        ASSERT_EQ(lib.Write(h, ack, 3, &written), d2xx::FT_OK);
        EXPECT_LE(chip.ReadTransfersAtLastWrite() - before, 1) << "write " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
    line.join();
    EXPECT_EQ(chip.Written().size(), 150u);
}

TEST_F(FtdiBackend, AVanishedConverterFailsOnceItsBytesAreRead) {
    chip.ScriptRead({0x01, 0x60, 0x10, 0x20}, 0);
    ASSERT_EQ(Received(2), (Bytes{0x10, 0x20}));
    chip.Vanish();
    ASSERT_EQ(events.Wait(2000), d2xx::EventSet::kReceive) << "the reader is told";
    uint32_t rx = 0, tx = 0, ev = 0;
    EXPECT_EQ(lib.GetStatus(h, &rx, &tx, &ev), d2xx::kLibftdiStatusBase + 4);
    uint32_t n = 0;
    const uint8_t ack[] = {0xFD, 1, 0xFB};
    EXPECT_NE(lib.Write(h, ack, 3, &n), d2xx::FT_OK);
}

// A frame whose bytes exactly fill a packet ends with the event character: the chip
// sends it at once, and the host must not wait for a short packet to end its transfer.
TEST_F(FtdiBackend, AFrameFillingWholePacketsIsDeliveredWithoutWaitingForTheTimer) {
    ASSERT_EQ(lib.SetLatencyTimer(h, 250), d2xx::FT_OK);
    ASSERT_EQ(lib.SetChars(h, 0xFB, 1, 0, 0), d2xx::FT_OK);
    Bytes frame(124, 0x11);
    frame.back() = 0xFB;
    // A transfer still waiting for a short packet would end only at its 20 ms time-out
    // (the timer is later): the quickest of ten deliveries tells, whatever the load.
    auto quickest = std::chrono::steady_clock::duration::max();
    for (int i = 0; i < 10; ++i) {
        chip.Line(frame);
        ASSERT_EQ(Received(frame.size(), 2000), frame);
        quickest = std::min(quickest, std::chrono::steady_clock::now() - chip.LastLineTime());
    }
    EXPECT_LT(quickest, std::chrono::milliseconds(10))
        << "delivered on its event character, not at the end of the transfer's wait";
}

// Nobody reads: the device keeps 64 KiB, drops the rest and says so as an overrun.
TEST_F(FtdiBackend, UnreadBytesAreBoundedAndTheRestCountedAsAnOverrun) {
    const size_t line = d2xx::kReceiveBufferSize + 5000;
    Bytes bytes(line, 0x22);
    chip.Line(bytes);
    uint32_t rx = 0, tx = 0, ev = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (lib.DroppedBytes(h) < 5000 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(lib.GetStatus(h, &rx, &tx, &ev), d2xx::FT_OK);
    EXPECT_EQ(rx, d2xx::kReceiveBufferSize);
    EXPECT_EQ(lib.DroppedBytes(h), 5000u);
    uint32_t status = 0;
    ASSERT_EQ(lib.GetModemStatus(h, &status), d2xx::FT_OK);
    EXPECT_TRUE(status & (0x02u << 8)) << "an overrun line error";
    EXPECT_EQ(Received(d2xx::kReceiveBufferSize).size(), d2xx::kReceiveBufferSize);
}

TEST(FtdiBackendOpen, ARefusedReaderThreadLeavesNothingOpen) {
    FakeFtdiChip chip;
    chip.AddDevice("VELT Oximeter", "S1");
    d2xx::FtdiD2xx lib(FakeFtdiChip::Functions());
    chip.RefuseThreads(true);
    d2xx::FT_HANDLE h = reinterpret_cast<d2xx::FT_HANDLE>(1);
    EXPECT_EQ(lib.OpenEx("S1", d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h),
              d2xx::FT_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(chip.OpenCount(), 0);
    chip.RefuseThreads(false);
    ASSERT_EQ(lib.OpenEx("VELT Oximeter", d2xx::FT_OPEN_BY_DESCRIPTION, &h), d2xx::FT_OK);
    // A close waits for the write under way, and ends within 300 ms.
    EXPECT_LE(chip.WriteTimeoutMs(), 250) << "writes and controls are bounded";
    EXPECT_GT(chip.WriteTimeoutMs(), 0);
    EXPECT_EQ(lib.Close(h), d2xx::FT_OK);
}

TEST(FtdiBackendLink, TheLinkSetsTheEventCharacterAndClosesAWedgedConverterInTime) {
    FakeFtdiChip chip;
    chip.AddDevice("VELT Oximeter", "S1");
    d2xx::FtdiD2xx lib(FakeFtdiChip::Functions());
    d2xx::SetD2xxLibraryForTesting(&lib);
    {
        COximeter link("VELT Oximeter#S1", 2, false, nullptr);
        ASSERT_EQ(link.Status(), 0);
        EXPECT_EQ(chip.LatencyMs(), 5);
        EXPECT_TRUE(chip.EventCharOn());
        const Bytes frame{0xFF, 0x05, 0x24, 0x03, 0x10, 0x20, 0x30, 0x0D, 0xFB};
        chip.Line(frame);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (chip.Written().size() < 3 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(chip.Written(), (Bytes{0xFD, 0x05, 0xFB}));
        // A line error the converter reports is counted by the link.
        chip.ScriptRead({0x01, 0x70}, 0);  // break
        end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (link.Statistics().Get(LinkStatistics::kLineErrors) == 0 &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(link.Statistics().Get(LinkStatistics::kLineErrors), 1u);

        // Wedged with an acknowledgement on its way: the close still ends in time.
        chip.Wedge();
        chip.Line(frame);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto t0 = std::chrono::steady_clock::now();
        link.ClosePort();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
        EXPECT_EQ(chip.OpenCount(), 0);
    }
    d2xx::SetD2xxLibraryForTesting(nullptr);
}

}  // namespace
