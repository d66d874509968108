#include "display/pixel_canvas.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

void CanvasRect::Unite(const CanvasRect& other) {
    if (other.Empty()) return;
    if (Empty()) {
        *this = other;
        return;
    }
    left = std::min(left, other.left);
    top = std::min(top, other.top);
    right = std::max(right, other.right);
    bottom = std::max(bottom, other.bottom);
}

PixelCanvas::PixelCanvas(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      pixels_(static_cast<size_t>(width_) * static_cast<size_t>(height_), 0u) {}

uint32_t PixelCanvas::PixelAt(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0;
    return pixels_[static_cast<size_t>(y) * width_ + x];
}

void PixelCanvas::Clear() { std::fill(pixels_.begin(), pixels_.end(), 0u); }

void PixelCanvas::SetPixel(int x, int y, Colour colour) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    pixels_[static_cast<size_t>(y) * width_ + x] = ToPixel(colour);
}

void PixelCanvas::FillRect(const CanvasRect& rect, Colour colour) {
    FillPixels(rect, ToPixel(colour));
}

void PixelCanvas::ClearRect(const CanvasRect& rect) { FillPixels(rect, 0u); }

void PixelCanvas::FillPixels(const CanvasRect& rect, uint32_t pixel) {
    const int left = std::max(rect.left, 0);
    const int top = std::max(rect.top, 0);
    const int right = std::min(rect.right, width_);
    const int bottom = std::min(rect.bottom, height_);
    if (left >= right || top >= bottom) return;
    for (int y = top; y < bottom; ++y) {
        uint32_t* row = pixels_.data() + static_cast<size_t>(y) * width_;
        std::fill(row + left, row + right, pixel);
    }
}

void PixelCanvas::FrameRect(const CanvasRect& rect, Colour colour) {
    if (rect.Empty()) return;
    FillRect({rect.left, rect.top, rect.right, rect.top + 1}, colour);
    FillRect({rect.left, rect.bottom - 1, rect.right, rect.bottom}, colour);
    FillRect({rect.left, rect.top, rect.left + 1, rect.bottom}, colour);
    FillRect({rect.right - 1, rect.top, rect.right, rect.bottom}, colour);
}

void PixelCanvas::LineTo(int x1, int y1) {
    const int x0 = x_;
    const int y0 = y_;
    x_ = x1;
    y_ = y1;
    if (x0 == x1 && y0 == y1) return;

    // Every pixel of the line lies in the box of its end points, so a line whose both
    // ends are inside needs no per-pixel clipping: the plot's lines always are.
    const bool inside = x0 >= 0 && x1 >= 0 && y0 >= 0 && y1 >= 0 && x0 < width_ && x1 < width_ &&
                        y0 < height_ && y1 < height_;
    if (!inside) {
        ClippedLine(x0, y0, x1, y1);
        return;
    }

    const uint32_t pixel = pen_pixel_;
    uint32_t* p = pixels_.data() + static_cast<std::ptrdiff_t>(y0) * width_ + x0;
    const int adx = std::abs(x1 - x0);
    const int ady = std::abs(y1 - y0);
    const std::ptrdiff_t step_x = x1 > x0 ? 1 : -1;
    const std::ptrdiff_t step_y = y1 > y0 ? width_ : -static_cast<std::ptrdiff_t>(width_);

    if (ady == 0) {
        for (int i = 0; i < adx; ++i, p += step_x) *p = pixel;
        return;
    }
    if (adx == 0) {
        for (int i = 0; i < ady; ++i, p += step_y) *p = pixel;
        return;
    }
    // Bresenham along the along axis; the loop stops one pixel short of the end.
    std::ptrdiff_t along = step_x;
    std::ptrdiff_t across = step_y;
    int count = adx;
    int other = ady;
    if (ady > adx) {
        along = step_y;
        across = step_x;
        count = ady;
        other = adx;
    }
    int error = 2 * other - count;
    for (int i = 0; i < count; ++i) {
        *p = pixel;
        if (error > 0) {
            p += across;
            error -= 2 * count;
        }
        error += 2 * other;
        p += along;
    }
}

void PixelCanvas::ClippedLine(int x0, int y0, int x1, int y1) {
    // Same stepping as the fast path, each pixel tested against the image.
    const uint32_t pixel = pen_pixel_;
    const int adx = std::abs(x1 - x0);
    const int ady = std::abs(y1 - y0);
    const int sx = x1 > x0 ? 1 : (x1 < x0 ? -1 : 0);
    const int sy = y1 > y0 ? 1 : (y1 < y0 ? -1 : 0);
    const bool x_major = adx >= ady;
    const int count = x_major ? adx : ady;
    const int other = x_major ? ady : adx;
    int error = 2 * other - count;
    int x = x0;
    int y = y0;
    for (int i = 0; i < count; ++i) {
        if (x >= 0 && y >= 0 && x < width_ && y < height_)
            pixels_[static_cast<size_t>(y) * width_ + x] = pixel;
        if (other != 0 && error > 0) {
            if (x_major)
                y += sy;
            else
                x += sx;
            error -= 2 * count;
        }
        error += 2 * other;
        if (x_major)
            x += sx;
        else
            y += sy;
    }
}
