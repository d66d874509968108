// First-come colour reduction of a 32-bit bottom-up bitmap to at most 256 colours.
#pragma once

#include <cstdint>
#include <span>

#include "export/indexed_image.h"

namespace image_export {

// Builds the palette in description.colours (clrUsed = entries in use) and
// overwrites the buffer in place with one index per pixel, RowStride(width)
// bytes per row, padding bytes zero. Colours are compared on blue, green and red
// only; once 256 entries are in use every further new colour gets index 255.
// Returns false, touching nothing, when the description is not a positive-sized
// 32-bit bitmap or the buffer is smaller than 4 × width × height bytes.
bool ReducePalette(BitmapDescription& description, std::span<uint8_t> buffer);

}  // namespace image_export
