// giflib as the reference decoder for everything the exporter writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gif_oracle {

struct Rgb {
    uint8_t red = 0, green = 0, blue = 0;
    bool operator==(const Rgb&) const = default;
};

struct DecodedGif {
    bool ok = false;
    std::string error;
    int screenWidth = 0, screenHeight = 0;
    int imageCount = 0;
    int width = 0, height = 0;  // of the first image
    bool interlaced = false;
    bool hasLocalColourMap = false;
    std::vector<Rgb> colours;     // the global colour table
    std::vector<uint8_t> pixels;  // indices, top row first
    // The colour of picture pixel (x, y), y = 0 at the top.
    Rgb At(int x, int y) const { return colours.at(pixels.at(size_t(y) * width + x)); }
};

DecodedGif Decode(const std::string& bytes);

// The sub-blocks of the first image's data: the LZW code-size byte, then each
// block's payload; `terminated` when a zero block followed, `trailer` when 0x3B
// came right after it and ended the file.
struct ImageData {
    bool found = false;
    int minimumCodeSize = 0;
    std::vector<std::string> blocks;
    bool terminated = false;
    bool trailer = false;
};
ImageData SplitImageData(const std::string& bytes);

// The codes of a packed stream, read with the widths a GIF decoder uses: M + 1
// after each clear code, one more once the entry count passes each power of two,
// at most 12. Stops after the end code or at the end of the data.
struct Code {
    unsigned value;
    unsigned width;
};
std::vector<Code> ReadCodes(const std::string& packed, int minimumCodeSize);

}  // namespace gif_oracle
