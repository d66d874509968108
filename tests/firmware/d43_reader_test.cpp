#include "firmware/d43_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/firmware/d43_test_support.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using firmware::D43Rule;
using firmware_testing::Bytes;
using firmware_testing::D43Image;
using firmware_testing::TraceLine;
using Lines = std::vector<std::string>;

struct Walk {
    int result;
    Lines lines;
};

Walk WalkMemory(const Bytes& image) {
    testing_support::DebugCapture capture;
    const int result = firmware::WalkD43Image(std::span<const uint8_t>(image));
    return {result, capture.Lines()};
}

// A 7-byte code sequence, used to close images; its trace line shows where the record
// before it ended.
const Bytes kClosing = {57, 5, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4};

struct RuleCase {
    const char* what;
    Bytes record;
    uint64_t length;
};

Bytes Filled(std::initializer_list<uint8_t> head, size_t total) {
    Bytes b(head);
    while (b.size() < total) b.push_back(static_cast<uint8_t>(0x10 + b.size()));
    return b;
}

// One case per rule of the tables; each record is exactly `length` bytes.
std::vector<RuleCase> RuleCases() {
    return {
        {"tag 1, no count bytes", {1, 0, 0, 0, 0, 0, 0}, 7},
        {"tag 2, b[5]=2, b[8]=1", Filled({2, 0, 0, 0, 0, 2, 9, 9, 1}, 17), 17},
        {"tag 7, b[5]=1, b[7]=2", Filled({7, 0, 0, 0, 0, 1, 9, 2}, 24), 24},
        {"tag 57, b[1]=3", {57, 3, 1, 2, 3}, 5},
        {"tag 63, b[10]=4", Filled({63, 1, 2, 3, 4, 5, 6, 7, 8, 9, 4}, 15), 15},
        {"tag 73", {73}, 1},
        {"tag 79", {79, 1, 2}, 3},
        {"tag 81", {81, 0, 0, 0, 0, 0}, 6},
        // a = 6 + 1 = 7, c = 7 + 3 + b[9] = 12, length = 12 + 18 + b[25] = 33
        {"tag 82",
         Filled({82, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3},
                33),
         33},
        {"tag 176", Filled({176}, 13), 13},
        {"tag 190, length 3", {190, 0, 0, 0, 3, 1, 2, 3}, 8},
        {"tag 201, length 0x100 (big-endian)", Filled({201, 0, 0, 1, 0}, 261), 261},
        {"tag 205", {205, 0, 0, 0, 0}, 5},
        {"tag 206", {206, 0, 0, 0, 1, 9}, 6},
        {"tag 193", Filled({193}, 18), 18},
        {"tag 196", Filled({196}, 16), 16},
        {"tag 198, length 0x0102 (big-endian)", Filled({198, 1, 2}, 261), 261},
        {"tag 211, length 4", {211, 0, 4, 1, 2, 3, 4}, 7},
        {"tag 208", {208, 1, 2, 3, 4}, 5},
        {"tag 212", Filled({212, 6}, 8), 8},
        {"tag 213", {213, 0}, 2},
        {"tag 215", {215, 1, 9}, 3},
        {"tag 216", Filled({216, 200}, 202), 202},
        {"tag 217", {217, 2, 9, 9}, 4},
        // Tag 74: p = 1, or 2 when bit 7 of b[1] is set; the sub-tag is b[p + 1].
        {"74/15, p 1", {74, 1, 15, 0}, 4},
        {"74/15, p 1, bit 7 of b[3]", {74, 1, 15, 0x80, 0}, 5},
        {"74/15, p 2, bit 7 of b[4]", {74, 0x81, 0, 15, 0x80, 0}, 6},
        {"74/41, p 1", Filled({74, 1, 41}, 12), 12},
        {"74/41, b[1] = 0x85", Filled({74, 0x85, 0, 41}, 13), 13},
        {"74/49, p 1", Filled({74, 1, 49}, 8), 8},
        {"74/49, p 2", Filled({74, 0x80, 1, 49}, 9), 9},
        // list at q = p + 8
        {"74/35, empty list", Filled({74, 1, 35, 0, 0, 0, 0, 0, 0, 0}, 10), 10},
        {"74/35, bit 7 of b[3] moves the list",
         {74, 1, 35, 0x80, 0, 0, 0, 0, 0, 0, 2, 0x81, 0x01, 0x05},
         14},
        {"74/35, p 2, bit 7 of b[4]",
         {74, 0x80, 0, 35, 0x80, 0, 0, 0, 0, 0, 0, 3, 1, 0xFF, 0xFF, 2},
         16},
        {"74/42, one short item", {74, 1, 42, 0x80, 0, 0, 0, 0, 0, 1, 0x7F}, 11},
        {"74/42, bit 7 of b[4] moves the list",
         {74, 1, 42, 0, 0x80, 0, 0, 0, 0, 0, 2, 0x80, 0, 0x80, 0},
         15},
        {"74/43, p 2, bit 7 of b[5]", {74, 0x80, 0, 43, 0, 0x80, 0, 0, 0, 0, 0, 1, 0x90, 0x01}, 14},
        {"74/43, empty list", {74, 1, 43, 0, 0, 0, 0, 0, 0, 0}, 10},
    };
}

TEST(D43Walk, EveryRuleGivesItsRecordLength) {
    for (const RuleCase& c : RuleCases()) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.record.size(), c.length) << "case is built wrongly";
        const Bytes image = D43Image({c.record, kClosing});
        const auto info = firmware::D43RecordLength(image, 59);
        EXPECT_EQ(info.rule, D43Rule::kKnown);
        EXPECT_EQ(info.length, c.length);

        const Walk walk = WalkMemory(image);
        EXPECT_EQ(walk.result, 0);
        ASSERT_GE(walk.lines.size(), 3u);
        EXPECT_EQ(walk.lines[0], TraceLine(image, 59));
        // The closing record is found right after the record under test.
        EXPECT_EQ(walk.lines[walk.lines.size() - 2], TraceLine(image, 59 + c.length));
        EXPECT_EQ(walk.lines.back().rfind("Code sequence at ", 0), 0u);
    }
}

TEST(D43Walk, PreambleAloneGivesNoLine) {
    const Bytes preamble = firmware_testing::D43Preamble();
    for (size_t size : {size_t{0}, size_t{1}, size_t{58}, size_t{59}}) {
        SCOPED_TRACE(size);
        const Walk walk = WalkMemory(Bytes(preamble.begin(), preamble.begin() + size));
        EXPECT_EQ(walk.result, 0);
        EXPECT_TRUE(walk.lines.empty());
    }
}

TEST(D43Walk, CodeSequencesFollowTheCurrentAddress) {
    const Bytes seq16 = Filled({57, 16}, 18);
    const Bytes image = D43Image({{81, 0, 0, 0, 0x12, 0x34}, seq16, kClosing});
    const Walk walk = WalkMemory(image);
    EXPECT_EQ(walk.result, 0);
    EXPECT_EQ(walk.lines, (Lines{TraceLine(image, 59), TraceLine(image, 65),
                                 "Code sequence at 001234 - 001243\n", TraceLine(image, 83),
                                 "Code sequence at 001244 - 001248\n"}));
}

TEST(D43Walk, AddressStartsAtZeroAndTag81ReloadsIt) {
    const Bytes image =
        D43Image({kClosing, {81, 0xEE, 0x00, 0xAB, 0xCD, 0xEF}, kClosing, kClosing});
    const Walk walk = WalkMemory(image);
    EXPECT_EQ(walk.result, 0);
    EXPECT_EQ(walk.lines, (Lines{TraceLine(image, 59), "Code sequence at 000000 - 000004\n",
                                 TraceLine(image, 66), TraceLine(image, 72),
                                 "Code sequence at ABCDEF - ABCDF3\n", TraceLine(image, 79),
                                 "Code sequence at ABCDF4 - ABCDF8\n"}));
}

TEST(D43Walk, RecordWithoutARuleStopsTheWalk) {
    for (uint8_t tag : {uint8_t{194}, uint8_t{0}, uint8_t{3}, uint8_t{214}, uint8_t{255}}) {
        SCOPED_TRACE(static_cast<int>(tag));
        const Bytes image = D43Image({kClosing, Filled({tag}, 20), kClosing});
        const Walk walk = WalkMemory(image);
        EXPECT_EQ(walk.result, firmware::kImageMalformed);
        char stop[128];
        std::snprintf(stop, sizeof stop,
                      "*** WalkD43Image: record at 00000042, tag %u (0x%02X), has no length "
                      "rule, walk stopped\n",
                      tag, tag);
        EXPECT_EQ(walk.lines,
                  (Lines{TraceLine(image, 59), "Code sequence at 000000 - 000004\n", stop}));
    }
}

TEST(D43Walk, Tag74WithoutASubTagRuleStopsTheWalk) {
    const Bytes image = D43Image({{74, 0x80, 0, 16, 0, 0, 0, 0, 0, 0}});
    const Walk walk = WalkMemory(image);
    EXPECT_EQ(walk.result, firmware::kImageMalformed);
    EXPECT_EQ(walk.lines, (Lines{"*** WalkD43Image: record at 0000003B, tag 74 (0x4A), has "
                                 "sub-tag 16 (0x10) without a length rule, walk stopped\n"}));
}

TEST(D43Walk, RecordsWhoseLengthIsPastTheEndStopTheWalk) {
    struct Case {
        const char* what;
        Bytes record;
    };
    const std::vector<Case> cases = {
        {"code sequence length past the end", {57}},
        {"length field past the end", {63, 1, 2, 3, 4, 5, 6, 7}},
        {"count byte past the end", {1, 0, 0, 0, 0, 4, 0, 0, 0}},
        {"32-bit length cut", {190, 0xFF, 0xFF, 0xFF}},
        {"tag 82 length byte past the end", Filled({82, 0, 0, 0, 0, 0, 0, 0, 1}, 20)},
        {"tag 74 sub-tag past the end", {74, 0x80}},
        {"tag 74 list item past the end", {74, 1, 35, 0, 0, 0, 0, 0, 0, 3, 0x81, 0x01, 0x82}},
        {"tag 74 list count past the end", {74, 1, 42, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes image = D43Image({kClosing, c.record});
        EXPECT_EQ(firmware::D43RecordLength(image, 66).rule, D43Rule::kCutOff);
        const Walk walk = WalkMemory(image);
        EXPECT_EQ(walk.result, firmware::kImageMalformed);
        char stop[160];
        std::snprintf(stop, sizeof stop,
                      "*** WalkD43Image: record at 00000042, tag %u (0x%02X), runs past the end "
                      "of the file (%zu bytes), walk stopped\n",
                      c.record[0], c.record[0], image.size());
        EXPECT_EQ(walk.lines,
                  (Lines{TraceLine(image, 59), "Code sequence at 000000 - 000004\n", stop}));
    }
}

TEST(D43Walk, RecordsOfKnownLengthRunningPastTheEndAreTracedAndEndTheWalk) {
    // A code sequence of 16 bytes with only 8 left: both records traced, the code line too.
    const Bytes cut_code = D43Image({{81, 0, 0, 0, 0x12, 0x34}, Filled({57, 16}, 10)});
    Walk walk = WalkMemory(cut_code);
    EXPECT_EQ(walk.result, 0);
    EXPECT_EQ(walk.lines,
              (Lines{"0000003B 51 00 00 00 12 34 39\n", "00000041 39 10 12 13 14 15 16\n",
                     "Code sequence at 001234 - 001243\n"}));

    // Complete records shorter than a trace line: the bytes past the end show as 00.
    for (const Bytes& last : {Bytes{73}, Bytes{79, 1, 2}, Bytes{81, 0, 0, 0, 1, 0}}) {
        SCOPED_TRACE(static_cast<int>(last[0]));
        const Bytes image = D43Image({kClosing, last});
        walk = WalkMemory(image);
        EXPECT_EQ(walk.result, 0);
        Bytes shown = last;
        shown.resize(7, 0);
        char line[64];
        std::snprintf(line, sizeof line, "00000042 %02X %02X %02X %02X %02X %02X %02X\n", shown[0],
                      shown[1], shown[2], shown[3], shown[4], shown[5], shown[6]);
        EXPECT_EQ(walk.lines,
                  (Lines{TraceLine(image, 59), "Code sequence at 000000 - 000004\n", line}));
    }

    // A 32-bit length near 4 GiB neither wraps the offset back into the file nor reads on.
    const Bytes huge = D43Image({Filled({190, 0xFF, 0xFF, 0xFF, 0xFF}, 12), kClosing});
    walk = WalkMemory(huge);
    EXPECT_EQ(walk.result, 0);
    EXPECT_EQ(walk.lines, (Lines{TraceLine(huge, 59)}));
}

TEST(D43Walk, FileGivesTheSameTraceAsMemory) {
    testing_support::TempDir dir;
    const Bytes image = D43Image({{81, 0, 0, 0, 0x40, 0}, Filled({57, 9}, 11), {73}, kClosing});
    dir.Write("image.d43", std::string(image.begin(), image.end()));
    testing_support::DebugCapture capture;
    EXPECT_EQ(firmware::WalkD43Image(dir.File("image.d43")), 0);
    EXPECT_EQ(capture.Lines(), WalkMemory(image).lines);
    EXPECT_EQ(capture.Lines().size(), 6u);
}

TEST(D43Walk, FilesThatCannotBeOpened) {
    testing_support::TempDir dir;
    testing_support::DebugCapture capture;
    EXPECT_EQ(firmware::WalkD43Image(static_cast<const char*>(nullptr)),
              firmware::kImageCannotOpen);
    EXPECT_EQ(firmware::WalkD43Image(std::string()), firmware::kImageCannotOpen);
    EXPECT_EQ(firmware::WalkD43Image(dir.File("none.d43")), firmware::kImageCannotOpen);
    EXPECT_EQ(firmware::WalkD43Image(dir.path()), firmware::kImageCannotOpen);
    EXPECT_EQ(capture.Lines(), (Lines{"*** WalkD43Image(" + dir.File("none.d43") +
                                          "): cannot open, error " + std::to_string(ENOENT) + "\n",
                                      "*** WalkD43Image(" + dir.path() + "): cannot open, error " +
                                          std::to_string(EISDIR) + "\n"}));
}

}  // namespace
