#include "export/indexed_image.h"

#include <limits>

namespace image_export {

BitmapDescription DescribeBitmap32(int32_t width, int32_t height) {
    BitmapDescription description{};
    BitmapInfoHeader& header = description.header;
    header.size = sizeof(BitmapInfoHeader);
    header.width = width;
    header.height = height;
    header.planes = 1;
    header.bitCount = 32;
    header.compression = 0;
    const int64_t bytes = int64_t{4} * width * height;
    if (width > 0 && height > 0 && bytes <= std::numeric_limits<uint32_t>::max()) {
        header.sizeImage = static_cast<uint32_t>(bytes);
    }
    return description;
}

IndexedImage MakeIndexedImage(const BitmapDescription& description,
                              std::span<const uint8_t> buffer) {
    IndexedImage image;
    image.width = description.header.width;
    image.height = description.header.height;
    image.pixels = buffer;
    image.palette = description.colours;
    image.usedColours = static_cast<int32_t>(description.header.clrUsed);
    return image;
}

}  // namespace image_export
