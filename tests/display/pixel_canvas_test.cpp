#include "display/pixel_canvas.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr Colour kRed = RGB(255, 0, 0);

int CountDrawn(const PixelCanvas& c) {
    int n = 0;
    for (int y = 0; y < c.Height(); ++y)
        for (int x = 0; x < c.Width(); ++x) n += c.IsDrawn(x, y) ? 1 : 0;
    return n;
}

std::vector<std::pair<int, int>> DrawnPixels(const PixelCanvas& c) {
    std::vector<std::pair<int, int>> out;
    for (int y = 0; y < c.Height(); ++y)
        for (int x = 0; x < c.Width(); ++x)
            if (c.IsDrawn(x, y)) out.emplace_back(x, y);
    return out;
}

TEST(PixelCanvas, ColoursMapToOpaquePixelsAndBack) {
    const Colour c = RGB(12, 34, 56);
    EXPECT_EQ(PixelCanvas::ToPixel(c), 0xFF0C2238u);
    EXPECT_EQ(PixelCanvas::ToColour(PixelCanvas::ToPixel(c)), c);
    PixelCanvas canvas(4, 3);
    EXPECT_EQ(CountDrawn(canvas), 0);
    canvas.SetPixel(3, 2, c);
    EXPECT_EQ(canvas.ColourAt(3, 2), c);
    // Outside the image: ignored on write, transparent on read.
    canvas.SetPixel(4, 0, c);
    canvas.SetPixel(-1, 1, c);
    canvas.SetPixel(0, 3, c);
    EXPECT_EQ(CountDrawn(canvas), 1);
    EXPECT_EQ(canvas.PixelAt(-1, 0), 0u);
    EXPECT_EQ(canvas.PixelAt(100, 100), 0u);
}

TEST(PixelCanvas, ZeroLengthLineDrawsNothingButMoves) {
    PixelCanvas canvas(10, 10);
    canvas.SetPen(kRed);
    canvas.MoveTo(5, 5);
    canvas.LineTo(5, 5);
    EXPECT_EQ(CountDrawn(canvas), 0);
    canvas.MoveTo(1, 2);
    canvas.LineTo(4, 2);
    EXPECT_EQ(canvas.CurrentX(), 4);
    EXPECT_EQ(canvas.CurrentY(), 2);
}

TEST(PixelCanvas, AxisLinesCoverStartUpToEndExclusiveInBothDirections) {
    struct Case {
        int x0, y0, x1, y1;
        std::vector<std::pair<int, int>> expected;  // in row-major order
    };
    const Case cases[] = {
        {2, 3, 6, 3, {{2, 3}, {3, 3}, {4, 3}, {5, 3}}},
        {6, 3, 2, 3, {{3, 3}, {4, 3}, {5, 3}, {6, 3}}},
        {4, 1, 4, 4, {{4, 1}, {4, 2}, {4, 3}}},
        {4, 4, 4, 1, {{4, 2}, {4, 3}, {4, 4}}},
        {0, 0, 3, 3, {{0, 0}, {1, 1}, {2, 2}}},
        {3, 0, 0, 3, {{3, 0}, {2, 1}, {1, 2}}},
    };
    for (const Case& c : cases) {
        PixelCanvas canvas(10, 10);
        canvas.SetPen(kRed);
        canvas.MoveTo(c.x0, c.y0);
        canvas.LineTo(c.x1, c.y1);
        EXPECT_EQ(DrawnPixels(canvas), c.expected)
            << "line (" << c.x0 << "," << c.y0 << ")-(" << c.x1 << "," << c.y1 << ")";
        for (auto [x, y] : c.expected) EXPECT_EQ(canvas.ColourAt(x, y), kRed);
    }
}

// Bresenham: one pixel per step along the major axis, 8-connected, the start in, the
// end out, and every pixel within half a pixel of the ideal line along the minor axis.
TEST(PixelCanvas, GeneralLinesFollowBresenhamInEveryOctant) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> coord(0, 39);
    for (int n = 0; n < 400; ++n) {
        const int x0 = coord(rng), y0 = coord(rng), x1 = coord(rng), y1 = coord(rng);
        if (x0 == x1 && y0 == y1) continue;
        PixelCanvas canvas(40, 40);
        canvas.SetPen(kRed);
        canvas.MoveTo(x0, y0);
        canvas.LineTo(x1, y1);
        const int dx = x1 - x0, dy = y1 - y0;
        const int steps = std::max(std::abs(dx), std::abs(dy));
        ASSERT_EQ(CountDrawn(canvas), steps) << x0 << "," << y0 << "-" << x1 << "," << y1;
        EXPECT_TRUE(canvas.IsDrawn(x0, y0));
        EXPECT_FALSE(canvas.IsDrawn(x1, y1));
        const bool x_major = std::abs(dx) >= std::abs(dy);
        for (int i = 0; i < steps; ++i) {
            // The pixel of step i must lie on the major-axis coordinate of that step.
            const double t = static_cast<double>(i) / steps;
            const double ideal_minor = x_major ? y0 + t * dy : x0 + t * dx;
            const int major = x_major ? x0 + (dx > 0 ? i : -i) : y0 + (dy > 0 ? i : -i);
            int found = 0;
            for (int m = 0; m < 40; ++m) {
                const bool drawn = x_major ? canvas.IsDrawn(major, m) : canvas.IsDrawn(m, major);
                if (drawn) {
                    ++found;
                    EXPECT_LE(std::fabs(m - ideal_minor), 0.5 + 1e-9)
                        << x0 << "," << y0 << "-" << x1 << "," << y1 << " step " << i;
                }
            }
            EXPECT_EQ(found, 1) << x0 << "," << y0 << "-" << x1 << "," << y1 << " step " << i;
        }
    }
}

// A line that leaves the image draws exactly the inside part of the same line drawn
// on a larger image.
TEST(PixelCanvas, LinesAreClippedWithoutChangingTheirPixels) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> coord(-30, 60);
    for (int n = 0; n < 200; ++n) {
        const int x0 = coord(rng), y0 = coord(rng), x1 = coord(rng), y1 = coord(rng);
        PixelCanvas small(30, 30);
        PixelCanvas big(200, 200);
        small.SetPen(kRed);
        big.SetPen(kRed);
        small.MoveTo(x0, y0);
        small.LineTo(x1, y1);
        big.MoveTo(x0 + 50, y0 + 50);
        big.LineTo(x1 + 50, y1 + 50);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 30; ++x)
                ASSERT_EQ(small.IsDrawn(x, y), big.IsDrawn(x + 50, y + 50))
                    << x0 << "," << y0 << "-" << x1 << "," << y1 << " at " << x << "," << y;
    }
}

TEST(PixelCanvas, FillAndFrameCoverHalfOpenRectanglesClipped) {
    PixelCanvas canvas(20, 20);
    canvas.FillRect({2, 3, 6, 5}, kRed);
    EXPECT_EQ(CountDrawn(canvas), 8);
    EXPECT_TRUE(canvas.IsDrawn(2, 3));
    EXPECT_TRUE(canvas.IsDrawn(5, 4));
    EXPECT_FALSE(canvas.IsDrawn(6, 4));
    EXPECT_FALSE(canvas.IsDrawn(5, 5));

    canvas.Clear();
    canvas.FillRect({-5, -5, 2, 2}, kRed);
    canvas.FillRect({18, 18, 40, 40}, kRed);
    canvas.FillRect({5, 5, 5, 9}, kRed);  // empty
    EXPECT_EQ(CountDrawn(canvas), 8);

    canvas.Clear();
    const Colour black = RGB(0, 0, 0);
    canvas.FrameRect({1, 1, 6, 5}, black);
    // Outline of a 5x4 rectangle: 2*5 + 2*2 pixels, the inside left alone.
    EXPECT_EQ(CountDrawn(canvas), 14);
    EXPECT_TRUE(canvas.IsDrawn(1, 1));
    EXPECT_TRUE(canvas.IsDrawn(5, 4));
    EXPECT_FALSE(canvas.IsDrawn(6, 4));
    EXPECT_FALSE(canvas.IsDrawn(3, 2));
    EXPECT_EQ(canvas.ColourAt(5, 1), black);

    canvas.ClearRect({0, 0, 3, 20});
    EXPECT_FALSE(canvas.IsDrawn(1, 1));
    EXPECT_TRUE(canvas.IsDrawn(3, 1));
}

TEST(CanvasRect, UniteIgnoresEmptyRectangles) {
    CanvasRect r;
    r.Unite({5, 5, 5, 10});
    EXPECT_TRUE(r.Empty());
    r.Unite({2, 3, 4, 5});
    EXPECT_EQ(r, (CanvasRect{2, 3, 4, 5}));
    r.Unite({10, 1, 11, 2});
    EXPECT_EQ(r, (CanvasRect{2, 1, 11, 5}));
    r.Unite({});
    EXPECT_EQ(r, (CanvasRect{2, 1, 11, 5}));
}

}  // namespace
