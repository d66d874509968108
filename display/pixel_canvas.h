// A 32-bit off-screen pixel image with the drawing rules the plot relies on: a line
// leaves out its end pixel, rectangles cover [left, right) x [top, bottom), and
// everything is clipped to the image. Qt-free, so the plot can be tested headless.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/colour.h"

struct CanvasRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    bool Empty() const { return right <= left || bottom <= top; }
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
    // Smallest rectangle holding both; an empty side is ignored.
    void Unite(const CanvasRect& other);
    bool operator==(const CanvasRect&) const = default;
};

class PixelCanvas {
public:
    // Pixels are 0xAARRGGBB, premultiplied; 0 is transparent, every drawn pixel opaque.
    // Qt shows that layout without conversion (ARGB32_Premultiplied), and the
    // transparent rest lets the widget's own background show through.
    static constexpr uint32_t ToPixel(Colour c) {
        return 0xFF000000u | (static_cast<uint32_t>(GetRValue(c)) << 16) |
               (static_cast<uint32_t>(GetGValue(c)) << 8) | GetBValue(c);
    }
    static constexpr Colour ToColour(uint32_t pixel) {
        return RGB(static_cast<uint8_t>(pixel >> 16), static_cast<uint8_t>(pixel >> 8),
                   static_cast<uint8_t>(pixel));
    }

    PixelCanvas(int width, int height);

    int Width() const { return width_; }
    int Height() const { return height_; }
    // Row-major, Width() pixels per row.
    const uint32_t* Bits() const { return pixels_.data(); }
    uint32_t* MutableBits() { return pixels_.data(); }

    // 0 (transparent) outside the image.
    uint32_t PixelAt(int x, int y) const;
    bool IsDrawn(int x, int y) const { return PixelAt(x, y) != 0; }
    Colour ColourAt(int x, int y) const { return ToColour(PixelAt(x, y)); }

    void Clear();
    // Back to transparent inside the rectangle (clipped).
    void ClearRect(const CanvasRect& rect);

    void SetPen(Colour colour) {
        pen_colour_ = colour;
        pen_pixel_ = ToPixel(colour);
    }
    Colour Pen() const { return pen_colour_; }

    void MoveTo(int x, int y) {
        x_ = x;
        y_ = y;
    }
    int CurrentX() const { return x_; }
    int CurrentY() const { return y_; }
    // From the current position to (x, y) in the pen colour, without the end pixel;
    // (x, y) becomes the current position.
    void LineTo(int x, int y);

    void SetPixel(int x, int y, Colour colour);
    void FillRect(const CanvasRect& rect, Colour colour);
    // One-pixel outline just inside the rectangle.
    void FrameRect(const CanvasRect& rect, Colour colour);
    // The pixels of another image of the same size inside the rectangle (clipped).
    void CopyRect(const PixelCanvas& from, const CanvasRect& rect);

private:
    void FillPixels(const CanvasRect& rect, uint32_t pixel);
    // The part of rect inside the canvas (possibly empty).
    CanvasRect Clip(const CanvasRect& rect) const;
    void ClippedLine(int x0, int y0, int x1, int y1);

    int width_;
    int height_;
    std::vector<uint32_t> pixels_;
    Colour pen_colour_ = RGB(0, 0, 0);
    uint32_t pen_pixel_ = ToPixel(RGB(0, 0, 0));
    int x_ = 0;
    int y_ = 0;
};
