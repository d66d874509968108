// GIF87a writer for indexed images: one global colour table, one image, the
// variable-width LZW code stream packed into 255-byte sub-blocks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory_resource>

#include "export/indexed_image.h"

namespace image_export {

// Packs codes least significant bit first and writes every full 255-byte
// sub-block (length byte, then the data) as soon as it is complete.
class GifBitWriter {
public:
    static constexpr int kBlockBufferSize = 260;
    static constexpr int kSubBlockSize = 255;

    // blockBuffer: kBlockBufferSize bytes owned by the caller.
    GifBitWriter(std::FILE* file, uint8_t* blockBuffer);

    // Appends the low `width` bits (1..12) of value.
    void PutCode(uint32_t value, unsigned width) {
        const unsigned used = 8u - freeBits_;
        uint32_t bits = blockBuffer_[currentByte_] | (value << used);
        unsigned count = used + width;
        while (count >= 8) {
            blockBuffer_[currentByte_++] = static_cast<uint8_t>(bits);
            bits >>= 8;
            count -= 8;
        }
        // Also starts a fresh byte at zero when the code ended on a byte boundary.
        blockBuffer_[currentByte_] = static_cast<uint8_t>(bits);
        freeBits_ = static_cast<uint16_t>(8u - count);
        if (currentByte_ >= kSubBlockSize) WriteFullBlock();
    }

    // Writes the last partial sub-block, a partly filled byte counting as whole.
    void Finish();

    // A byte that goes straight to the file (the code-size byte before the codes).
    void PutRawByte(uint8_t value);

    int32_t BytesWritten() const { return bytesWritten_; }
    bool Failed() const { return failed_; }

private:
    void WriteFullBlock();
    void WriteBytes(const uint8_t* data, size_t count);

    std::FILE* file_;
    uint8_t* blockBuffer_;
    int currentByte_ = 0;
    uint16_t freeBits_ = 8;  // 8 = the current byte is empty
    int32_t bytesWritten_ = 0;
    bool failed_ = false;
};

// The LZW loop over one image. The dictionary is a first-child / next-sibling
// tree: looking up (code, pixel) walks the children of the code.
class GifLzwEncoder {
public:
    static constexpr int kTableSize = 4096;
    static constexpr int kMaxCodeWidth = 12;

    struct Tables {
        uint16_t* firstChild;   // kTableSize entries, 0 = none
        uint16_t* nextSibling;  // kTableSize entries, 0 = none
        uint8_t* suffix;        // kTableSize entries
    };

    // codeSize: N, the colour-table bits (1..8). The image must have been checked
    // (every index below 2^N, the buffer large enough).
    GifLzwEncoder(const IndexedImage& image, unsigned codeSize, Tables tables);

    // Writes the code-size byte and the whole code stream, then finishes the writer.
    void Encode(GifBitWriter& writer);

private:
    void ResetDictionary();
    // Writes the current string's code and makes the entry current + pixel.
    void EndString(GifBitWriter& writer, unsigned current, unsigned lastChild, uint8_t pixel);

    int32_t width_;
    int32_t height_;
    int64_t stride_;
    const uint8_t* pixels_;
    uint16_t minimumCodeSize_;
    uint16_t codeWidth_;
    uint32_t clearCode_;
    uint32_t endCode_;
    uint16_t nextCode_;
    Tables tables_;
};

// N: the smallest n >= 1 with 2^n >= usedColours (1..8).
unsigned GifColourTableBits(int32_t usedColours);

// Creates or truncates the file and writes the whole GIF. Returns true when a
// complete file was written. An image that cannot be encoded soundly (a size
// outside 1..65535, a colour count outside 1..256, a pixel index outside the
// colour table, a buffer too small for the rows) is rejected with one
// debugger-output line and no file is touched. When the working memory cannot be
// had from `memory`, the file holds the header, the colour table, the image
// descriptor and the trailer only.
bool WriteGif(const IndexedImage& image, const char* fileName,
              std::pmr::memory_resource* memory = std::pmr::get_default_resource());

// The same into an open stream, which stays open; `label` names it in diagnostics.
bool WriteGif(const IndexedImage& image, std::FILE* file, const char* label,
              std::pmr::memory_resource* memory = std::pmr::get_default_resource());

}  // namespace image_export
