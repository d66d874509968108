#include "display/waveform_plot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr Colour kRed = RGB(255, 0, 0);
constexpr Colour kBlack = RGB(0, 0, 0);
constexpr Colour kGreen = RGB(0, 128, 0);
constexpr Colour kBg = WaveformPlot::kBackground;

class WaveformPlotTest : public ::testing::Test {
protected:
    static PixelCanvas Snapshot(const WaveformPlot& plot) {
        PixelCanvas copy(1, 1);
        plot.WithCanvas([&](const PixelCanvas& c) { copy = c; });
        return copy;
    }
    static Colour At(const WaveformPlot& plot, int x, int y) {
        Colour c = 0;
        plot.WithCanvas([&](const PixelCanvas& canvas) { c = canvas.ColourAt(x, y); });
        return c;
    }
    static bool Drawn(const WaveformPlot& plot, int x, int y) {
        bool d = false;
        plot.WithCanvas([&](const PixelCanvas& canvas) { d = canvas.IsDrawn(x, y); });
        return d;
    }
    static int CountColour(const PixelCanvas& c, Colour colour) {
        int n = 0;
        for (int y = 0; y < c.Height(); ++y)
            for (int x = 0; x < c.Width(); ++x)
                n += c.IsDrawn(x, y) && c.ColourAt(x, y) == colour ? 1 : 0;
        return n;
    }
};

TEST_F(WaveformPlotTest, ConstructionSetsResetValuesWithoutDrawing) {
    WaveformPlot plot;
    EXPECT_EQ(plot.WritePosition(), 0);
    for (int i = 0; i < WaveformPlot::kColumns; ++i) {
        ASSERT_EQ(plot.Sample(i), 128);
        ASSERT_EQ(plot.SampleColour(i), i % 4 == 0 ? RGB(0, 0, 255) : kBg);
        ASSERT_EQ(plot.PulseTrendValue(i), 0);
        ASSERT_EQ(plot.EventBits(i), 0);
    }
    PixelCanvas c = Snapshot(plot);
    EXPECT_EQ(c.Width(), 843);
    EXPECT_EQ(c.Height(), 436);
    EXPECT_EQ(CountColour(c, kBg) + CountColour(c, kBlack), 0);
}

TEST_F(WaveformPlotTest, ResetPictureIsFramedStripAndDottedBlueLine) {
    WaveformPlot plot;
    plot.ResetPlot();
    const PixelCanvas c = Snapshot(plot);
    // Black one-pixel border of (328, 24, 842, 274).
    for (int x = 328; x < 842; ++x) {
        ASSERT_EQ(c.ColourAt(x, 24), kBlack);
        ASSERT_EQ(c.ColourAt(x, 273), kBlack);
    }
    for (int y = 24; y < 274; ++y) {
        ASSERT_EQ(c.ColourAt(328, y), kBlack);
        ASSERT_EQ(c.ColourAt(841, y), kBlack);
    }
    EXPECT_FALSE(c.IsDrawn(842, 100));
    EXPECT_FALSE(c.IsDrawn(500, 23));
    // Empty strip (328, 280, 842, 289).
    for (int y = 280; y < 289; ++y)
        for (int x = 328; x < 842; ++x) ASSERT_EQ(c.ColourAt(x, y), kBg) << x << "," << y;
    EXPECT_FALSE(c.IsDrawn(400, 279));
    EXPECT_FALSE(c.IsDrawn(400, 289));
    // Blue at y 144 every fourth pixel from 332 to 836, background everywhere else.
    std::vector<int> blue;
    for (int y = 25; y < 273; ++y)
        for (int x = 329; x < 841; ++x) {
            const Colour colour = c.ColourAt(x, y);
            if (colour == RGB(0, 0, 255)) {
                EXPECT_EQ(y, 144);
                blue.push_back(x);
            } else {
                ASSERT_EQ(colour, kBg) << x << "," << y;
            }
        }
    ASSERT_EQ(blue.size(), 127u);
    for (size_t i = 0; i < blue.size(); ++i) EXPECT_EQ(blue[i], 332 + 4 * static_cast<int>(i));
}

TEST_F(WaveformPlotTest, ValuesMapOnePixelPerUnitFromTheBottomLine) {
    WaveformPlot plot;
    plot.ResetPlot();
    plot.AppendSample(255, kRed);  // column 0: zero-length, shows with the next segment
    EXPECT_FALSE(At(plot, 329, 17) == kRed);
    plot.AppendSample(0, kRed);  // column 1: line (329,17)-(330,272)
    EXPECT_EQ(At(plot, 329, 17), kRed);
    EXPECT_FALSE(Drawn(plot, 329, 16));
    plot.AppendSample(0, kRed);  // column 2: (330,272)-(331,272)
    EXPECT_EQ(At(plot, 330, 272), kRed);
    EXPECT_EQ(At(plot, 330, 273), kBlack);  // just inside the bottom border
    EXPECT_EQ(plot.Sample(0), 255);
    EXPECT_EQ(plot.Sample(1), 0);
    EXPECT_EQ(plot.WritePosition(), 3);

    // A full redraw shows values above the frame too, and clears what was there.
    plot.RedrawPlot();
    EXPECT_EQ(At(plot, 329, 17), kRed);
    plot.ResetPlot();
    EXPECT_FALSE(Drawn(plot, 329, 17));
}

TEST_F(WaveformPlotTest, WrapFromLastColumnToFirstDrawsNoJoiningLine) {
    WaveformPlot plot;
    plot.ResetPlot();
    for (int i = 0; i < 512; ++i) plot.AppendSample(200, kBlack);  // y 72
    EXPECT_EQ(plot.WritePosition(), 0);
    plot.AppendSample(50, kRed);  // column 0 again, y 222
    EXPECT_EQ(plot.WritePosition(), 1);
    EXPECT_EQ(plot.Sample(0), 50);
    // Nothing red yet: the step at column 0 is a zero-length line.
    EXPECT_EQ(CountColour(Snapshot(plot), kRed), 0);
    plot.AppendSample(50, kGreen);
    // The column-0 sample shows with the segment drawn from it, and only there.
    const PixelCanvas c = Snapshot(plot);
    EXPECT_EQ(c.ColourAt(329, 222), kGreen);
    EXPECT_EQ(CountColour(c, kGreen), 1);
    EXPECT_EQ(CountColour(c, kRed), 0);
}

TEST_F(WaveformPlotTest, RepaintLeavesGapAtWritePosition) {
    WaveformPlot plot;
    for (int i = 0; i < 512 + 10; ++i) plot.AppendSample(100, kBlack);  // y 172
    ASSERT_EQ(plot.WritePosition(), 10);
    PixelCanvas fresh(843, 436);
    plot.RedrawPlotInto(fresh);
    // The segment into column j covers x = 328 + j; the one into column 10 is missing.
    for (int j = 1; j < 512; ++j) {
        const int x = 328 + j;
        if (j == 10)
            EXPECT_EQ(fresh.ColourAt(x, 172), kBg);
        else
            ASSERT_EQ(fresh.ColourAt(x, 172), kBlack) << j;
    }
    // The incremental picture still holds that segment from the previous sweep.
    plot.RedrawPlot();
    EXPECT_EQ(At(plot, 338, 172), kBg);
    EXPECT_EQ(At(plot, 339, 172), kBlack);
}

TEST_F(WaveformPlotTest, ExposeShowsTheRedrawOnTheBackgroundOnlyWhereExposed) {
    WaveformPlot plot;
    for (int i = 0; i < 512 + 10; ++i) {
        plot.AppendSample(100, kBlack);
        plot.AppendPulseTrend(200);  // y 137, inside the frame from x 328 on
    }
    const PixelCanvas before = Snapshot(plot);
    PixelCanvas redraw(843, 436);  // transparent: the window's background
    plot.RedrawPlotInto(redraw);
    const CanvasRect exposed{300, 100, 500, 200};
    plot.Expose(std::span<const CanvasRect>(&exposed, 1));
    const PixelCanvas after = Snapshot(plot);
    for (int y = 0; y < 436; ++y)
        for (int x = 0; x < 843; ++x) {
            const uint32_t expected =
                exposed.Contains(x, y) ? redraw.PixelAt(x, y) : before.PixelAt(x, y);
            ASSERT_EQ(after.PixelAt(x, y), expected) << x << "," << y;
        }
    // The trend left of the frame went with the background, inside it under the
    // frame's fill, and the previous sweep's segment at the write position (x 338)
    // left the gap.
    EXPECT_TRUE(before.IsDrawn(310, 137));
    EXPECT_FALSE(after.IsDrawn(310, 137));
    EXPECT_EQ(before.ColourAt(400, 137), WaveformPlot::kTrendPen);
    EXPECT_EQ(after.ColourAt(400, 137), kBg);
    EXPECT_EQ(before.ColourAt(338, 172), kBlack);
    EXPECT_EQ(after.ColourAt(338, 172), kBg);
}

TEST_F(WaveformPlotTest, EraseRetracesThePreviousSweepExactly) {
    WaveformPlot plot;
    plot.ResetPlot();
    // Constant values and a jagged waveform: both sweeps must leave nothing behind.
    for (int sweep = 0; sweep < 2; ++sweep) {
        for (int i = 0; i < 512; ++i) {
            const int v = sweep == 0 ? 60 : static_cast<int>(120 + 110 * std::sin(i * 0.37));
            plot.AppendSample(static_cast<uint8_t>(v), kRed);
        }
        for (int i = 0; i < 512; ++i) {
            const int v = sweep == 0 ? 180 : (i * 97) % 256;
            plot.AppendSample(static_cast<uint8_t>(v), kBlack);
        }
        const PixelCanvas c = Snapshot(plot);
        EXPECT_EQ(CountColour(c, kRed), 0) << "sweep " << sweep;
        EXPECT_EQ(CountColour(c, RGB(0, 0, 255)), 0) << "reset dots erased";
        EXPECT_GT(CountColour(c, kBlack), 2 * 512);  // frame border plus the new trace
    }
}

TEST_F(WaveformPlotTest, EventBitsDrawBlackStripPixelsAndSurviveRepaint) {
    WaveformPlot plot;
    plot.ResetPlot();
    plot.AppendSample(128, kBlack);
    plot.AppendSample(128, kBlack, 0x81);  // column 1, x 330
    EXPECT_EQ(plot.EventBits(1), 0x81);
    EXPECT_EQ(plot.EventBits(0), 0);
    auto check_strip = [](const PixelCanvas& c) {
        EXPECT_EQ(c.ColourAt(330, 280), kBlack);
        EXPECT_EQ(c.ColourAt(330, 287), kBlack);
        for (int y = 281; y < 287; ++y) EXPECT_EQ(c.ColourAt(330, y), kBg) << y;
        EXPECT_EQ(c.ColourAt(330, 288), kBg);
        EXPECT_EQ(c.ColourAt(329, 280), kBg);
    };
    check_strip(Snapshot(plot));
    PixelCanvas fresh(843, 436);
    plot.RedrawPlotInto(fresh);
    check_strip(fresh);

    // The next sweep erases the strip column before storing its own bits.
    for (int i = 0; i < 512; ++i) plot.AppendSample(128, kBlack);
    EXPECT_EQ(At(plot, 330, 280), kBg);
    EXPECT_EQ(At(plot, 330, 287), kBg);
    EXPECT_EQ(plot.EventBits(1), 0);
}

TEST_F(WaveformPlotTest, PulseTrendDrawsGreenAtTheLeftWithoutAdvancing) {
    WaveformPlot plot;
    plot.ResetPlot();
    plot.AppendPulseTrend(101);  // a pulse byte of 0 is shown as 101: y 236
    EXPECT_EQ(plot.WritePosition(), 0);
    EXPECT_EQ(plot.PulseTrendValue(0), 101);
    plot.AppendSample(128, kBlack);
    plot.AppendPulseTrend(160);  // a pulse byte of 60: y 177
    EXPECT_EQ(plot.PulseTrendValue(1), 160);
    EXPECT_EQ(At(plot, 4, 236), WaveformPlot::kTrendPen);
    plot.AppendSample(128, kBlack);
    plot.AppendPulseTrend(160);
    EXPECT_EQ(At(plot, 5, 177), WaveformPlot::kTrendPen);
    EXPECT_FALSE(Drawn(plot, 6, 177));

    // Neither a repaint nor a reset draws the trend again; outside the frame it stays.
    plot.ResetPlot();
    EXPECT_EQ(plot.PulseTrendValue(1), 0);
    EXPECT_EQ(At(plot, 5, 177), WaveformPlot::kTrendPen);
    PixelCanvas fresh(843, 436);
    plot.RedrawPlotInto(fresh);
    EXPECT_FALSE(fresh.IsDrawn(5, 177));
}

TEST_F(WaveformPlotTest, PulseTrendErasesItsOwnPreviousSweep) {
    WaveformPlot plot;
    // Trend pixels left of the frame: on the flat line (y 307) and elsewhere.
    auto count = [&plot](int* on_line, int* elsewhere) {
        *on_line = *elsewhere = 0;
        const PixelCanvas c = Snapshot(plot);
        for (int y = 0; y < 436; ++y)
            for (int x = 0; x < 328; ++x)
                if (c.IsDrawn(x, y) && c.ColourAt(x, y) == WaveformPlot::kTrendPen)
                    ++(y == 307 ? *on_line : *elsewhere);
    };
    for (int i = 0; i < 512; ++i) {
        plot.AppendPulseTrend(static_cast<uint8_t>(100 + (i * 13) % 90));
        plot.AppendSample(128, kBlack);
    }
    int on_line = 0, elsewhere = 0;
    count(&on_line, &elsewhere);
    ASSERT_GT(elsewhere, 100) << "the first sweep draws its varying trend";
    for (int i = 0; i < 512; ++i) {
        plot.AppendPulseTrend(30);
        plot.AppendSample(128, kBlack);
    }
    // Left of the frame only the flat second trend (y 307) and erased pixels remain.
    count(&on_line, &elsewhere);
    EXPECT_GT(on_line, 100) << "the second sweep draws its flat trend";
    EXPECT_EQ(elsewhere, 0) << "nothing of the first sweep is left";
}

// Every drawing operation reports a region that holds every pixel it changed, and
// only the first one after the region was taken asks for a repaint.
TEST_F(WaveformPlotTest, DirtyRegionCoversEveryChangeAndRequestsAreCoalesced) {
    WaveformPlot plot;
    int requests = 0;
    plot.SetRepaintRequest([](void* n) { ++*static_cast<int*>(n); }, &requests);
    plot.ResetPlot();
    EXPECT_EQ(requests, 1);
    for (int i = 0; i < 50; ++i) plot.AppendSample(static_cast<uint8_t>(i), kBlack);
    EXPECT_EQ(requests, 1);
    const WaveformPlot::DirtyRegion first = plot.TakeDirtyRegion();
    EXPECT_TRUE(first.Contains(328, 24));
    EXPECT_TRUE(first.Contains(841, 288));
    EXPECT_TRUE(plot.TakeDirtyRegion().Empty());
    // A sample and a trend point far to its left mark their own columns, not all that
    // lies between them.
    for (int i = 0; i < 2; ++i) {
        plot.AppendSample(200, kBlack);
        plot.AppendPulseTrend(30);
        if (i == 0) plot.TakeDirtyRegion();  // the trend's first point joins its last one
    }
    const WaveformPlot::DirtyRegion both = plot.TakeDirtyRegion();
    EXPECT_LE(both.trace.Width(), 2);
    EXPECT_LE(both.trend.Width(), 2);
    EXPECT_LE(both.strip.Width(), 1);

    std::mt19937 rng(3);
    for (int n = 0; n < 400; ++n) {
        const PixelCanvas before = Snapshot(plot);
        const int op = static_cast<int>(rng() % 100);
        const uint8_t v = static_cast<uint8_t>(rng());
        const uint8_t events = op < 10 ? static_cast<uint8_t>(rng()) : 0;
        if (op < 70)
            plot.AppendSample(v, rng() % 2 ? kRed : kBlack, events);
        else if (op < 97)
            plot.AppendPulseTrend(v);
        else
            plot.RedrawPlot();
        const int expected_requests = requests;
        const WaveformPlot::DirtyRegion dirty = plot.TakeDirtyRegion();
        const PixelCanvas after = Snapshot(plot);
        for (int y = 0; y < 436; ++y)
            for (int x = 0; x < 843; ++x)
                if (before.PixelAt(x, y) != after.PixelAt(x, y)) {
                    ASSERT_TRUE(dirty.Contains(x, y)) << "op " << op << " at " << x << "," << y;
                }
        EXPECT_EQ(expected_requests, n + 4);
    }
}

TEST_F(WaveformPlotTest, ClosedPlotDrawsNothing) {
    WaveformPlot plot;
    int requests = 0;
    plot.ResetPlot();
    plot.SetRepaintRequest([](void* n) { ++*static_cast<int*>(n); }, &requests);
    plot.Close();
    EXPECT_TRUE(plot.IsClosed());
    const PixelCanvas before = Snapshot(plot);
    plot.AppendSample(10, kRed);
    plot.AppendPulseTrend(200);
    plot.RedrawPlot();
    plot.ResetPlot();
    const PixelCanvas after = Snapshot(plot);
    EXPECT_EQ(std::vector<uint32_t>(before.Bits(), before.Bits() + 843 * 436),
              std::vector<uint32_t>(after.Bits(), after.Bits() + 843 * 436));
    EXPECT_EQ(requests, 0);
    EXPECT_EQ(plot.WritePosition(), 0);
}

// A receive thread appends while the GUI side resets, repaints and copies the image.
TEST_F(WaveformPlotTest, ConcurrentAppendsAndRepaintsKeepTheStateConsistent) {
    WaveformPlot plot;
    plot.ResetPlot();
    std::atomic<bool> stop{false};
    constexpr int kAppends = 20000;
    std::thread receiver([&] {
        for (int i = 0; i < kAppends; ++i) {
            plot.AppendSample(static_cast<uint8_t>(i), kBlack);
            if (i % 7 == 0) plot.AppendPulseTrend(static_cast<uint8_t>(i));
        }
        stop = true;
    });
    int copies = 0;
    // At least one pass even when the receiver finishes first.
    do {
        plot.RedrawPlot();
        plot.WithCanvas([&](const PixelCanvas& c) { copies += c.IsDrawn(328, 24) ? 1 : 0; });
        plot.TakeDirtyRegion();
    } while (!stop);
    receiver.join();
    EXPECT_EQ(plot.WritePosition(), kAppends % 512);
    for (int i = 0; i < 512; ++i) {
        // Column c last received the append with the largest index i = c (mod 512).
        const int last = ((kAppends - 1 - i) / 512) * 512 + i;
        ASSERT_EQ(plot.Sample(i), static_cast<uint8_t>(last)) << i;
    }
    EXPECT_GT(copies, 0);
}

}  // namespace
