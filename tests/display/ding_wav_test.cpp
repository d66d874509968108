// The heartbeat sound that ships beside the program.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t U32(const std::string& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
uint16_t U16(const std::string& b, size_t at) {
    uint16_t v;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}

TEST(DingWav, IsShortMonoPcmToneOfAbout880Hz) {
    const std::string wav = ReadFile(VELT_DING_WAV);
    ASSERT_GE(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(U32(wav, 4), wav.size() - 8);
    EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(U16(wav, 20), 1);  // PCM
    EXPECT_EQ(U16(wav, 22), 1);  // mono
    const uint32_t rate = U32(wav, 24);
    EXPECT_EQ(U16(wav, 34), 16);
    EXPECT_EQ(U32(wav, 28), rate * 2);
    ASSERT_EQ(wav.substr(36, 4), "data");
    const uint32_t bytes = U32(wav, 40);
    ASSERT_EQ(bytes + 44, wav.size());
    const size_t n = bytes / 2;
    const double seconds = static_cast<double>(n) / rate;
    EXPECT_NEAR(seconds, 0.150, 0.02);

    // Frequency from the rising zero crossings; loudness decays towards the end.
    int crossings = 0;
    double head = 0, tail = 0;
    int16_t prev = 0;
    for (size_t i = 0; i < n; ++i) {
        const int16_t s = static_cast<int16_t>(U16(wav, 44 + 2 * i));
        if (prev < 0 && s >= 0) ++crossings;
        prev = s;
        if (i < n / 4) head += std::abs(s);
        if (i >= 3 * n / 4) tail += std::abs(s);
    }
    EXPECT_NEAR(crossings / seconds, 880.0, 30.0);
    EXPECT_GT(head, 10 * tail);
}

TEST(DingWav, IsCopiedBesideTheExecutable) {
    EXPECT_EQ(ReadFile(VELT_DING_WAV_COPY), ReadFile(VELT_DING_WAV));
}

}  // namespace
