// Arbitrary byte streams through the framed decoder: no reads or writes outside the
// payload buffer, only well-formed acknowledgements, every queued frame either
// checksum-verified or cut off, and the same events however the input is chunked.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/frame_decoder.h"

namespace {

struct Sink {
    FrameDecoder* decoder;
    std::string trace;
    bool Acknowledge(const uint8_t* ack, int size) {
        if (size != 3 || (ack[0] != 0xFD && ack[0] != 0xFC) || ack[1] > 0x7F || ack[2] != 0xFB)
            std::abort();
        if (decoder->received() != decoder->length()) std::abort();
        trace.append(reinterpret_cast<const char*>(ack), 3);
        return true;
    }
    void Frame(bool repeat) {
        // A repeat stands for the last queued record; the decoder's fields are then stale.
        trace.push_back(repeat ? 'r' : 'f');
        if (repeat) return;
        if (decoder->length() == 0 || decoder->length() > FrameDecoder::kPayloadSize ||
            decoder->received() != decoder->length())
            std::abort();
        trace.append(reinterpret_cast<const char*>(decoder->payload()), decoder->length());
    }
    void Log(const char* text) {
        if (std::strlen(text) == 0 || text[std::strlen(text) - 1] != '\n') std::abort();
        trace.append(text);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FrameDecoder whole;
    whole.Reset();
    Sink a{&whole, {}};
    whole.Feed(data, size, a);

    // Same input, split at positions taken from the input itself.
    FrameDecoder split;
    split.Reset();
    Sink b{&split, {}};
    size_t pos = 0;
    size_t step = size > 0 ? data[0] % 17 + 1 : 1;
    while (pos < size) {
        size_t n = std::min(step, size - pos);
        split.Feed(data + pos, n, b);
        pos += n;
        step = step * 5 % 23 + 1;
    }
    if (a.trace != b.trace) std::abort();
    return 0;
}
