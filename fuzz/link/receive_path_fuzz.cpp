// Wire bytes through a link's whole receive path, as its reading loop and the GUI
// thread run it: chunks of at most 255 bytes through the framed decoder with the
// link's frame handler (acknowledgements, the bounded queue, repeats), the queue
// drained by ProcessPackets into the interpretation and its logs (in memory) every
// few chunks; or, for the reduced protocol, through its decoder and interpreter.
// Checks: only well-formed acknowledgements, the queue never above its bound, every
// record posted once and processed once, nothing left queued after the last drain,
// and a failed acknowledgement stops the decoder at the byte that asked for it.
//
// Input: a flags byte, a chunking byte, then the bytes as they come off the wire.
//   flags bit 0: logs on; bit 1: a view attached; bits 2-3: trend channel;
//   bit 4: reduced protocol; bit 5: the acknowledgement after the chunking byte's
//   count fails; bits 6-7: the GUI thread drains every 1, 2, 4 or 8 chunks.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/counting_view.h"
#include "fuzz/memory_logs.h"
#include "link/frame_handler.h"
#include "link/link_view.h"
#include "link/oximeter.h"
#include "link/reduced_decoder.h"
#include "processing/interpretation.h"
#include "processing/measurement.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "receive_path_fuzz: %s\n", what);
    std::abort();
}

class View : public fuzz::CountingView<ILinkView> {
public:
    int GetFieldText(int, char* buffer, int limit) override {
        if (limit > 0) buffer[0] = 0;
        return 0;
    }
    bool IsFieldModified(int) override { return false; }
    void SetFieldModified(int, bool) override {}
    void PostPacketMessage(int code, COximeter*) override {
        if (code != 1) Fail("unknown packet message");
        ++posted;
    }
    void RunPendingCalls() override {}
    int posted = 0;
};

void Observe(void* context, const PacketRecord& record) {
    if (record.type > 0x7F || record.sequence > 0x7F || record.length > FrameDecoder::kPayloadSize)
        Fail("record out of range");
    ++*static_cast<int*>(context);
}

constexpr size_t kChunk = 255;
// Room for a full queue (one frame and a hundred marks, each standing for it
// again) or five of the longest frames; larger inputs only repeat what these
// reach, more slowly.
constexpr size_t kMaxInput = 512;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietOutputs();
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const uint8_t chunking = data[1];
    data += 2;
    size = std::min(size - 2, kMaxInput);

    processing::Measurement measurement;
    measurement.SetLogging((flags & 1) != 0);
    const bool reduced = (flags & 0x10) != 0;
    View view;  // outlives its link, as the monitoring view does
    COximeter link(nullptr, reduced ? 3 : 2, true, &measurement);
    if (flags & 2) link.AttachView(&view);
    link.SetTrendChannel(1 + (flags >> 2) % 3);
    int processed = 0;
    link.SetRecordObserver(Observe, &processed);
    const int drain_every = 1 << (flags >> 6);

    int acks = 0;
    const int failing_ack = (flags & 0x20) ? chunking : -1;
    LinkFrameHandler handler(link, [&](const uint8_t* ack, size_t n) {
        if (n != 3 || (ack[0] != FrameDecoder::kAck && ack[0] != FrameDecoder::kReject) ||
            ack[1] > 0x7F || ack[2] != FrameDecoder::kEnd)
            Fail("malformed acknowledgement");
        return acks++ == failing_ack ? EIO : 0;
    });
    ReducedDecoder reduced_decoder;
    processing::ReducedInterpreter interpreter;
    link.Decoder().Reset();

    size_t pos = 0;
    size_t chunk = chunking % kChunk + 1;
    for (int n = 1; pos < size; ++n) {
        const size_t got = std::min(chunk, size - pos);
        if (reduced) {
            reduced_decoder.Feed(data + pos, got, [&](uint8_t code, uint8_t value) {
                interpreter.OnRecord(code, value, link.View(), link.HeartbeatSound());
            });
        } else {
            const size_t used = link.Decoder().Feed(data + pos, got, handler);
            if (handler.Error() != 0) {
                if (used == 0 || used > got || acks != failing_ack + 1) Fail("stopped elsewhere");
                break;  // the reading loop ends with the error
            }
            if (used != got) Fail("bytes left without an error");
        }
        if (link.QueuedCount() > PacketQueue::kCapacity + 1) Fail("queue above its bound");
        pos += got;
        chunk = chunk * 7 % kChunk + 1;
        if (n % drain_every == 0) link.ProcessPackets();
    }
    link.ProcessPackets();
    if (link.QueuedCount() != 0) Fail("records left in the queue");
    if ((flags & 2) && view.posted != processed) Fail("posted and processed records differ");
    return 0;
}
