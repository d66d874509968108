// Arbitrary byte streams through the reduced decoder: records only carry codes
// 0xF8..0xFC with data bytes, and every byte is a code, a record or a drop.
#include <cstdint>
#include <cstdlib>

#include "link/reduced_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReducedDecoder decoder;
    size_t codes = 0, records = 0;
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = data[i];
        uint8_t code = 0;
        if (b >= 0xF8 && b <= 0xFC) ++codes;
        if (decoder.Push(b, code)) {
            if (code < 0xF8 || code > 0xFC || (b >= 0xF8 && b <= 0xFC)) std::abort();
            ++records;
        }
    }
    if (codes + records + decoder.dropped() != size) std::abort();
    return 0;
}
