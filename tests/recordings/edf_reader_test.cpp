#include "recordings/edf_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "recordings/edf_writer.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace recordings;
using testing_support::TempDir;

std::vector<uint8_t> Header(uint16_t type, uint16_t length, uint32_t time) {
    std::vector<uint8_t> b;
    b.push_back(type & 0xFF);
    b.push_back(type >> 8);
    b.push_back(length & 0xFF);
    b.push_back(length >> 8);
    for (int i = 0; i < 4; ++i) b.push_back((time >> (8 * i)) & 0xFF);
    return b;
}

std::vector<EdfReadStatus> ReadAll(const std::vector<uint8_t>& bytes,
                                   std::vector<EdfRecord>* records = nullptr) {
    MemoryByteSource source(bytes.data(), bytes.size());
    CEdfReader reader(source);
    std::vector<EdfReadStatus> out;
    for (int guard = 0; guard < 1000; ++guard) {
        EdfRecord r;
        const EdfReadStatus s = reader.Next(r);
        out.push_back(s);
        if (records != nullptr) records->push_back(r);
        if (s != EdfReadStatus::kRecord) break;
    }
    return out;
}

TEST(EdfFormat, HeaderFieldsAreLittleEndian) {
    const uint8_t bytes[8] = {0x01, 0x00, 0x34, 0x12, 0x78, 0x56, 0x34, 0xF2};
    const EdfHeader h = DecodeEdfHeader(bytes);
    EXPECT_EQ(h.type, 1);
    EXPECT_EQ(h.length, 0x1234);
    EXPECT_EQ(h.time, 0xF2345678u);
    const uint8_t neg[4] = {0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(DecodeLe32(neg), -2);
}

TEST(EdfReader, ReadsEveryKnownTypeWithItsBody) {
    std::vector<uint8_t> bytes;
    const uint8_t spare[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    AppendEdfSample(bytes, 7, -123456, spare);
    AppendEdfValues(bytes, 8, 0x1122, 0x3344, 0x5566, 0x77, 0x88);
    uint8_t block[20];
    for (int i = 0; i < 20; ++i) block[i] = static_cast<uint8_t>(100 + i);
    AppendEdfBlock(bytes, 9, block);
    std::vector<uint8_t> body(40);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(AppendEdfVariable(bytes, 10, body.data(), body.size()));
    AppendEdfSample(bytes, 11, 42);
    EXPECT_EQ(bytes.size(), 20u + 16 + 28 + 48 + 20);

    std::vector<EdfRecord> r;
    const auto statuses = ReadAll(bytes, &r);
    ASSERT_EQ(statuses.size(), 6u);
    EXPECT_EQ(statuses.back(), EdfReadStatus::kEnd);
    EXPECT_EQ(r[0].header.type, 1);
    EXPECT_EQ(r[0].header.time, 7u);
    EXPECT_EQ(r[0].sample, -123456);
    EXPECT_EQ(r[0].body[11], 8);
    EXPECT_EQ(r[1].header.type, 2);
    EXPECT_EQ(r[1].body[0], 0x22);
    EXPECT_EQ(r[1].body[5], 0x55);
    EXPECT_EQ(r[1].body[7], 0x88);
    EXPECT_EQ(r[2].body_size, 20u);
    EXPECT_EQ(r[2].body[19], 119);
    EXPECT_EQ(r[3].header.length, 41);
    EXPECT_EQ(r[3].body_size, 40u);
    EXPECT_EQ(r[3].offset, 64u);
    EXPECT_EQ(r[4].sample, 42);
    EXPECT_EQ(r[4].offset, 112u);
}

TEST(EdfReader, EmptyCutShortAndMalformedInput) {
    EXPECT_EQ(ReadAll({}), std::vector<EdfReadStatus>{EdfReadStatus::kEnd});

    std::vector<uint8_t> sample;
    AppendEdfSample(sample, 0, 5);
    for (size_t cut : {1u, 7u, 8u, 19u}) {
        std::vector<uint8_t> bytes(sample.begin(), sample.begin() + cut);
        EXPECT_EQ(ReadAll(bytes).back(), EdfReadStatus::kCutShort) << cut;
    }
    std::vector<uint8_t> two = sample;
    two.insert(two.end(), sample.begin(), sample.begin() + 3);
    EXPECT_EQ(ReadAll(two),
              (std::vector<EdfReadStatus>{EdfReadStatus::kRecord, EdfReadStatus::kCutShort}));

    for (uint16_t type : {0, 5, 0xFFFF}) {
        auto bytes = Header(type, 0, 0);
        EXPECT_EQ(ReadAll(bytes).back(), EdfReadStatus::kUnknownType) << type;
    }

    // Variable records: the body sizes, too-short lengths and impossible ones.
    const struct {
        uint16_t length;
        size_t skipped;
        EdfReadStatus status;
    } cases[] = {{5, 4, EdfReadStatus::kRecord},          {8, 4, EdfReadStatus::kRecord},
                 {9, 8, EdfReadStatus::kRecord},          {32768, 32764, EdfReadStatus::kRecord},
                 {1, 0, EdfReadStatus::kEmptyBody},       {4, 0, EdfReadStatus::kEmptyBody},
                 {0, 0, EdfReadStatus::kOversizeBody},    {32769, 0, EdfReadStatus::kOversizeBody},
                 {65535, 0, EdfReadStatus::kOversizeBody}};
    for (const auto& c : cases) {
        auto bytes = Header(4, c.length, 0);
        bytes.resize(bytes.size() + c.skipped, 0xAB);
        AppendEdfSample(bytes, 0, 99);  // must follow right after the body
        std::vector<EdfRecord> r;
        const auto s = ReadAll(bytes, &r);
        EXPECT_EQ(s[0], c.status) << c.length;
        if (c.status == EdfReadStatus::kRecord) {
            ASSERT_EQ(s.size(), 3u) << c.length;
            EXPECT_EQ(r[1].sample, 99) << c.length;
            EXPECT_EQ(r[0].body_size, c.skipped);
        }
    }
    // A variable body cut short.
    auto bytes = Header(4, 9, 0);
    bytes.resize(bytes.size() + 7);
    EXPECT_EQ(ReadAll(bytes).back(), EdfReadStatus::kCutShort);
}

TEST(EdfReader, ReadFailureOfTheSourceIsNotTakenForTheEnd) {
    TempDir dir;
    // Reading a directory stream fails (EISDIR) rather than ending.
    std::FILE* f = std::fopen(dir.path().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    StdioByteSource source(f);
    CEdfReader reader(source);
    EdfRecord r;
    EXPECT_EQ(reader.Next(r), EdfReadStatus::kReadError);
    std::fclose(f);
}

TEST(EdfWriter, FileRoundTripAndRejectedBodies) {
    TempDir dir;
    CEdfWriter w;
    ASSERT_TRUE(w.Open(dir.File("r.edf")));
    EXPECT_TRUE(w.WriteSample(0, 1));
    EXPECT_TRUE(w.WriteValues(1, 2, 3, 4, 5, 6));
    EXPECT_TRUE(w.WriteBlock(2, nullptr));
    const uint8_t body[12] = {};
    EXPECT_FALSE(w.WriteVariable(3, body, 6));  // not a multiple of 4
    EXPECT_FALSE(w.WriteVariable(3, body, 0));
    EXPECT_FALSE(w.Error().empty());
    EXPECT_TRUE(w.WriteVariable(3, body, 12));
    EXPECT_TRUE(w.WriteSample(4, -1));
    EXPECT_TRUE(w.Close());

    const std::string text = dir.Read("r.edf");
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    std::vector<EdfRecord> r;
    const auto s = ReadAll(bytes, &r);
    ASSERT_EQ(s.size(), 6u);
    EXPECT_EQ(s.back(), EdfReadStatus::kEnd);
    EXPECT_EQ(r[3].body_size, 12u);
    EXPECT_EQ(r[4].sample, -1);
    EXPECT_EQ(r[4].header.time, 4u);

    CEdfWriter bad;
    EXPECT_FALSE(bad.Open(dir.File("no/such/dir/r.edf")));
    EXPECT_NE(bad.Error().find("cannot create"), std::string::npos);
    EXPECT_FALSE(bad.WriteSample(0, 0));
}

TEST(EdfWriter, WriteFailureIsReported) {
    CEdfWriter w;
    ASSERT_TRUE(w.Open("/dev/full"));
    bool ok = true;
    for (int i = 0; i < 10000 && ok; ++i) ok = w.WriteSample(i, i);
    EXPECT_FALSE(ok && w.Close());
    EXPECT_FALSE(w.Error().empty());
}

}  // namespace
