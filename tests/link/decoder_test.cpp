#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "link/checksum.h"
#include "link/frame_decoder.h"
#include "link/frame_pacer.h"
#include "link/reduced_decoder.h"
#include "tests/link/wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Records every event of the decoder, in order, as text, plus the decoded frames.
struct Recorder {
    FrameDecoder* decoder = nullptr;
    std::vector<std::string> events;
    std::vector<Bytes> acks;
    struct Frame {
        bool repeat;
        uint8_t type, sequence, length;
        Bytes payload;
    };
    std::vector<Frame> frames;
    bool fail_ack = false;

    bool Acknowledge(const uint8_t* ack, int size) {
        acks.emplace_back(ack, ack + size);
        events.push_back("ack");
        return !fail_ack;
    }
    void Frame(bool repeat) {
        frames.push_back({repeat, decoder->type(), decoder->sequence(), decoder->length(),
                          Bytes(decoder->payload(), decoder->payload() + decoder->length())});
        events.push_back(repeat ? "repeat" : "frame");
    }
    void Log(const char* text) { events.push_back(text); }
};

struct Decoded {
    FrameDecoder decoder;
    Recorder rec;
    explicit Decoded(const Bytes& bytes) {
        decoder.Reset();
        rec.decoder = &decoder;
        decoder.Feed(bytes.data(), bytes.size(), rec);
    }
};

// The checksum as its bits are described: bits 0-6, XOR bits 7-13, bit 14 into bit 0,
// bit 15 into bits 1-6.
uint8_t BitwiseChecksum(uint16_t s) {
    unsigned c = (s & 0x7F) ^ ((s >> 7) & 0x7F);
    if (s & 0x4000) c ^= 0x01;
    if (s & 0x8000) c ^= 0x7E;
    return static_cast<uint8_t>(c);
}

TEST(Checksum, ExamplesAndBitDefinitionAgree) {
    EXPECT_EQ(FrameChecksum(140), 0x0D);
    EXPECT_EQ(FrameChecksum(0x7FFF), 0x01);
    EXPECT_EQ(FrameChecksum(0x8001), 0x7F);
    const uint8_t payload[] = {0x10, 0x20, 0x30};
    EXPECT_EQ(FrameSum(5, 36, 3, payload), 140);
    EXPECT_EQ(FrameSum(0x85, 0xA4, 3, payload), 140) << "sequence and type count with 7 bits";
    for (unsigned s = 0; s <= 0xFFFF; ++s)
        ASSERT_EQ(FrameChecksum(static_cast<uint16_t>(s)),
                  BitwiseChecksum(static_cast<uint16_t>(s)))
            << "sum " << s;
}

TEST(FrameDecoder, GoodFrameIsQueuedAndAcknowledged) {
    Decoded d(Bytes{0xFF, 0x05, 0x24, 0x03, 0x10, 0x20, 0x30, 0x0D, 0xFB});
    ASSERT_EQ(d.rec.frames.size(), 1u);
    const auto& f = d.rec.frames[0];
    EXPECT_FALSE(f.repeat);
    EXPECT_EQ(f.type, 36);
    EXPECT_EQ(f.sequence, 5);
    EXPECT_EQ(f.length, 3);
    EXPECT_EQ(f.payload, (Bytes{0x10, 0x20, 0x30}));
    ASSERT_EQ(d.rec.acks.size(), 1u);
    EXPECT_EQ(d.rec.acks[0], (Bytes{0xFD, 0x05, 0xFB}));
    EXPECT_EQ(d.rec.events, (std::vector<std::string>{"ack", "frame"}));
    EXPECT_EQ(d.decoder.phase(), FrameDecoder::kIdle);
}

TEST(FrameDecoder, BadChecksumIsRejectedAndLogged) {
    Decoded d(Bytes{0xFF, 0x05, 0x24, 0x03, 0x10, 0x20, 0x30, 0x0E, 0xFB});
    EXPECT_TRUE(d.rec.frames.empty());
    ASSERT_EQ(d.rec.acks.size(), 1u);
    EXPECT_EQ(d.rec.acks[0], (Bytes{0xFC, 0x05, 0xFB}));
    EXPECT_EQ(d.rec.events,
              (std::vector<std::string>{"ack", "*** Bad Checksum 13-14 iSequence=5\n"}));

    // A received byte with bit 7 set is shown as a signed 8-bit number and never matches.
    Decoded high(Bytes{0xFF, 0x05, 0x24, 0x03, 0x10, 0x20, 0x30, 0x8D, 0xFB});
    EXPECT_TRUE(high.rec.frames.empty());
    EXPECT_EQ(high.rec.events.back(), "*** Bad Checksum 13--115 iSequence=5\n");
}

TEST(FrameDecoder, HighBitsOfSequenceAndTypeAreDropped) {
    Bytes frame{0xFF, 0x85, 0xA4, 0x03, 0x10, 0x20, 0x30, 0x0D, 0xFB};
    Decoded d(frame);
    ASSERT_EQ(d.rec.frames.size(), 1u);
    EXPECT_EQ(d.rec.frames[0].sequence, 5);
    EXPECT_EQ(d.rec.frames[0].type, 36);
    EXPECT_EQ(d.rec.acks[0], (Bytes{0xFD, 0x05, 0xFB}));
}

TEST(FrameDecoder, EscapesSetBitSevenAndCountInTheSum) {
    // FE 7D stands for FD; every control value survives the round trip.
    Bytes payload{0xFD, 0xFB, 0xFC, 0xFE, 0xFF, 0x80, 0x00, 0xFA};
    Decoded d(wire::Frame(3, 36, payload));
    ASSERT_EQ(d.rec.frames.size(), 1u);
    EXPECT_EQ(d.rec.frames[0].payload, payload);
    EXPECT_EQ(d.rec.acks[0][0], 0xFD);

    // The sum uses the unescaped value: with 0x7D counted instead the checksum differs.
    Bytes wrong = wire::Frame(3, 36, {0xFD});
    wrong[6] = FrameChecksum(static_cast<uint16_t>(3 + 36 + 1 + 0x7D));
    Decoded w(wrong);
    EXPECT_TRUE(w.rec.frames.empty());

    // An escape received before the payload applies to the first payload byte.
    Bytes early{0xFF, 0xFE, 0x04, 0x24, 0x02, 0x7D, 0x10};
    uint8_t two[] = {0xFD, 0x10};
    early.push_back(FrameChecksum(FrameSum(4, 36, 2, two)));
    early.push_back(0xFB);
    Decoded e(early);
    ASSERT_EQ(e.rec.frames.size(), 1u);
    EXPECT_EQ(e.rec.frames[0].payload, (Bytes{0xFD, 0x10}));
}

TEST(FrameDecoder, MarkInsideAFrame) {
    // Two frames without the end byte between them: both queued, one two-number line.
    Bytes two = wire::Frame(1, 36, {1, 2}, -1, false);
    wire::Append(two, wire::Frame(2, 36, {3, 4}));
    Decoded a(two);
    EXPECT_EQ(a.rec.events, (std::vector<std::string>{
                                "ack", "frame", "*** Protocol MarkChar: Incomplete Phase 5 1\n",
                                "ack", "frame"}));

    // Cut after 3 of 50 payload bytes: four-number line, then a repeat of the last record.
    Bytes cut = wire::Frame(7, 36, wire::Payload(50));
    cut.resize(4 + 3);
    wire::Append(cut, wire::Frame(8, 36, {9}));
    Decoded b(cut);
    ASSERT_GE(b.rec.events.size(), 2u);
    EXPECT_EQ(b.rec.events[0], "*** Protocol MarkChar: Incomplete Phase 3 7 3 50\n");
    EXPECT_EQ(b.rec.events[1], "repeat");
    EXPECT_TRUE(b.rec.acks.size() == 1 && b.rec.acks[0] == (Bytes{0xFD, 8, 0xFB}));

    // Checksum lost: queued unchecked and unanswered.
    Bytes lost = wire::Frame(11, 19, {5, 6, 7});
    lost.resize(lost.size() - 2);  // drop checksum and end
    wire::Append(lost, wire::Frame(12, 36, {1}));
    Decoded c(lost);
    ASSERT_GE(c.rec.frames.size(), 2u);
    EXPECT_EQ(c.rec.events[0], "*** Protocol MarkChar: Incomplete Phase 4 11\n");
    EXPECT_FALSE(c.rec.frames[0].repeat);
    EXPECT_EQ(c.rec.frames[0].payload, (Bytes{5, 6, 7}));
    EXPECT_EQ(c.rec.acks.size(), 1u) << "only the second frame is answered";

    // Cut in phases 0..2 asks for a repeat too; the line has two numbers.
    Decoded e(Bytes{0xFF, 0x21, 0x24, 0xFF});
    EXPECT_EQ(e.rec.events, (std::vector<std::string>{
                                "*** Protocol MarkChar: Incomplete Phase 2 33\n", "repeat"}));
}

TEST(FrameDecoder, DeviceRecordsAndStrayBytesAreIgnored) {
    Bytes s{0x11, 0x22, 0xFD, 0x05, 0xFB, 0xFC, 0x06, 0xFB};
    wire::Append(s, wire::Frame(1, 36, {1}));
    Decoded d(s);
    EXPECT_EQ(d.rec.events, (std::vector<std::string>{"ack", "frame"}));

    Decoded open(Bytes{0xFD, 0xFF});
    EXPECT_EQ(open.rec.events,
              (std::vector<std::string>{"*** Protocol MarkChar: Incomplete Phase 6 0\n"}));
    Decoded rej(Bytes{0xFC, 0xFF});
    Decoded after(Bytes{0xFD, 0x05, 0xFF});  // a data byte after the record: phase 5
    EXPECT_EQ(rej.rec.events,
              (std::vector<std::string>{"*** Protocol MarkChar: Incomplete Phase 8 0\n"}));
    EXPECT_EQ(after.rec.events,
              (std::vector<std::string>{"*** Protocol MarkChar: Incomplete Phase 5 0\n"}));
}

TEST(FrameDecoder, LengthsOutsideTheBufferAreDiscarded) {
    for (int length : {0, 129, 200, 250}) {  // 250: the largest data byte
        Bytes s{0xFF, 0x03, 0x24, static_cast<uint8_t>(length)};
        for (int i = 0; i < 300; ++i) s.push_back(static_cast<uint8_t>(i % 0xFB));
        s.push_back(0xFB);
        wire::Append(s, wire::Frame(4, 36, {1, 2}));
        Decoded d(s);
        EXPECT_EQ(d.rec.events,
                  (std::vector<std::string>{
                      "*** Protocol Length " + std::to_string(length) + " iSequence=3\n", "ack",
                      "frame"}))
            << "length " << length;
    }
    Decoded full(wire::Frame(5, 36, wire::Payload(128, 1)));
    ASSERT_EQ(full.rec.frames.size(), 1u);
    EXPECT_EQ(full.rec.frames[0].payload, wire::Payload(128, 1));
}

TEST(FrameDecoder, FailedAcknowledgementStopsDecoding) {
    Bytes s = wire::Frame(1, 36, {1, 2});
    size_t first = s.size() - 1;  // the checksum byte is the one that asks
    wire::Append(s, wire::Frame(2, 36, {3}));
    FrameDecoder decoder;
    decoder.Reset();
    Recorder rec;
    rec.decoder = &decoder;
    rec.fail_ack = true;
    EXPECT_EQ(decoder.Feed(s.data(), s.size(), rec), first);
    EXPECT_TRUE(rec.frames.empty());
}

TEST(FrameDecoder, ChunkingDoesNotChangeTheResult) {
    std::mt19937 rng(1234);
    Bytes stream;
    for (int i = 0; i < 400; ++i) {
        Bytes payload(rng() % 90 + 1);
        for (auto& b : payload) b = static_cast<uint8_t>(rng());
        Bytes f = wire::Frame(static_cast<uint8_t>(i), 36, payload, rng() % 10 == 0 ? 0x33 : -1,
                              rng() % 7 != 0);
        if (rng() % 9 == 0) f.resize(rng() % f.size());
        if (rng() % 11 == 0) f[rng() % f.size()] = static_cast<uint8_t>(rng());
        wire::Append(stream, f);
    }
    Decoded whole(stream);
    EXPECT_GT(whole.rec.frames.size(), 250u);

    FrameDecoder decoder;
    decoder.Reset();
    Recorder pieces;
    pieces.decoder = &decoder;
    size_t pos = 0;
    while (pos < stream.size()) {
        size_t n = std::min<size_t>(rng() % 300, stream.size() - pos);
        decoder.Feed(stream.data() + pos, n, pieces);
        pos += n;
    }
    EXPECT_EQ(pieces.events, whole.rec.events);
    EXPECT_EQ(pieces.acks, whole.rec.acks);

    FrameDecoder single;
    single.Reset();
    Recorder steps;
    steps.decoder = &single;
    for (uint8_t b : stream) single.Step(b, steps);
    EXPECT_EQ(steps.events, whole.rec.events);
}

// The receive thread sleeps for the rest of a frame: at least what the frame cannot
// do without, and as long as the frame before it was on the line, escapes included;
// before its length is in, as long as the shortest of the last four frames.
TEST(FrameDecoder, TheRestOfAFrameIsExpectedAsLongAsTheLastOfItsLength) {
    Bytes payload = wire::Payload(30);
    payload.insert(payload.begin() + 10, 12, 0xFF);  // escaped on the line
    const Bytes first = wire::Frame(1, 36, payload);
    const Bytes same = wire::Frame(2, 36, payload);
    const Bytes shorter = wire::Frame(3, 36, wire::Payload(5));
    ASSERT_EQ(first.size(), same.size());

    FrameDecoder decoder;
    decoder.Reset();
    Recorder rec;
    rec.decoder = &decoder;
    EXPECT_EQ(decoder.ExpectedFrameBytes(), FrameDecoder::kFewestAfterMark + 1);  // mark too
    decoder.Feed(first.data(), 1, rec);
    EXPECT_EQ(decoder.ExpectedBytesToFrameEnd(), 6u);
    decoder.Feed(first.data() + 1, first.size() - 1, rec);
    EXPECT_EQ(decoder.ExpectedBytesToFrameEnd(), 0u);
    EXPECT_EQ(decoder.ExpectedFrameBytes(), first.size());

    // Before the length has come, the fewest; after it, as long as the last frame of
    // that length, in pieces that end among the escapes and in plain payload runs.
    size_t at = 0;
    for (size_t end : {1u, 3u, 15u, 20u, 33u, 40u, 52u}) {
        decoder.Feed(same.data() + at, end - at, rec);
        at = end;
        const size_t want = end < 4 ? decoder.BytesToFrameEnd() : same.size() - at;
        EXPECT_EQ(decoder.ExpectedBytesToFrameEnd(), want) << at;
    }
    EXPECT_EQ(at, 52u);
    decoder.Feed(same.data() + at, same.size() - at, rec);

    // A shorter frame after a long one: its own rest only, never the long one's.
    decoder.Feed(shorter.data(), 3, rec);
    EXPECT_EQ(decoder.ExpectedBytesToFrameEnd(), 4u) << "its length not yet known";
    decoder.Feed(shorter.data() + 3, 1, rec);
    EXPECT_EQ(decoder.ExpectedBytesToFrameEnd(), shorter.size() - 4);
    decoder.Feed(shorter.data() + 4, shorter.size() - 4, rec);
    // The long one again after it: as long as the last long one took.
    EXPECT_EQ(decoder.ExpectedFrameBytes(), shorter.size());
    decoder.Feed(first.data(), 4, rec);
    EXPECT_EQ(decoder.ExpectedBytesToFrameEnd(), first.size() - 4);
    decoder.Feed(first.data() + 4, first.size() - 4, rec);
    for (int i = 0; i < 3; ++i) decoder.Feed(same.data(), same.size(), rec);
    EXPECT_EQ(decoder.ExpectedFrameBytes(), first.size()) << "four long ones since";
    EXPECT_EQ(rec.acks.size(), 7u);
}

// An even device's frames are slept for from its marks' times, seven in eight; one
// that pauses, or whose marks come unevenly, is read as its marks come.
TEST(FramePacer, PacesOnlyADeviceWhoseMarksComeEvenly) {
    FramePacer pacer;
    for (uint64_t n : {0, 1}) pacer.MarkSeen(1'000'000 + n * 20'000, n);
    EXPECT_FALSE(pacer.Due()) << "one period is no pace yet";
    pacer.MarkSeen(1'040'300, 2);  // within 3 %
    for (uint64_t i = 1; i <= FramePacer::kPacedRun; ++i, pacer.Slept(true))
        EXPECT_EQ(pacer.Due() ? pacer.NextMarkUs() : 0, 1'040'300 + i * 20'075) << i;
    EXPECT_FALSE(pacer.Due()) << "the next mark is seen again";
    pacer.MarkSeen(1'040'300 + 4 * 20'075, 6);
    ASSERT_TRUE(pacer.Due());
    pacer.Slept(false);  // the device paused
    EXPECT_FALSE(pacer.Due());
    pacer.MarkSeen(1'150'600, 7);
    pacer.MarkSeen(1'170'600, 8);
    EXPECT_FALSE(pacer.Due()) << "30 ms, then 20 ms";
}

TEST(ReducedDecoder, RecordsFromCodesAndDataBytes) {
    struct Rec {
        uint8_t code, value;
        bool operator==(const Rec& o) const { return code == o.code && value == o.value; }
    };
    auto run = [](const Bytes& s, ReducedDecoder& d) {
        std::vector<Rec> out;
        d.Feed(s.data(), s.size(), [&](uint8_t c, uint8_t v) { out.push_back({c, v}); });
        return out;
    };
    ReducedDecoder d;
    EXPECT_EQ(run({0xF9, 0x62, 0xF9, 0x63}, d), (std::vector<Rec>{{0xF9, 98}, {0xF9, 99}}));
    EXPECT_EQ(run({0xF8, 0x80, 0x81, 0x82}, d),
              (std::vector<Rec>{{0xF8, 0x80}, {0xF8, 0x81}, {0xF8, 0x82}}));
    EXPECT_EQ(d.current_code(), 0xF8) << "samples stay current";

    ReducedDecoder fresh;
    EXPECT_TRUE(run({0x62}, fresh).empty());
    EXPECT_EQ(fresh.dropped(), 1u);

    // One data byte per value code; 0xFD..0xFF are data, not codes.
    EXPECT_EQ(run({0xFA, 0x48, 0x49, 0xFB, 0xFF, 0xFC, 0xFD, 0xFE}, fresh),
              (std::vector<Rec>{{0xFA, 0x48}, {0xFB, 0xFF}, {0xFC, 0xFD}}));
    EXPECT_EQ(fresh.dropped(), 3u);
    // A new code replaces the current one, also a pending one without data.
    EXPECT_EQ(run({0xF9, 0xF8, 0x10}, fresh), (std::vector<Rec>{{0xF8, 0x10}}));
}

}  // namespace

namespace {

// A handler that also counts: every frame ends up in exactly one count.
struct CountingRecorder : Recorder {
    int counts[4] = {};
    void Count(FrameDecoder::Event e) { ++counts[e]; }
};

}  // namespace

TEST(FrameCounts, EveryFrameIsCountedOnceWhateverBecameOfIt) {
    Bytes stream;
    wire::Append(stream, wire::Frame(1, 36, wire::Payload(10)));        // good
    wire::Append(stream, wire::Frame(2, 36, wire::Payload(10), 0x55));  // bad checksum
    Bytes cut = wire::Frame(3, 36, wire::Payload(10));
    cut.resize(8);  // cut by the next mark
    wire::Append(stream, cut);
    Bytes short_one = wire::Frame(4, 36, wire::Payload(10));
    short_one.erase(short_one.begin() + 6);                        // a byte lost: the end
    wire::Append(stream, short_one);                               // comes in phase 4
    wire::Append(stream, Bytes{0xFF, 5, 36, 200, 1, 2, 3, 0xFB});  // too long for the buffer
    Bytes no_mark = wire::Frame(6, 36, wire::Payload(4));
    no_mark.erase(no_mark.begin());  // its mark went missing
    wire::Append(stream, no_mark);
    wire::Append(stream, wire::Frame(7, 36, wire::Payload(3), -1, false));  // good, end byte lost
    wire::Append(stream, wire::Frame(8, 36, wire::Payload(3)));             // good

    FrameDecoder decoder;
    decoder.Reset();
    CountingRecorder rec;
    rec.decoder = &decoder;
    decoder.Feed(stream.data(), stream.size(), rec);
    EXPECT_EQ(rec.counts[FrameDecoder::kGood], 3);
    EXPECT_EQ(rec.counts[FrameDecoder::kBadChecksum], 1);
    EXPECT_EQ(rec.counts[FrameDecoder::kIncomplete], 3);
    EXPECT_EQ(rec.counts[FrameDecoder::kOversize], 1);
    // The counts follow what went on the wire: FD per good frame, FC per bad one.
    int fd = 0, fc = 0;
    for (const Bytes& a : rec.acks) (a[0] == 0xFD ? fd : fc)++;
    EXPECT_EQ(fd, rec.counts[FrameDecoder::kGood]);
    EXPECT_EQ(fc, rec.counts[FrameDecoder::kBadChecksum]);
}
