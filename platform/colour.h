// 24-bit colours in Windows' COLORREF layout: red in the low byte, then green, then blue.
#pragma once

#include <cstdint>

using Colour = uint32_t;

constexpr Colour RGB(uint8_t r, uint8_t g, uint8_t b) {
    return static_cast<Colour>(r) | (static_cast<Colour>(g) << 8) | (static_cast<Colour>(b) << 16);
}
constexpr uint8_t GetRValue(Colour c) { return static_cast<uint8_t>(c & 0xFF); }
constexpr uint8_t GetGValue(Colour c) { return static_cast<uint8_t>((c >> 8) & 0xFF); }
constexpr uint8_t GetBValue(Colour c) { return static_cast<uint8_t>((c >> 16) & 0xFF); }
