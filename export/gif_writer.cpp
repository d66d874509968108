#include "export/gif_writer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/debug_output.h"

namespace image_export {

GifBitWriter::GifBitWriter(std::FILE* file, uint8_t* blockBuffer)
    : file_(file), blockBuffer_(blockBuffer) {
    blockBuffer_[0] = 0;
}

void GifBitWriter::WriteBytes(const uint8_t* data, size_t count) {
    if (std::fwrite(data, 1, count, file_) != count) failed_ = true;
    bytesWritten_ += static_cast<int32_t>(count);
}

void GifBitWriter::PutRawByte(uint8_t value) { WriteBytes(&value, 1); }

void GifBitWriter::WriteFullBlock() {
    const uint8_t length = kSubBlockSize;
    WriteBytes(&length, 1);
    WriteBytes(blockBuffer_, kSubBlockSize);
    // The bytes after the block, the partly filled one included, move to the front.
    const int rest = currentByte_ - kSubBlockSize;
    std::memmove(blockBuffer_, blockBuffer_ + kSubBlockSize, static_cast<size_t>(rest) + 1);
    currentByte_ = rest;
}

void GifBitWriter::Finish() {
    const int count = currentByte_ + (freeBits_ < 8 ? 1 : 0);
    if (count > 0) {
        const uint8_t length = static_cast<uint8_t>(count);
        WriteBytes(&length, 1);
        WriteBytes(blockBuffer_, static_cast<size_t>(count));
    }
    currentByte_ = 0;
    freeBits_ = 8;
    blockBuffer_[0] = 0;
}

unsigned GifColourTableBits(int32_t usedColours) {
    unsigned n = 1;
    while (n < 8 && (int32_t{1} << n) < usedColours) ++n;
    return n;
}

GifLzwEncoder::GifLzwEncoder(const IndexedImage& image, unsigned codeSize, Tables tables)
    : width_(image.width),
      height_(image.height),
      stride_(RowStride(image.width)),
      pixels_(image.pixels.data()),
      minimumCodeSize_(static_cast<uint16_t>(std::max(2u, codeSize))),
      codeWidth_(static_cast<uint16_t>(minimumCodeSize_ + 1)),
      clearCode_(1u << minimumCodeSize_),
      endCode_(clearCode_ + 1),
      nextCode_(static_cast<uint16_t>(clearCode_ + 2)),
      tables_(tables) {
    for (uint32_t root = 0; root < clearCode_; ++root) {
        tables_.suffix[root] = static_cast<uint8_t>(root);
        tables_.nextSibling[root] = 0;
    }
    ResetDictionary();
}

void GifLzwEncoder::ResetDictionary() {
    // Entries above the roots get their links when they are made, so only the
    // roots need clearing.
    std::fill_n(tables_.firstChild, clearCode_, uint16_t{0});
    codeWidth_ = static_cast<uint16_t>(minimumCodeSize_ + 1);
    nextCode_ = static_cast<uint16_t>(clearCode_ + 2);
}

// Off the pixel loop, so that the loop keeps its few values in registers.
[[gnu::noinline]] void GifLzwEncoder::EndString(GifBitWriter& writer, unsigned current,
                                                unsigned lastChild, uint8_t pixel) {
    writer.PutCode(current, codeWidth_);
    const unsigned entry = nextCode_;
    tables_.suffix[entry] = pixel;
    tables_.firstChild[entry] = 0;
    tables_.nextSibling[entry] = 0;
    if (lastChild != 0) {
        tables_.nextSibling[lastChild] = static_cast<uint16_t>(entry);
    } else {
        tables_.firstChild[current] = static_cast<uint16_t>(entry);
    }
    if (entry == (1u << codeWidth_)) ++codeWidth_;
    ++nextCode_;
    if (nextCode_ == kTableSize - 1) {
        writer.PutCode(clearCode_, codeWidth_);
        ResetDictionary();
    }
}

void GifLzwEncoder::Encode(GifBitWriter& writer) {
    writer.PutRawByte(static_cast<uint8_t>(minimumCodeSize_));
    writer.PutCode(clearCode_, codeWidth_);

    const uint16_t* const firstChild = tables_.firstChild;
    const uint16_t* const nextSibling = tables_.nextSibling;
    const uint8_t* const suffix = tables_.suffix;
    // Picture rows run top to bottom, the stored rows bottom-up.
    const int32_t height = height_;
    const int64_t stride = stride_;
    const int32_t width = width_;
    const uint8_t* rowStart = pixels_ + (height - 1) * stride;
    const uint8_t* next = rowStart + 1;
    const uint8_t* rowEnd = rowStart + width;
    unsigned current = rowStart[0];
    for (int32_t r = 0;;) {
        for (; next != rowEnd; ++next) {
            const uint8_t pixel = *next;
            // The last child seen is where a new entry is linked in.
            unsigned child = firstChild[current];
            unsigned lastChild = 0;
            while (child != 0 && suffix[child] != pixel) {
                lastChild = child;
                child = nextSibling[child];
            }
            if (child != 0) {
                current = child;
            } else {
                EndString(writer, current, lastChild, pixel);
                current = pixel;
            }
        }
        if (++r == height) break;
        rowStart -= stride;
        next = rowStart;
        rowEnd = rowStart + width;
    }
    writer.PutCode(current, codeWidth_);
    writer.PutCode(endCode_, codeWidth_);
    writer.Finish();
}

namespace {

constexpr int32_t kMaxDimension = 0xFFFF;

// Everything the encoder relies on, so that a bad image never yields a broken file.
bool CheckImage(const IndexedImage& image, const char* label) {
    if (image.width < 1 || image.width > kMaxDimension || image.height < 1 ||
        image.height > kMaxDimension) {
        platform::DebugPrintf("*** WriteGif(%s): image size %d x %d not in 1..65535\n", label,
                              image.width, image.height);
        return false;
    }
    if (image.usedColours < 1 || image.usedColours > kPaletteSize) {
        platform::DebugPrintf("*** WriteGif(%s): %d colours used, not in 1..256\n", label,
                              image.usedColours);
        return false;
    }
    const int64_t stride = RowStride(image.width);
    const int64_t needed = (image.height - 1) * stride + image.width;
    if (image.pixels.data() == nullptr || static_cast<int64_t>(image.pixels.size()) < needed) {
        platform::DebugPrintf("*** WriteGif(%s): %zu pixel bytes, %lld needed\n", label,
                              image.pixels.size(), static_cast<long long>(needed));
        return false;
    }
    const unsigned tableSize = 1u << GifColourTableBits(image.usedColours);
    if (tableSize < 256) {
        // An index is outside the table exactly when it has a bit above the table's;
        // OR-ing eight indices at a time keeps this pass cheap next to the encoding.
        const uint64_t outside = 0x0101010101010101ull * static_cast<uint8_t>(~(tableSize - 1));
        const uint8_t* row = image.pixels.data();
        for (int32_t r = 0; r < image.height; ++r, row += stride) {
            uint64_t bits = 0;
            int32_t c = 0;
            for (; c + 8 <= image.width; c += 8) {
                uint64_t word;
                std::memcpy(&word, row + c, 8);
                bits |= word;
            }
            for (; c < image.width; ++c) bits |= row[c];
            if ((bits & outside) == 0) continue;
            uint8_t highest = 0;
            for (c = 0; c < image.width; ++c) highest = std::max(highest, row[c]);
            platform::DebugPrintf(
                "*** WriteGif(%s): pixel index %u in stored row %d outside the %u-entry "
                "colour table\n",
                label, highest, r, tableSize);
            return false;
        }
    }
    return true;
}

void PutLittleEndian16(uint8_t*& out, int32_t value) {
    *out++ = static_cast<uint8_t>(value & 0xFF);
    *out++ = static_cast<uint8_t>((value >> 8) & 0xFF);
}

// Signature, screen descriptor, colour table and image descriptor.
size_t BuildHeader(const IndexedImage& image, unsigned n, uint8_t* out) {
    uint8_t* const start = out;
    static constexpr uint8_t kSignature[6] = {'G', 'I', 'F', '8', '7', 'a'};
    out = std::copy(std::begin(kSignature), std::end(kSignature), out);
    PutLittleEndian16(out, image.width);
    PutLittleEndian16(out, image.height);
    *out++ = static_cast<uint8_t>(0xF0 + (n - 1));
    *out++ = 0;  // background colour index
    *out++ = 0;  // pixel aspect ratio
    for (unsigned i = 0; i < (1u << n); ++i) {
        const PaletteEntry& entry = image.palette[i];
        *out++ = entry.red;
        *out++ = entry.green;
        *out++ = entry.blue;
    }
    *out++ = 0x2C;
    PutLittleEndian16(out, 0);
    PutLittleEndian16(out, 0);
    PutLittleEndian16(out, image.width);
    PutLittleEndian16(out, image.height);
    *out++ = static_cast<uint8_t>(n - 1);
    return static_cast<size_t>(out - start);
}

// The per-image working memory: the three dictionary arrays and the block buffer.
constexpr size_t kWorkBytes =
    GifLzwEncoder::kTableSize * (2 + 2 + 1) + GifBitWriter::kBlockBufferSize;

bool WriteCheckedGif(const IndexedImage& image, std::FILE* file, const char* label,
                     std::pmr::memory_resource* memory) {
    const unsigned n = GifColourTableBits(image.usedColours);
    uint8_t header[13 + 3 * 256 + 10];
    const size_t headerBytes = BuildHeader(image, n, header);
    bool ok = std::fwrite(header, 1, headerBytes, file) == headerBytes;

    void* work = nullptr;
    try {
        work = memory->allocate(kWorkBytes, alignof(uint16_t));
    } catch (const std::bad_alloc&) {
        work = nullptr;
    }
    if (work != nullptr) {
        auto* bytes = static_cast<uint8_t*>(work);
        GifLzwEncoder::Tables tables{
            reinterpret_cast<uint16_t*>(bytes),
            reinterpret_cast<uint16_t*>(bytes + 2 * GifLzwEncoder::kTableSize),
            bytes + 4 * GifLzwEncoder::kTableSize};
        GifBitWriter writer(file, bytes + 5 * GifLzwEncoder::kTableSize);
        GifLzwEncoder encoder(image, n, tables);
        encoder.Encode(writer);
        ok = ok && !writer.Failed();
        memory->deallocate(work, kWorkBytes, alignof(uint16_t));
        ok = std::fputc(0x00, file) != EOF && ok;
    } else {
        platform::DebugPrintf("*** WriteGif(%s): no memory for the encoder\n", label);
        ok = false;
    }
    ok = std::fputc(0x3B, file) != EOF && ok;
    return ok;
}

}  // namespace

bool WriteGif(const IndexedImage& image, std::FILE* file, const char* label,
              std::pmr::memory_resource* memory) {
    if (file == nullptr || !CheckImage(image, label)) return false;
    return WriteCheckedGif(image, file, label, memory);
}

bool WriteGif(const IndexedImage& image, const char* fileName, std::pmr::memory_resource* memory) {
    if (fileName == nullptr || !CheckImage(image, fileName)) return false;
    std::FILE* file = std::fopen(fileName, "wb");
    if (file == nullptr) return false;
    bool ok = WriteCheckedGif(image, file, fileName, memory);
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

}  // namespace image_export
