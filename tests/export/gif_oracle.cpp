#include "tests/export/gif_oracle.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>

namespace gif_oracle {

namespace {

struct Reader {
    const std::string* bytes;
    size_t offset;
};

int ReadFromMemory(GifFileType* gif, GifByteType* out, int length) {
    auto* reader = static_cast<Reader*>(gif->UserData);
    const size_t left = reader->bytes->size() - reader->offset;
    const size_t count = std::min(left, static_cast<size_t>(length));
    std::memcpy(out, reader->bytes->data() + reader->offset, count);
    reader->offset += count;
    return static_cast<int>(count);
}

}  // namespace

DecodedGif Decode(const std::string& bytes) {
    DecodedGif result;
    Reader reader{&bytes, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, ReadFromMemory, &error);
    if (gif == nullptr) {
        result.error = std::string("DGifOpen: ") + GifErrorString(error);
        return result;
    }
    if (DGifSlurp(gif) != GIF_OK) {
        result.error = std::string("DGifSlurp: ") + GifErrorString(gif->Error);
        DGifCloseFile(gif, &error);
        return result;
    }
    result.screenWidth = gif->SWidth;
    result.screenHeight = gif->SHeight;
    result.imageCount = gif->ImageCount;
    if (gif->SColorMap != nullptr) {
        for (int i = 0; i < gif->SColorMap->ColorCount; ++i) {
            const GifColorType& c = gif->SColorMap->Colors[i];
            result.colours.push_back({c.Red, c.Green, c.Blue});
        }
    }
    if (gif->ImageCount >= 1) {
        const SavedImage& image = gif->SavedImages[0];
        result.width = image.ImageDesc.Width;
        result.height = image.ImageDesc.Height;
        result.interlaced = image.ImageDesc.Interlace;
        result.hasLocalColourMap = image.ImageDesc.ColorMap != nullptr;
        result.pixels.assign(image.RasterBits,
                             image.RasterBits + size_t(result.width) * size_t(result.height));
        result.ok = true;
    } else {
        result.error = "no image";
    }
    DGifCloseFile(gif, &error);
    return result;
}

ImageData SplitImageData(const std::string& bytes) {
    ImageData data;
    if (bytes.size() < 13) return data;
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    size_t at = 13;
    if (byte(10) & 0x80) at += 3u << ((byte(10) & 7) + 1);
    if (at + 11 > bytes.size() || byte(at) != 0x2C) return data;
    at += 10;
    data.found = true;
    data.minimumCodeSize = byte(at++);
    while (at < bytes.size()) {
        const size_t length = byte(at++);
        if (length == 0) {
            data.terminated = true;
            data.trailer = at + 1 == bytes.size() && byte(at) == 0x3B;
            break;
        }
        if (at + length > bytes.size()) break;
        data.blocks.push_back(bytes.substr(at, length));
        at += length;
    }
    return data;
}

std::vector<Code> ReadCodes(const std::string& packed, int minimumCodeSize) {
    std::vector<Code> codes;
    const unsigned clear = 1u << minimumCodeSize;
    unsigned width = minimumCodeSize + 1;
    unsigned entries = clear + 2;  // the decoder's next entry once a code has been seen
    bool first = true;
    size_t bit = 0;
    while (bit + width <= packed.size() * 8) {
        unsigned value = 0;
        for (unsigned i = 0; i < width; ++i, ++bit) {
            value |= ((static_cast<uint8_t>(packed[bit / 8]) >> (bit % 8)) & 1u) << i;
        }
        codes.push_back({value, width});
        if (value == clear + 1) break;
        if (value == clear) {
            width = minimumCodeSize + 1;
            entries = clear + 2;
            first = true;
            continue;
        }
        // Every code after the first of a run adds one entry.
        if (!first) ++entries;
        first = false;
        if (entries + 1 > (1u << width) && width < 12) ++width;
    }
    return codes;
}

}  // namespace gif_oracle
