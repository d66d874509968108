#include "display/pixel_canvas.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// n pixels from p on, along apart; returns the position after the last one. Unrolled,
// since a full-scale plot segment is a 255-pixel column.
inline uint32_t* WriteRun(uint32_t* p, int64_t n, std::ptrdiff_t along, uint32_t pixel) {
    const std::ptrdiff_t a2 = 2 * along, a3 = 3 * along, a4 = 4 * along;
    for (; n >= 4; n -= 4, p += a4) {
        p[0] = pixel;
        p[along] = pixel;
        p[a2] = pixel;
        p[a3] = pixel;
    }
    for (; n > 0; --n, p += along) *p = pixel;
    return p;
}

}  // namespace

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

CanvasRect PixelCanvas::Clip(const CanvasRect& rect) const {
    return {std::max(rect.left, 0), std::max(rect.top, 0), std::min(rect.right, width_),
            std::min(rect.bottom, height_)};
}

void PixelCanvas::FillPixels(const CanvasRect& rect, uint32_t pixel) {
    const CanvasRect c = Clip(rect);
    if (c.Empty()) return;
    for (int y = c.top; y < c.bottom; ++y) {
        uint32_t* row = pixels_.data() + static_cast<size_t>(y) * width_;
        std::fill(row + c.left, row + c.right, pixel);
    }
}

void PixelCanvas::CopyRect(const PixelCanvas& from, const CanvasRect& rect) {
    if (from.width_ != width_ || from.height_ != height_) return;
    const CanvasRect c = Clip(rect);
    if (c.Empty()) return;
    for (int y = c.top; y < c.bottom; ++y) {
        const size_t row = static_cast<size_t>(y) * width_;
        std::copy(from.pixels_.begin() + row + c.left, from.pixels_.begin() + row + c.right,
                  pixels_.begin() + row + c.left);
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
        WriteRun(p, adx, step_x, pixel);
        return;
    }
    if (adx == 0) {
        WriteRun(p, ady, step_y, pixel);
        return;
    }
    // Bresenham along the major axis, walked as runs of equal minor coordinate: the
    // plot's near-vertical segments become two tight column runs. The minor offset of
    // step j is ceil((2*other*j - count) / (2*count)), so run k + 1 starts at step
    // ceil((2*count*(k + 1) - count + 1) / (2*other)). The last step drawn is count - 1.
    std::ptrdiff_t along = step_x;
    std::ptrdiff_t across = step_y;
    int64_t count = adx;
    int64_t other = ady;
    if (ady > adx) {
        along = step_y;
        across = step_x;
        count = ady;
        other = adx;
    }
    int64_t j = 0;
    for (int64_t k = 0; j < count; ++k) {
        const int64_t next =
            std::min(count, (2 * count * (k + 1) - count + 2 * other) / (2 * other));
        p = WriteRun(p, next - j, along, pixel) + across;
        j = next;
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
