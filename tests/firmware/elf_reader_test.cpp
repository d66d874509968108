#include "firmware/elf_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/firmware/toolchain_elf.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using firmware::ElfSegment;
using firmware::ReadElfImage;
using firmware_testing::ProgramHeader;

struct Loaded {
    int index;
    uint32_t offset;
    uint32_t file_size;
    std::vector<uint8_t> bytes;
};

struct ReadOutcome {
    int result;
    std::vector<Loaded> segments;
};

firmware::ElfSegmentVisitor Collect(std::vector<Loaded>& into) {
    return [&into](const ElfSegment& s, std::span<const uint8_t> bytes) {
        into.push_back({s.index, s.offset, s.file_size, {bytes.begin(), bytes.end()}});
    };
}

ReadOutcome ReadMemory(const std::vector<uint8_t>& image) {
    ReadOutcome run{};
    run.result = ReadElfImage(std::span<const uint8_t>(image), Collect(run.segments));
    return run;
}

ReadOutcome ReadPath(const std::string& path) {
    ReadOutcome run{};
    run.result = ReadElfImage(path, Collect(run.segments));
    return run;
}

void Put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}

void Put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// A file of `total` bytes (a counting pattern) with the three table fields set.
std::vector<uint8_t> Image(size_t total, uint32_t phoff, uint16_t phentsize, uint16_t phnum) {
    std::vector<uint8_t> v(total);
    for (size_t i = 0; i < total; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    if (total >= 52) {
        Put32(v, 28, phoff);
        Put16(v, 42, phentsize);
        Put16(v, 44, phnum);
    }
    return v;
}

void PutEntry(std::vector<uint8_t>& v, size_t at, uint32_t offset, uint32_t file_size) {
    Put32(v, at + 4, offset);
    Put32(v, at + 16, file_size);
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t offset, size_t n) {
    return std::vector<uint8_t>(v.begin() + offset, v.begin() + offset + n);
}

class ToolchainElf : public ::testing::Test {
protected:
    std::string Build(const std::string& name, const std::string& script = "") {
        auto exe =
            firmware_testing::BuildElf(dir_.path(), name, firmware_testing::kProgramSource, script);
        if (!exe) return {};
        return *exe;
    }
    // The reader must load exactly the entries readelf lists with file bytes, in table
    // order, each with the file's bytes at its offset.
    void ExpectMatchesReadelf(const std::string& path, const ReadOutcome& run) {
        auto headers = firmware_testing::ReadelfProgramHeaders(path);
        ASSERT_TRUE(headers.has_value()) << "readelf -lW failed on " << path;
        const auto file = firmware_testing::FileBytes(path);
        std::vector<std::pair<int, ProgramHeader>> expected;
        for (size_t i = 0; i < headers->size(); ++i) {
            if ((*headers)[i].file_size != 0)
                expected.push_back({static_cast<int>(i), (*headers)[i]});
        }
        ASSERT_EQ(run.segments.size(), expected.size());
        for (size_t k = 0; k < expected.size(); ++k) {
            SCOPED_TRACE("segment " + std::to_string(k) + " " + expected[k].second.type);
            const Loaded& s = run.segments[k];
            EXPECT_EQ(s.index, expected[k].first);
            EXPECT_EQ(s.offset, expected[k].second.offset);
            EXPECT_EQ(s.file_size, expected[k].second.file_size);
            ASSERT_LE(size_t{s.offset} + s.file_size, file.size());
            EXPECT_EQ(s.bytes, Slice(file, s.offset, s.file_size));
        }
    }

    testing_support::TempDir dir_;
};

#define REQUIRE_TOOLCHAIN(path) \
    if ((path).empty())         \
    GTEST_SKIP() << "cannot make a 32-bit ELF here: needs `as --32` and `ld -m elf_i386`"

TEST_F(ToolchainElf, LoadsEverySegmentThatHasFileBytes) {
    const std::string exe = Build("program");
    REQUIRE_TOOLCHAIN(exe);
    const ReadOutcome by_path = ReadPath(exe);
    EXPECT_EQ(by_path.result, 0);
    ExpectMatchesReadelf(exe, by_path);
    EXPECT_FALSE(by_path.segments.empty());

    // The in-memory reader sees the same segments.
    const ReadOutcome in_memory = ReadMemory(firmware_testing::FileBytes(exe));
    EXPECT_EQ(in_memory.result, 0);
    ExpectMatchesReadelf(exe, in_memory);
}

TEST_F(ToolchainElf, SkipsSegmentsWithoutFileBytes) {
    const std::string exe = Build("separate_bss", firmware_testing::kSeparateBssScript);
    REQUIRE_TOOLCHAIN(exe);
    auto headers = firmware_testing::ReadelfProgramHeaders(exe);
    ASSERT_TRUE(headers.has_value());
    ASSERT_EQ(headers->size(), 4u);
    ASSERT_EQ((*headers)[2].file_size, 0u) << "the bss segment should have no file bytes";
    ASSERT_EQ((*headers)[3].file_size, 0u);

    const ReadOutcome run = ReadPath(exe);
    EXPECT_EQ(run.result, 0);
    ExpectMatchesReadelf(exe, run);
    ASSERT_EQ(run.segments.size(), 2u);
    EXPECT_EQ(run.segments[1].index, 1);
}

TEST_F(ToolchainElf, NoProgramHeadersMeansNothingBeyondTheHeader) {
    auto object =
        firmware_testing::BuildObject(dir_.path(), "object", firmware_testing::kProgramSource);
    REQUIRE_TOOLCHAIN(object.value_or(""));
    auto headers = firmware_testing::ReadelfProgramHeaders(*object);
    ASSERT_TRUE(headers.has_value());
    EXPECT_TRUE(headers->empty());
    const ReadOutcome run = ReadPath(*object);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.segments.empty());

    // The same executable with its count patched to 0, and to a negative 16-bit count.
    const std::string exe = Build("program");
    REQUIRE_TOOLCHAIN(exe);
    for (uint16_t count : {uint16_t{0}, uint16_t{0x8000}, uint16_t{0xFFFF}}) {
        SCOPED_TRACE(count);
        auto bytes = firmware_testing::FileBytes(exe);
        Put16(bytes, 44, count);
        const ReadOutcome patched = ReadMemory(bytes);
        EXPECT_EQ(patched.result, 0);
        EXPECT_TRUE(patched.segments.empty());
    }
}

TEST_F(ToolchainElf, CutOffExecutableLoadsOnlyTheSegmentsStillWhole) {
    const std::string exe = Build("program");
    REQUIRE_TOOLCHAIN(exe);
    const ReadOutcome whole = ReadPath(exe);
    ASSERT_GE(whole.segments.size(), 2u);
    const Loaded& last = whole.segments.back();
    auto bytes = firmware_testing::FileBytes(exe);
    bytes.resize(last.offset + last.file_size - 1);

    testing_support::DebugCapture capture;
    const ReadOutcome cut = ReadMemory(bytes);
    EXPECT_EQ(cut.result, firmware::kImageMalformed);
    ASSERT_EQ(cut.segments.size(), whole.segments.size() - 1);
    for (size_t i = 0; i < cut.segments.size(); ++i) {
        EXPECT_EQ(cut.segments[i].bytes, whole.segments[i].bytes);
    }
    EXPECT_EQ(capture.Count("*** ReadElfImage(memory): segment " + std::to_string(last.index) +
                            " (" + std::to_string(last.file_size) + " bytes at offset " +
                            std::to_string(last.offset) + ") lies outside the file (" +
                            std::to_string(bytes.size()) + " bytes), skipped\n"),
              1u);
}

TEST(ElfReader, HeaderShorterThan52BytesIsMalformed) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{51}}) {
        SCOPED_TRACE(size);
        testing_support::DebugCapture capture;
        const ReadOutcome run = ReadMemory(Image(size, 0, 0, 0));
        EXPECT_EQ(run.result, firmware::kImageMalformed);
        EXPECT_TRUE(run.segments.empty());
        EXPECT_EQ(capture.Lines(),
                  std::vector<std::string>{"*** ReadElfImage(memory): file header cut off, " +
                                           std::to_string(size) + " of 52 bytes\n"});
    }
    // Exactly a header, no table: done.
    EXPECT_EQ(ReadMemory(Image(52, 52, 32, 0)).result, 0);
}

TEST(ElfReader, FollowsTheEntrySizeAndOrder) {
    // Entries 40 bytes apart; entry 1 has no file bytes.
    auto v = Image(320, 60, 40, 3);
    PutEntry(v, 60, 300, 20);  // ends exactly at the end of the file
    PutEntry(v, 100, 0, 0);
    PutEntry(v, 140, 200, 100);
    const ReadOutcome run = ReadMemory(v);
    EXPECT_EQ(run.result, 0);
    ASSERT_EQ(run.segments.size(), 2u);
    EXPECT_EQ(run.segments[0].index, 0);
    EXPECT_EQ(run.segments[0].bytes, Slice(v, 300, 20));
    EXPECT_EQ(run.segments[1].index, 2);
    EXPECT_EQ(run.segments[1].bytes, Slice(v, 200, 100));
}

TEST(ElfReader, EntrySizeBelow32StopsBeforeTheTable) {
    for (uint16_t entsize : {uint16_t{0}, uint16_t{16}, uint16_t{31}}) {
        SCOPED_TRACE(entsize);
        auto v = Image(200, 52, entsize, 2);
        PutEntry(v, 52, 100, 10);
        testing_support::DebugCapture capture;
        const ReadOutcome run = ReadMemory(v);
        EXPECT_EQ(run.result, firmware::kImageMalformed);
        EXPECT_TRUE(run.segments.empty());
        EXPECT_EQ(capture.Count("*** ReadElfImage(memory): e_phentsize " + std::to_string(entsize) +
                                " is below 32, program headers not read\n"),
                  1u);
    }
}

TEST(ElfReader, TableOutsideTheFileStopsTheRead) {
    struct Case {
        const char* what;
        uint32_t phoff;
        uint16_t phnum;
        size_t loaded;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"starts past the end", 1000, 1, 0,
         "program header 0 at offset 1000 lies outside the file (256 bytes)"},
        {"last entry cut off", 52, 7, 6,
         "program header 6 at offset 244 lies outside the file (256 bytes)"},
        // In 32 bits the second entry would wrap round to offset 16, inside the file.
        {"wraps at 4 GiB", 0xFFFFFFF0u, 2, 0,
         "program header 0 at offset 4294967280 lies outside the file (256 bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto v = Image(256, c.phoff, 32, c.phnum);
        for (size_t at = 52; at + 32 <= 256; at += 32) PutEntry(v, at, 10, 4);
        testing_support::DebugCapture capture;
        const ReadOutcome run = ReadMemory(v);
        EXPECT_EQ(run.result, firmware::kImageMalformed);
        EXPECT_EQ(run.segments.size(), c.loaded);
        EXPECT_EQ(capture.Lines(),
                  std::vector<std::string>{"*** ReadElfImage(memory): " + c.line + "\n"});
    }
}

TEST(ElfReader, SegmentsOutsideTheFileAreSkippedWithoutAllocating) {
    struct Case {
        const char* what;
        uint32_t offset;
        uint32_t file_size;
    };
    const std::vector<Case> cases = {
        {"partly outside", 250, 8},
        {"starts past the end", 300, 1},
        {"offset plus size wraps in 32 bits", 0xFFFFFFF0u, 0x20},
        // Reported as malformed, not as an allocation failure: nothing is allocated.
        {"size larger than any file", 0, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto v = Image(256, 52, 32, 3);
        PutEntry(v, 52, 200, 16);
        PutEntry(v, 84, c.offset, c.file_size);
        PutEntry(v, 116, 240, 16);
        testing_support::DebugCapture capture;
        const ReadOutcome run = ReadMemory(v);
        EXPECT_EQ(run.result, firmware::kImageMalformed);
        ASSERT_EQ(run.segments.size(), 2u) << "the entries beside the bad one are still read";
        EXPECT_EQ(run.segments[0].bytes, Slice(v, 200, 16));
        EXPECT_EQ(run.segments[1].bytes, Slice(v, 240, 16));
        EXPECT_EQ(
            capture.Count("*** ReadElfImage(memory): segment 1 (" + std::to_string(c.file_size) +
                          " bytes at offset " + std::to_string(c.offset) +
                          ") lies outside the file (256 bytes), skipped\n"),
            1u);
    }
}

TEST(ElfReader, FilesThatCannotBeOpened) {
    testing_support::TempDir dir;
    testing_support::DebugCapture capture;
    EXPECT_EQ(ReadElfImage(static_cast<const char*>(nullptr)), firmware::kImageCannotOpen);
    EXPECT_EQ(ReadElfImage(std::string()), firmware::kImageCannotOpen);
    EXPECT_EQ(ReadElfImage(dir.File("missing.elf")), firmware::kImageCannotOpen);
    EXPECT_EQ(ReadElfImage(dir.path()), firmware::kImageCannotOpen);
    EXPECT_EQ(capture.Count("*** ReadElfImage(" + dir.File("missing.elf") +
                            "): cannot open, error " + std::to_string(ENOENT) + "\n"),
              1u);
    EXPECT_EQ(capture.Count("*** ReadElfImage(" + dir.path() + "): cannot open, error " +
                            std::to_string(EISDIR) + "\n"),
              1u);
}

}  // namespace
