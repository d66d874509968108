#include "recordings/capture_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using namespace recordings;
using testing_support::TempDir;

struct Seen {
    CaptureKind kind;
    uint32_t time_ms;
    std::string bytes;
    size_t end;  // offset just past the record
    bool operator==(const Seen&) const = default;
};

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Reads every record; each must lie inside the input.
std::vector<Seen> ReadAll(CaptureReader& reader, const std::vector<uint8_t>& input) {
    std::vector<Seen> out;
    CaptureRecord r;
    while (reader.Next(&r)) {
        EXPECT_GE(r.data, input.data());
        EXPECT_LE(r.data + r.size, input.data() + input.size());
        out.push_back({r.kind, r.time_ms, std::string(r.data, r.data + r.size), reader.offset()});
    }
    return out;
}

bool Add(CaptureWriter& w, CaptureKind kind, uint32_t time, const std::string& bytes = "") {
    return w.Add(kind, time, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// A session as the tap sees one: the device talking before the program listens, the
// program opening, answering, the device going away and back, the program closing and
// opening again; with records of kinds a later version might add.
std::string WriteSession(const TempDir& dir, const std::string& name) {
    CaptureWriter w;
    const std::string path = dir.File(name);
    EXPECT_TRUE(w.Open(path, {kCaptureVersion, 2, 1765250000123}));
    std::string frame("\xF8\x01\x02\x03\x04\x05\x06\x07\x08\x09", 10);
    EXPECT_TRUE(Add(w, CaptureKind::DeviceBytes, 0, frame));
    EXPECT_TRUE(Add(w, CaptureKind::PortOpened, 15));
    EXPECT_TRUE(Add(w, CaptureKind::DeviceBytes, 20, frame + frame));
    EXPECT_TRUE(Add(w, CaptureKind::ProgramBytes, 21, "\xFD\x00\x01"));
    EXPECT_TRUE(w.Flush());
    EXPECT_TRUE(Add(w, static_cast<CaptureKind>(0), 30, "ignored"));
    EXPECT_TRUE(Add(w, CaptureKind::DeviceLost, 40, "read: Input/output error"));
    EXPECT_TRUE(Add(w, static_cast<CaptureKind>(200), 45));
    EXPECT_TRUE(Add(w, CaptureKind::DeviceBack, 900));
    EXPECT_TRUE(Add(w, CaptureKind::DeviceBytes, 901, frame.substr(3)));
    EXPECT_TRUE(Add(w, CaptureKind::PortClosed, 1000));
    EXPECT_TRUE(Add(w, CaptureKind::DeviceBytes, 1001, "while closed"));
    EXPECT_TRUE(Add(w, CaptureKind::PortOpened, 1200));
    EXPECT_TRUE(Add(w, CaptureKind::DeviceBytes, 1210, frame));
    EXPECT_TRUE(w.Close()) << w.Error();
    return dir.Read(name);
}

TEST(CaptureFile, EveryCutReadsTheWholeRecordsBeforeIt) {
    TempDir dir;
    const std::vector<uint8_t> file = Bytes(WriteSession(dir, "session.cap"));
    CaptureReader full_reader(file.data(), file.size());
    ASSERT_EQ(full_reader.status(), CaptureReader::Status::Ok) << full_reader.Error();
    EXPECT_EQ(full_reader.header().protocol, 2);
    EXPECT_EQ(full_reader.header().start_unix_ms, 1765250000123);
    const std::vector<Seen> full = ReadAll(full_reader, file);
    EXPECT_FALSE(full_reader.truncated());
    EXPECT_EQ(full_reader.offset(), file.size());
    // The kinds this version does not know are skipped, the ones after them are not.
    ASSERT_EQ(full.size(), 11u);
    EXPECT_EQ(full[4].kind, CaptureKind::DeviceLost);
    EXPECT_EQ(full[4].bytes, "read: Input/output error");
    EXPECT_EQ(full[5].kind, CaptureKind::DeviceBack);
    EXPECT_EQ(full[5].time_ms, 900u);

    // boundaries[n]: where the last whole record within the first n bytes ends.
    std::vector<size_t> boundaries(file.size() + 1, kCaptureHeaderSize);
    for (size_t at = kCaptureHeaderSize; at < file.size();) {
        const size_t end = at + kCaptureRecordHeaderSize + (file[at + 5] | file[at + 6] << 8);
        for (size_t n = end; n <= file.size(); ++n) boundaries[n] = end;
        at = end;
    }
    EXPECT_EQ(boundaries[file.size()], file.size());

    for (size_t cut = 0; cut <= file.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        // An exact copy, so that a read past the cut is a read past the buffer.
        std::vector<uint8_t> part(file.begin(), file.begin() + static_cast<long>(cut));
        CaptureReader reader(part.data(), part.size());
        if (cut < kCaptureHeaderSize) {
            EXPECT_EQ(reader.status(), cut == 0 ? CaptureReader::Status::NotACapture
                                                : CaptureReader::Status::BadHeader);
            if (cut > 0) {
                EXPECT_EQ(reader.Error(), "capture header cut short");
            }
            CaptureRecord r;
            EXPECT_FALSE(reader.Next(&r));
            EXPECT_FALSE(ForEachReceivedChunk(reader, [](const CaptureRecord&) {}));
            continue;
        }
        ASSERT_EQ(reader.status(), CaptureReader::Status::Ok);
        const std::vector<Seen> got = ReadAll(reader, part);
        std::vector<Seen> expected;
        for (const Seen& s : full) {
            if (s.end <= cut) expected.push_back(s);
        }
        EXPECT_EQ(got, expected);
        // Reading stops where the last whole record of any kind ends, skipped ones too.
        EXPECT_EQ(reader.offset(), boundaries[cut]);
        EXPECT_EQ(reader.truncated(), boundaries[cut] != cut);
    }
}

TEST(CaptureFile, ChunkLongerThanARecordReadsBackWhole) {
    TempDir dir;
    std::string big(200000, '\0');
    std::mt19937 random(7);
    for (char& c : big) c = static_cast<char>(random());
    CaptureWriter w;
    ASSERT_TRUE(w.Open(dir.File("big.cap"), {kCaptureVersion, 1, 0}));
    ASSERT_TRUE(Add(w, CaptureKind::DeviceBytes, 5, big));
    ASSERT_TRUE(Add(w, CaptureKind::DeviceBytes, 6, "x"));
    ASSERT_TRUE(w.Close());
    const std::vector<uint8_t> file = Bytes(dir.Read("big.cap"));
    EXPECT_EQ(file.size(), kCaptureHeaderSize + 5 * kCaptureRecordHeaderSize + big.size() + 1);

    CaptureReader reader(file.data(), file.size());
    std::string joined;
    std::vector<uint32_t> times;
    ASSERT_TRUE(ForEachReceivedChunk(reader, [&](const CaptureRecord& r) {
        EXPECT_LE(r.size, kCaptureMaxChunk);
        joined.append(r.data, r.data + r.size);
        times.push_back(r.time_ms);
    }));
    EXPECT_FALSE(reader.truncated());
    EXPECT_EQ(joined, big + "x");
    EXPECT_EQ(times, (std::vector<uint32_t>{5, 5, 5, 5, 6}));
}

TEST(CaptureFile, ReceivedChunksAreTheDeviceBytesWhileThePortWasOpen) {
    TempDir dir;
    const std::vector<uint8_t> file = Bytes(WriteSession(dir, "session.cap"));
    auto received = [](const std::vector<uint8_t>& bytes, size_t size) {
        CaptureReader reader(bytes.data(), size);
        std::vector<std::string> out;
        ForEachReceivedChunk(
            reader, [&](const CaptureRecord& r) { out.emplace_back(r.data, r.data + r.size); });
        return out;
    };
    const std::string frame("\xF8\x01\x02\x03\x04\x05\x06\x07\x08\x09", 10);
    EXPECT_EQ(received(file, file.size()),
              (std::vector<std::string>{frame + frame, frame.substr(3), frame}));
    // Cut inside the last record: what was whole before it.
    EXPECT_EQ(received(file, file.size() - 1),
              (std::vector<std::string>{frame + frame, frame.substr(3)}));

    // No open or close recorded: the program listened from the start.
    std::vector<uint8_t> plain;
    AppendCaptureHeader(plain, {kCaptureVersion, 3, 0});
    AppendCaptureRecord(plain, CaptureKind::DeviceBytes, 0, file.data(), 2);
    AppendCaptureRecord(plain, CaptureKind::ProgramBytes, 1, file.data(), 3);
    AppendCaptureRecord(plain, CaptureKind::DeviceBytes, 2, file.data() + 2, 1);
    EXPECT_EQ(received(plain, plain.size()),
              (std::vector<std::string>{std::string("VE"), std::string("L")}));

    // A close first: the program had the port open before the tap could tell.
    AppendCaptureRecord(plain, CaptureKind::PortClosed, 3, nullptr, 0);
    AppendCaptureRecord(plain, CaptureKind::DeviceBytes, 4, file.data(), 1);
    EXPECT_EQ(received(plain, plain.size()),
              (std::vector<std::string>{std::string("VE"), std::string("L")}));
}

TEST(CaptureFile, ForeignAndDamagedHeadersAreRefusedWithAReason) {
    auto status = [](std::vector<uint8_t> bytes) {
        CaptureReader reader(bytes.data(), bytes.size());
        return std::make_pair(reader.status(), reader.Error());
    };
    std::vector<uint8_t> good;
    AppendCaptureHeader(good, {kCaptureVersion, 2, 0});
    EXPECT_EQ(status(good).first, CaptureReader::Status::Ok);
    EXPECT_EQ(status(Bytes("\xF8\x01\x02 not a capture, a raw stream")),
              std::make_pair(CaptureReader::Status::NotACapture,
                             std::string("not a capture file (no VELT-CAP header)")));
    std::vector<uint8_t> v = good;
    v[8] = 2;
    EXPECT_EQ(status(v).first, CaptureReader::Status::UnsupportedVersion);
    EXPECT_NE(status(v).second.find("version 2"), std::string::npos);
    v = good;
    v[12] = 4;
    EXPECT_EQ(status(v).first, CaptureReader::Status::BadHeader);
    EXPECT_NE(status(v).second.find("protocol 4"), std::string::npos);
    v = good;
    v[10] = 23;
    EXPECT_EQ(status(v).first, CaptureReader::Status::BadHeader);
    // A longer header of a later revision: records start where it says.
    v = good;
    v[10] = 26;
    v.insert(v.end(), {0xAA, 0xBB});
    AppendCaptureRecord(v, CaptureKind::PortOpened, 9, nullptr, 0);
    CaptureReader longer(v.data(), v.size());
    CaptureRecord r;
    ASSERT_TRUE(longer.Next(&r));
    EXPECT_EQ(r.kind, CaptureKind::PortOpened);
    EXPECT_EQ(r.time_ms, 9u);
    v.resize(25);
    EXPECT_EQ(status(v).second, "capture header cut short");

    // The writer makes no file a reader would refuse.
    TempDir dir;
    CaptureWriter w;
    EXPECT_FALSE(w.Open(dir.File("p0.cap"), {kCaptureVersion, 0, 0}));
    EXPECT_FALSE(w.Error().empty());
    EXPECT_FALSE(std::filesystem::exists(dir.File("p0.cap")));
}

TEST(CaptureFile, FullDiskLeavesTheFileWholeUpToTheLastFlush) {
    // No space at all: the header cannot be written.
    CaptureWriter full;
    EXPECT_FALSE(full.Open("/dev/full", {}));
    EXPECT_NE(full.Error().find("cannot write /dev/full: No space left on device"),
              std::string::npos)
        << full.Error();

    // A real file that stops growing part-way through a write, as on a full disk: the
    // file size limit makes write() stop at it and then fail.
    TempDir dir;
    const std::string path = dir.File("full.cap");
    CaptureWriter w;
    ASSERT_TRUE(w.Open(path, {kCaptureVersion, 1, 0}));
    ASSERT_TRUE(Add(w, CaptureKind::PortOpened, 1));
    ASSERT_TRUE(Add(w, CaptureKind::DeviceBytes, 2, "before"));
    ASSERT_TRUE(w.Flush());
    const auto flushed = std::filesystem::file_size(path);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = flushed + 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_TRUE(Add(w, CaptureKind::DeviceBytes, 3, std::string(500, 'a')));
    const bool flushed_again = w.Flush();
    const bool added_later = Add(w, CaptureKind::DeviceBytes, 4, "later");
    const bool closed = w.Close();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(flushed_again);
    EXPECT_FALSE(added_later);
    EXPECT_FALSE(closed);
    EXPECT_TRUE(w.failed());
    EXPECT_EQ(w.Error(), "cannot write " + path + ": File too large");
    EXPECT_EQ(std::filesystem::file_size(path), flushed);
    const std::vector<uint8_t> file = Bytes(dir.Read("full.cap"));
    CaptureReader reader(file.data(), file.size());
    const std::vector<Seen> got = ReadAll(reader, file);
    EXPECT_FALSE(reader.truncated());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].bytes, "before");
}

}  // namespace
