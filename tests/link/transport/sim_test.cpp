#include <gtest/gtest.h>

#include "link/checksum.h"
#include "tools/oximeter-sim/device_model.h"

namespace {

struct Frame {
    uint8_t seq, type, length;
    std::vector<uint8_t> payload;
    bool checksum_ok;
};

// A minimal device-stream parser, independent of the link's decoder.
std::vector<Frame> Parse(const std::vector<uint8_t>& s) {
    std::vector<Frame> out;
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] != 0xFF) {
            ++i;
            continue;
        }
        ++i;
        std::vector<uint8_t> body;
        bool esc = false;
        while (i < s.size() && s[i] != 0xFB && s[i] != 0xFF) {
            if (s[i] == 0xFE) {
                esc = true;
            } else {
                body.push_back(esc ? static_cast<uint8_t>(s[i] | 0x80) : s[i]);
                esc = false;
            }
            ++i;
        }
        if (body.size() < 4) continue;
        Frame f{body[0], body[1], body[2], {}, false};
        if (body.size() != static_cast<size_t>(f.length) + 4) continue;
        f.payload.assign(body.begin() + 3, body.end() - 1);
        f.checksum_ok =
            FrameChecksum(FrameSum(f.seq, f.type, f.length, f.payload.data())) == body.back();
        out.push_back(f);
    }
    return out;
}

std::vector<uint8_t> Stream(sim::Options o, int records) {
    sim::DeviceModel m(o);
    std::vector<uint8_t> all;
    for (int r = 0; r < records; ++r) {
        auto b = m.NextRecordBytes();
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

}  // namespace

TEST(OximeterSim, EncodesTheExampleFrame) {
    EXPECT_EQ(sim::EncodeFrame(5, 36, {0x10, 0x20, 0x30}),
              (std::vector<uint8_t>{0xFF, 0x05, 0x24, 0x03, 0x10, 0x20, 0x30, 0x0D, 0xFB}));
    auto escaped = sim::EncodeFrame(1, 36, {0xFD});
    EXPECT_EQ(escaped[4], 0xFE);
    EXPECT_EQ(escaped[5], 0x7D);
}

TEST(OximeterSim, StreamsValidFramesOfTheProtocolsLengths) {
    for (int protocol : {1, 2}) {
        sim::Options o;
        o.protocol = protocol;
        auto frames = Parse(Stream(o, 500));
        ASSERT_EQ(frames.size(), 500u);
        int type19 = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_TRUE(frames[i].checksum_ok);
            EXPECT_EQ(frames[i].seq, i % 128);
            EXPECT_EQ(frames[i].length, protocol == 2 ? 86 : 50);
            if (frames[i].type == 19)
                ++type19;
            else
                EXPECT_EQ(frames[i].type, 36);
        }
        EXPECT_EQ(type19, 10);
        // The reported pulse rate and SpO2 of a type-36 record.
        const auto& p = frames[0].payload;
        size_t e = protocol == 2 ? 36 : 0;
        EXPECT_EQ(p[e + 40] | (p[e + 41] << 8), 750);
        EXPECT_EQ(p[e + 46] | (p[e + 47] << 8), 970);
    }
}

TEST(OximeterSim, DeterministicForASeedAndFaultsBreakFrames) {
    sim::Options o;
    o.noise = 0.5;
    o.seed = 7;
    EXPECT_EQ(Stream(o, 200), Stream(o, 200));
    sim::Options other = o;
    other.seed = 8;
    EXPECT_NE(Stream(o, 200), Stream(other, 200));
    o.bad_checksum = 0.5;
    auto frames = Parse(Stream(o, 200));
    int bad = 0;
    for (const auto& f : frames) bad += !f.checksum_ok;
    EXPECT_GT(bad, 60);
    EXPECT_LT(bad, 140);
}

TEST(OximeterSim, ReducedProtocolSendsRecordCodesWithDataBytes) {
    sim::Options o;
    o.protocol = 3;
    auto s = Stream(o, 200);  // 4 s: several beats
    int samples = 0, spo2 = 0;
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] == 0xF8) ++samples;
        if (s[i] == 0xF9) {
            ++spo2;
            EXPECT_EQ(s[i + 1], 97);
        }
        if (s[i] >= 0xF8 && s[i] <= 0xFC) {
            EXPECT_LT(s[i + 1], 0xF8) << "a code is followed by data";
        }
    }
    EXPECT_EQ(samples, 200);
    EXPECT_GE(spo2, 4);
    EXPECT_LE(spo2, 6);
}
