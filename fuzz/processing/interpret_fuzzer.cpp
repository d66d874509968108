// Random records of any length through the interpretation (and the reduced
// protocol's handler): no read past a payload, no undefined behaviour, no failure.
// The logs, when on, are written to memory.
// Input: a flags byte, then records as [type][length][length payload bytes].
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/counting_view.h"
#include "fuzz/memory_logs.h"
#include "processing/interpretation.h"
#include "processing/measurement.h"

namespace {

using NullView = fuzz::CountingView<>;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietOutputs();
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    processing::Measurement m;
    m.SetLogging((flags & 1) != 0);
    processing::LinkInterpretation st;
    st.trend_channel = 1 + (flags >> 1) % 3;
    processing::ReducedInterpreter reduced;
    NullView view;
    processing::IMeasurementView* v = (flags & 8) ? nullptr : &view;
    size_t pos = 1;
    while (pos + 2 <= size) {
        uint8_t type = data[pos];
        size_t length = data[pos + 1];
        pos += 2;
        if (length > size - pos) length = size - pos;
        // A copy of exactly `length` bytes, so a read past the record is caught.
        uint8_t* payload = static_cast<uint8_t*>(std::malloc(length > 0 ? length : 1));
        if (payload == nullptr) return 0;
        if (length > 0) std::memcpy(payload, data + pos, length);
        processing::InterpretRecord(m, st, type & 0x7F, payload, static_cast<int>(length), v);
        if (type & 0x80 && length > 0)
            reduced.OnRecord(0xF8 + payload[0] % 5, payload[length - 1], v, true);
        std::free(payload);
        pos += length;
    }
    return 0;
}
