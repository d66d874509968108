#include "recordings/capture_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "recordings/capture_recorder.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace recordings;
using testing_support::TempDir;

struct Seen {
    CaptureEvent::Type type;
    CaptureKind kind;
    uint64_t time_us;
    std::string bytes;
    uint64_t at, resumed;  // record: its offset; damage and cut: where
    bool operator==(const Seen&) const = default;
};

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

Seen Of(const CaptureEvent& e) {
    if (e.type != CaptureEvent::Record)
        return {e.type, CaptureKind::DeviceBytes, 0, e.why, e.at, e.resumed};
    const CaptureRecord& r = e.record;
    return {e.type, r.kind, r.time_us, std::string(r.data, r.data + r.size), r.offset, 0};
}

// Everything a stream reads from the bytes fed in pieces of the given size (each a
// copy of its own, so a read past a piece is a read past a buffer).
std::vector<Seen> ReadStream(const std::vector<uint8_t>& file, size_t piece, size_t start = 0,
                             std::string* refused = nullptr) {
    CaptureStream stream;
    std::vector<Seen> out;
    size_t fed = 0;
    if (start > 0) {
        std::vector<uint8_t> head(file.begin(), file.end());
        stream.Feed(head.data(), head.size());
        EXPECT_EQ(stream.ReadHeader(), CaptureStream::Step::Event);
        stream.StartAt(start);
        fed = start;
    }
    for (;;) {
        CaptureEvent e;
        const CaptureStream::Step s = stream.Next(&e);
        if (s == CaptureStream::Step::Event) {
            out.push_back(Of(e));
        } else if (s == CaptureStream::Step::NeedBytes) {
            if (fed == file.size()) {
                stream.FinishInput();
                continue;
            }
            const size_t n = std::min(piece, file.size() - fed);
            std::vector<uint8_t> part(file.begin() + static_cast<long>(fed),
                                      file.begin() + static_cast<long>(fed + n));
            stream.Feed(part.data(), part.size());
            fed += n;
        } else {
            if (s == CaptureStream::Step::Refused && refused != nullptr) *refused = stream.Error();
            return out;
        }
    }
}

std::vector<Seen> Records(const std::vector<Seen>& all) {
    std::vector<Seen> out;
    for (const Seen& s : all)
        if (s.type == CaptureEvent::Record) out.push_back(s);
    return out;
}

void Add(std::vector<uint8_t>& out, CaptureKind kind, uint64_t time,
         const std::string& bytes = "") {
    AppendCaptureRecord(out, kind, time, reinterpret_cast<const uint8_t*>(bytes.data()),
                        bytes.size());
}

const std::string kFrame("\xF8\x01\x02\x03\x04\x05\x06\x07\x08\x09", 10);

// A session as the tap sees one, with a record of a kind a later version might add.
std::vector<uint8_t> Session() {
    std::vector<uint8_t> f;
    CaptureHeader h;
    h.protocol = 2;
    h.start_unix_us = 1765250000123456;
    h.device = "/dev/ttyUSB0";
    h.line = "115200 8N1";
    h.host = "bedside-3";
    h.writer = "velt-capture 1.0.0";
    AppendCaptureHeader(f, h);
    Add(f, CaptureKind::DeviceBytes, 0, kFrame);
    Add(f, CaptureKind::PortOpened, 15000);
    Add(f, CaptureKind::DeviceBytes, 20000, kFrame + kFrame);
    Add(f, CaptureKind::ProgramBytes, 21000, "\xFD\x00\x01");
    Add(f, CaptureKind::DeviceLost, 40000, "read: Input/output error");
    Add(f, static_cast<CaptureKind>(200), 45000, "later kind");
    Add(f, CaptureKind::DeviceBack, 900000);
    Add(f, CaptureKind::DeviceBytes, 900001, kFrame.substr(3));
    Add(f, CaptureKind::PortClosed, 1000000);
    Add(f, CaptureKind::DeviceBytes, 1001000, "while closed");
    Add(f, CaptureKind::PortOpened, 1200000);
    Add(f, CaptureKind::DeviceBytes, 1210000, kFrame);
    return f;
}

// The records' checksum is CRC-32 (IEEE): the check value, and every length, start and
// split agrees with the bit-by-bit definition.
TEST(CaptureFile, ChecksumIsCrc32AtEveryLengthAndAlignment) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc32(check, sizeof check), 0xCBF43926u);
    uint8_t data[40];
    for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
    for (size_t start = 0; start < 8; ++start)
        for (size_t size = 0; start + size <= sizeof data; ++size) {
            uint32_t bits = ~0u;
            for (size_t i = start; i < start + size; ++i) {
                bits ^= data[i];
                for (int k = 0; k < 8; ++k)
                    bits = (bits & 1) ? 0xEDB88320u ^ (bits >> 1) : bits >> 1;
            }
            EXPECT_EQ(Crc32(data + start, size), ~bits) << start << " " << size;
            EXPECT_EQ(
                Crc32(data + start + size / 2, size - size / 2, Crc32(data + start, size / 2)),
                ~bits);
        }
}

TEST(CaptureFile, HeaderFactsAndRecordsReadBackInAnyPieces) {
    const std::vector<uint8_t> file = Session();
    CaptureStream stream;
    stream.Feed(file.data(), file.size());
    ASSERT_EQ(stream.ReadHeader(), CaptureStream::Step::Event);
    EXPECT_EQ(stream.header().protocol, 2);
    EXPECT_EQ(stream.header().start_unix_us, 1765250000123456);
    EXPECT_EQ(stream.header().device, "/dev/ttyUSB0");
    EXPECT_EQ(stream.header().line, "115200 8N1");
    EXPECT_EQ(stream.header().host, "bedside-3");
    EXPECT_EQ(stream.header().writer, "velt-capture 1.0.0");

    const std::vector<Seen> whole = ReadStream(file, file.size());
    ASSERT_EQ(whole.size(), 11u);  // the later kind is passed over
    EXPECT_EQ(Records(whole), whole);
    EXPECT_EQ(whole[4].kind, CaptureKind::DeviceLost);
    EXPECT_EQ(whole[4].bytes, "read: Input/output error");
    EXPECT_EQ(whole[5].kind, CaptureKind::DeviceBack);
    EXPECT_EQ(whole[5].time_us, 900000u);
    for (size_t piece : {1, 2, 7, 13, 64}) EXPECT_EQ(ReadStream(file, piece), whole) << piece;
}

TEST(CaptureFile, EveryCutReadsTheWholeRecordsBeforeItAndSaysWhere) {
    const std::vector<uint8_t> file = Session();
    const std::vector<Seen> full = ReadStream(file, file.size());
    CaptureStream s;
    s.Feed(file.data(), file.size());
    s.ReadHeader();
    const size_t header = s.records_start();
    for (size_t cut = 0; cut <= file.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        std::vector<uint8_t> part(file.begin(), file.begin() + static_cast<long>(cut));
        std::string refused;
        const std::vector<Seen> got = ReadStream(part, 5, 0, &refused);
        if (cut < header) {
            EXPECT_TRUE(got.empty());
            EXPECT_EQ(refused, cut == 0 ? "not a capture file (no VELT-CAP header)"
                                        : "capture header cut short");
            continue;
        }
        std::vector<Seen> expected;
        uint64_t boundary = header;
        for (const Seen& r : full) {
            const size_t end = r.at + kCaptureRecordOverhead + r.bytes.size();
            if (end <= cut) expected.push_back(r);
        }
        // Where the record the cut falls into starts (skipped kinds count too).
        for (size_t at = header; at < cut;) {
            const size_t end = at + kCaptureRecordOverhead + (file[at + 11] | file[at + 12] << 8);
            if (end > cut) break;
            boundary = at = end;
        }
        if (boundary != cut)
            expected.push_back(
                {CaptureEvent::Cut, CaptureKind::DeviceBytes, 0, "cut", boundary, cut});
        EXPECT_EQ(got, expected);
    }
}

// One flipped bit anywhere in the records: the damaged record is never read as good,
// the damage is reported where it is, and every other record still reads.
TEST(CaptureFile, AFlippedBitIsReportedAndReadingResumesAtTheNextRecord) {
    const std::vector<uint8_t> file = Session();
    const std::vector<Seen> full = ReadStream(file, file.size());
    CaptureStream s;
    s.Feed(file.data(), file.size());
    s.ReadHeader();
    for (size_t byte = s.records_start(); byte < file.size(); ++byte) {
        for (int bit : {0, 3, 7}) {
            SCOPED_TRACE("byte " + std::to_string(byte) + " bit " + std::to_string(bit));
            std::vector<uint8_t> bad = file;
            bad[byte] ^= static_cast<uint8_t>(1 << bit);
            const std::vector<Seen> got = ReadStream(bad, 4096);
            std::vector<Seen> expected;
            bool damage_said = false;
            for (const Seen& r : full) {
                const size_t end = r.at + kCaptureRecordOverhead + r.bytes.size();
                if (byte >= r.at && byte < end) continue;  // the damaged one
                expected.push_back(r);
            }
            std::vector<Seen> records;
            for (const Seen& e : got) {
                if (e.type == CaptureEvent::Record) {
                    records.push_back(e);
                } else {
                    EXPECT_FALSE(damage_said) << "one flip, one report";
                    damage_said = true;
                    EXPECT_LE(e.at, byte);
                    EXPECT_GT(e.resumed, byte);
                }
            }
            EXPECT_TRUE(damage_said);
            // The record of a later kind is skipped whole either way; a flip in it may
            // only cost that record.
            EXPECT_EQ(records, expected);
        }
    }
}

TEST(CaptureFile, TimesGoingBackAndAZeroFilledTailAreNotRecords) {
    std::vector<uint8_t> f;
    AppendCaptureHeader(f, CaptureHeader{});
    const size_t first = f.size();
    Add(f, CaptureKind::DeviceBytes, 5000, "a");
    const size_t back = f.size();
    Add(f, CaptureKind::DeviceBytes, 4999, "back in time");
    const size_t next = f.size();
    Add(f, CaptureKind::DeviceBytes, 6000, "b");
    const size_t end = f.size();
    f.resize(end + 4096, 0);  // a file extended but never written
    const std::vector<Seen> got = ReadStream(f, 1000);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].at, first);
    EXPECT_EQ(got[1], (Seen{CaptureEvent::Damage, CaptureKind::DeviceBytes, 0, "time goes back",
                            back, next}));
    EXPECT_EQ(got[2].bytes, "b");
    EXPECT_EQ(got[3].type, CaptureEvent::Cut);
    EXPECT_EQ(got[3].at, end);
    // Garbage that is not zeros is damage to the end, not a cut.
    f.resize(end);
    f.insert(f.end(), 100, 0x55);
    const std::vector<Seen> tail = ReadStream(f, 1000);
    ASSERT_EQ(tail.size(), 4u);
    EXPECT_EQ(tail[3].type, CaptureEvent::Damage);
    EXPECT_EQ(tail[3].at, end);
    EXPECT_EQ(tail[3].resumed, f.size());
    // A power loss: part of a record, then zeros to the end: a cut where it begins.
    f.resize(end);
    Add(f, CaptureKind::DeviceBytes, 7000, std::string(300, 'x'));
    f.resize(end + 150);
    f.resize(end + 4096, 0);
    const std::vector<Seen> lost = ReadStream(f, 1000);
    ASSERT_EQ(lost.size(), 4u);
    EXPECT_EQ(lost[3].type, CaptureEvent::Cut);
    EXPECT_EQ(lost[3].at, end);
    // False markers claiming the longest length (crafted, noise): one damage, then on.
    f.resize(end);
    for (int i = 0; i < 16384; ++i)
        f.insert(f.end(), {0xE5, 0x1A, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0});
    Add(f, CaptureKind::DeviceBytes, 8000, "after");
    const std::vector<Seen> noise = ReadStream(f, 65536);
    ASSERT_EQ(noise.size(), 5u);
    EXPECT_EQ(noise[3].resumed - noise[3].at, 16384u * 16);
    EXPECT_EQ(noise[4].bytes, "after");
}

TEST(CaptureFile, VersionOneFilesStillRead) {
    std::vector<uint8_t> f;
    CaptureHeader h;
    h.version = kCaptureVersion1;
    h.protocol = 3;
    h.start_unix_us = 1700000000123000;
    AppendCaptureHeader(f, h);
    ASSERT_EQ(f.size(), kCaptureFixedHeaderSize);
    const uint8_t ack[] = {0xFD, 0x01, 0xFB};
    AppendCaptureV1Record(f, CaptureKind::PortOpened, 10, nullptr, 0);
    AppendCaptureV1Record(f, CaptureKind::DeviceBytes, 12, ack, 2);
    AppendCaptureV1Record(f, static_cast<CaptureKind>(99), 13, ack, 3);
    AppendCaptureV1Record(f, CaptureKind::ProgramBytes, 14, ack, 3);
    const size_t whole = f.size();
    AppendCaptureV1Record(f, CaptureKind::DeviceBytes, 15, ack, 3);
    f.resize(f.size() - 1);
    CaptureStream s;
    s.Feed(f.data(), f.size());
    ASSERT_EQ(s.ReadHeader(), CaptureStream::Step::Event);
    EXPECT_EQ(s.header().start_unix_us, 1700000000123000);
    EXPECT_EQ(s.header().protocol, 3);
    const std::vector<Seen> got = ReadStream(f, 3);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].kind, CaptureKind::PortOpened);
    EXPECT_EQ(got[0].time_us, 10000u);
    EXPECT_EQ(got[1].bytes, std::string("\xFD\x01"));
    EXPECT_EQ(got[2].kind, CaptureKind::ProgramBytes);
    EXPECT_EQ(got[2].time_us, 14000u);
    EXPECT_EQ(got[3].type, CaptureEvent::Cut);
    EXPECT_EQ(got[3].at, whole);
    // Without a marker nothing after damage can be trusted: the rest is skipped.
    f.resize(whole);
    AppendCaptureV1Record(f, CaptureKind::DeviceBytes, 3, ack, 3);
    AppendCaptureV1Record(f, CaptureKind::DeviceBytes, 20, ack, 3);
    const std::vector<Seen> back = ReadStream(f, 64);
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back[3].type, CaptureEvent::Damage);
    EXPECT_EQ(std::string(back[3].bytes), "time goes back");
    EXPECT_EQ(back[3].resumed, f.size());
}

TEST(CaptureFile, ForeignAndDamagedHeadersAreRefusedWithAReason) {
    auto refused = [](const std::vector<uint8_t>& bytes) {
        std::string why = "(read)";
        ReadStream(bytes, 100, 0, &why);
        return why;
    };
    std::vector<uint8_t> good;
    AppendCaptureHeader(good, CaptureHeader{});
    EXPECT_EQ(refused(good), "(read)");
    EXPECT_EQ(refused(Bytes("\xF8\x01\x02 not a capture, a raw stream")),
              "not a capture file (no VELT-CAP header)");
    std::vector<uint8_t> v = good;
    v[8] = 3;
    EXPECT_NE(refused(v).find("version 3 is not supported"), std::string::npos);
    v = good;
    v[12] = 4;
    EXPECT_EQ(refused(v), "capture header is damaged (bad check)");
    v = good;
    v[30] ^= 1;
    EXPECT_EQ(refused(v), "capture header is damaged (bad check)");
    v = good;
    v.resize(v.size() - 1);
    EXPECT_EQ(refused(v), "capture header cut short");

    // The writers make no file a reader would refuse.
    TempDir dir;
    CaptureWriter w;
    CaptureHeader p0;
    p0.protocol = 0;
    EXPECT_FALSE(w.Open(dir.File("p0.cap"), p0));
    EXPECT_FALSE(w.Error().empty());
    EXPECT_FALSE(std::filesystem::exists(dir.File("p0.cap")));
    CaptureRecorder r;
    EXPECT_FALSE(r.Start(dir.File("p0.cap"), p0));
    EXPECT_FALSE(std::filesystem::exists(dir.File("p0.cap")));
}

TEST(CaptureFile, ReadingCanStartAtAnyByte) {
    const std::vector<uint8_t> file = Session();
    const std::vector<Seen> full = ReadStream(file, file.size());
    for (size_t start = full[0].at; start < file.size(); ++start) {
        SCOPED_TRACE("from " + std::to_string(start));
        std::vector<Seen> expected;
        for (const Seen& r : full)
            if (r.at >= start) expected.push_back(r);
        // Bytes before the first record found there are no damage.
        EXPECT_EQ(ReadStream(file, 9, start), expected);
    }
}

TEST(CaptureFile, AFileReadsInPiecesWithTheReceivedChunksOfTheProgram) {
    TempDir dir;
    std::vector<uint8_t> f = Session();
    // A chunk longer than a record, and a damaged record in the middle.
    std::string big(200000, '\0');
    std::mt19937 random(7);
    for (char& c : big) c = static_cast<char>(random());
    Add(f, CaptureKind::DeviceBytes, 1300000, big);
    const size_t damaged = f.size();
    Add(f, CaptureKind::DeviceBytes, 1300001, "lost");
    f[damaged + 14] ^= 0x40;
    Add(f, CaptureKind::DeviceBytes, 1300002, "x");
    dir.Write("session.cap", std::string(f.begin(), f.end()));

    CaptureFileReader reader;
    ASSERT_TRUE(reader.Open(dir.File("session.cap"))) << reader.Error();
    ReceivedChunks received(ReceivedChunks::OpenAtStart(reader));
    std::string joined;
    std::vector<uint64_t> times;
    CaptureRecord r;
    while (reader.NextRecord(&r)) {
        if (!received.Take(r)) continue;
        EXPECT_LE(r.size, kCaptureMaxChunk);
        joined.append(r.data, r.data + r.size);
        times.push_back(r.time_us);
    }
    EXPECT_TRUE(reader.Error().empty());
    EXPECT_EQ(joined, kFrame + kFrame + kFrame.substr(3) + kFrame + big + "x");
    EXPECT_EQ(times, (std::vector<uint64_t>{20000, 900001, 1210000, 1300000, 1300000, 1300000,
                                            1300000, 1300002}));
    EXPECT_EQ(reader.damages(), 1u);
    EXPECT_EQ(reader.first_damage().at, damaged);
    EXPECT_EQ(reader.damaged_bytes(), kCaptureRecordOverhead + 4);
    EXPECT_FALSE(reader.cut());

    // No open or close recorded: the program listened from the start; a close first:
    // it had the port open before the tap could tell.
    std::vector<uint8_t> plain;
    AppendCaptureHeader(plain, CaptureHeader{});
    Add(plain, CaptureKind::DeviceBytes, 0, "VE");
    Add(plain, CaptureKind::ProgramBytes, 1, "xyz");
    Add(plain, CaptureKind::DeviceBytes, 2, "L");
    dir.Write("plain.cap", std::string(plain.begin(), plain.end()));
    Add(plain, CaptureKind::PortClosed, 3);
    Add(plain, CaptureKind::DeviceBytes, 4, "T");
    dir.Write("closed.cap", std::string(plain.begin(), plain.end()));
    for (const char* name : {"plain.cap", "closed.cap"}) {
        ASSERT_TRUE(reader.Open(dir.File(name)));
        ReceivedChunks chunks(ReceivedChunks::OpenAtStart(reader));
        std::string got;
        while (reader.NextRecord(&r))
            if (chunks.Take(r)) got.append(r.data, r.data + r.size);
        EXPECT_EQ(got, "VEL") << name;
    }
    EXPECT_FALSE(reader.Open(dir.path()));
    EXPECT_NE(reader.Error().find("is a directory"), std::string::npos) << reader.Error();
    EXPECT_FALSE(reader.Open(dir.File("missing.cap")));
    EXPECT_NE(reader.Error().find("No such file"), std::string::npos) << reader.Error();
}

TEST(CaptureFile, AnExistingFileIsReplacedOnlyWhenAskedAndNeverUnderAnotherWriter) {
    TempDir dir;
    const std::string path = dir.File("kept.cap");
    dir.Write("kept.cap", "an earlier capture");
    CaptureWriter w;
    EXPECT_FALSE(w.Open(path, CaptureHeader{}, false));
    EXPECT_EQ(w.Error(), path + " exists");
    EXPECT_EQ(dir.Read("kept.cap"), "an earlier capture");

    CaptureRecorder first;
    CaptureRecorder::Settings replace;
    replace.overwrite = true;
    ASSERT_TRUE(first.Start(path, CaptureHeader{}, replace)) << first.Error();
    CaptureRecorder second;
    EXPECT_FALSE(second.Start(path, CaptureHeader{}, replace));
    EXPECT_EQ(second.Error(), path + " is being written by another capture");
    EXPECT_TRUE(first.Add(CaptureKind::DeviceBytes, 1, reinterpret_cast<const uint8_t*>("ok"), 2));
    EXPECT_TRUE(first.Finish(1000)) << first.Error();
    const std::vector<Seen> got = ReadStream(Bytes(dir.Read("kept.cap")), 100);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, "ok");
}

TEST(CaptureFile, FullDiskLeavesTheFileWholeUpToTheLastFlush) {
    CaptureWriter full;
    EXPECT_FALSE(full.Open("/dev/full", CaptureHeader{}));
    EXPECT_NE(full.Error().find("cannot write /dev/full: No space left on device"),
              std::string::npos)
        << full.Error();

    TempDir dir;
    const std::string path = dir.File("full.cap");
    CaptureWriter w;
    ASSERT_TRUE(w.Open(path, CaptureHeader{}));
    ASSERT_TRUE(w.Add(CaptureKind::PortOpened, 1));
    ASSERT_TRUE(w.Add(CaptureKind::DeviceBytes, 2, reinterpret_cast<const uint8_t*>("before"), 6));
    ASSERT_TRUE(w.Flush());
    const auto flushed = std::filesystem::file_size(path);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = flushed + 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string a(500, 'a');
    EXPECT_TRUE(
        w.Add(CaptureKind::DeviceBytes, 3, reinterpret_cast<const uint8_t*>(a.data()), a.size()));
    const bool flushed_again = w.Flush();
    const bool added_later = w.Add(CaptureKind::DeviceBytes, 4);
    const bool closed = w.Close();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(flushed_again);
    EXPECT_FALSE(added_later);
    EXPECT_FALSE(closed);
    EXPECT_EQ(w.Error(), "cannot write " + path + ": File too large");
    EXPECT_EQ(std::filesystem::file_size(path), flushed);
    const std::vector<Seen> got = ReadStream(Bytes(dir.Read("full.cap")), 100);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].bytes, "before");
}

// The recorder's caller never waits for the file: a FIFO that nobody drains fills
// the buffer, records are dropped and counted, and the count is in the file before
// the first record that fits again.
TEST(CaptureRecorder, AFullBufferDropsRecordsAndSaysSoInTheFile) {
    TempDir dir;
    const std::string path = dir.File("slow.fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    CaptureRecorder r;
    CaptureRecorder::Settings small;
    small.buffer_bytes = 1;  // raised to the least that holds the largest record
    small.write_every_ms = 10;
    ASSERT_TRUE(r.Start(path, CaptureHeader{}, small)) << r.Error();  // no reader yet
    const int fifo = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    const std::string chunk(1000, 'c');
    auto add = [&](uint64_t t) {
        return r.Add(CaptureKind::DeviceBytes, t, reinterpret_cast<const uint8_t*>(chunk.data()),
                     chunk.size());
    };
    uint64_t added = 0, dropped = 0, t = 0;
    // Until the pipe and the buffer are full: the writer thread blocks on the FIFO.
    while (dropped < 5) {
        if (add(++t)) {
            ++added;
        } else {
            ++dropped;
        }
        if (dropped == 0 && t % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_LT(t, 100000u);
    }
    EXPECT_EQ(r.dropped_records(), dropped);
    // Drained, the FIFO takes writes again: the next record fits behind the count.
    std::string got;
    auto drain = [&] {
        char buf[65536];
        for (ssize_t n; (n = ::read(fifo, buf, sizeof buf)) > 0;)
            got.append(buf, static_cast<size_t>(n));
    };
    for (int i = 0; i < 100 && r.written_bytes() < added * (chunk.size() + 17); ++i) {
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(add(++t));
    std::thread reader([&] {
        for (int i = 0; i < 200; ++i) {
            drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const bool whole = r.Finish(2000);
    reader.join();
    ::close(fifo);
    EXPECT_FALSE(whole);
    EXPECT_NE(r.Error().find(std::to_string(dropped) + " records"), std::string::npos) << r.Error();

    const std::vector<Seen> seen = ReadStream(Bytes(got), 4096);
    ASSERT_EQ(seen.size(), added + 2);
    const Seen& note = seen[added];
    ASSERT_EQ(note.kind, CaptureKind::RecordsDropped);
    ASSERT_EQ(note.bytes.size(), 16u);
    uint64_t records = 0, bytes = 0;
    for (int i = 7; i >= 0; --i) {
        records = records << 8 | static_cast<uint8_t>(note.bytes[static_cast<size_t>(i)]);
        bytes = bytes << 8 | static_cast<uint8_t>(note.bytes[static_cast<size_t>(8 + i)]);
    }
    EXPECT_EQ(records, dropped);
    EXPECT_EQ(bytes, dropped * (chunk.size() + kCaptureRecordOverhead));
    EXPECT_EQ(seen.back().time_us, t);
    for (const Seen& s : seen) EXPECT_EQ(s.type, CaptureEvent::Record);
}

TEST(CaptureRecorder, AFifoWithoutAReaderNeverHoldsTheEndUp) {
    TempDir dir;
    const std::string path = dir.File("nobody.fifo");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    CaptureRecorder r;
    ASSERT_TRUE(r.Start(path, CaptureHeader{}));
    EXPECT_TRUE(r.Add(CaptureKind::PortOpened, 1));
    EXPECT_FALSE(r.Finish(100));
    EXPECT_NE(r.Error().find("not written"), std::string::npos) << r.Error();
}

TEST(CaptureRecorder, RecordsFromTwoThreadsArriveWholeWithTimesThatNeverGoBack) {
    TempDir dir;
    CaptureRecorder r;
    ASSERT_TRUE(r.Start(dir.File("two.cap"), CaptureHeader{}));
    auto produce = [&](CaptureKind kind, uint64_t offset) {
        for (uint64_t i = 0; i < 2000; ++i) {
            const uint8_t b[3] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 7};
            EXPECT_TRUE(r.Add(kind, i * 10 + offset, b, sizeof b));
        }
    };
    std::thread a(produce, CaptureKind::DeviceBytes, 0);
    std::thread b(produce, CaptureKind::ProgramBytes, 5);
    a.join();
    b.join();
    EXPECT_TRUE(r.Finish(2000)) << r.Error();
    const std::vector<Seen> seen = ReadStream(Bytes(dir.Read("two.cap")), 65536);
    ASSERT_EQ(seen.size(), 4000u);
    uint64_t next[2] = {0, 0};
    for (const Seen& s : seen) {
        ASSERT_EQ(s.type, CaptureEvent::Record);
        const int side = s.kind == CaptureKind::DeviceBytes ? 0 : 1;
        EXPECT_EQ(static_cast<uint8_t>(s.bytes[0]) | static_cast<uint8_t>(s.bytes[1]) << 8,
                  static_cast<int>(next[side]++ & 0xFFFF));
    }
}

}  // namespace
