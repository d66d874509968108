// Feeds arbitrary bytes to the recording reader; checks that it accounts for every
// byte. The analysis behind the replay has its own target (replay_fuzz.cpp).
#include <cstddef>
#include <cstdint>

#include "recordings/edf_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace recordings;
    MemoryByteSource source(data, size);
    CEdfReader reader(source);
    EdfRecord record;
    EdfReadStatus status;
    uint64_t last = 0;
    while ((status = reader.Next(record)) == EdfReadStatus::kRecord) {
        if (reader.Offset() <= last || reader.Offset() > size) __builtin_trap();
        if (reader.Offset() - record.offset != kEdfHeaderSize + record.body_size) __builtin_trap();
        if (record.header.type == kEdfSampleRecord && record.sample != DecodeLe32(record.body))
            __builtin_trap();
        last = reader.Offset();
    }
    if ((status == EdfReadStatus::kEnd || status == EdfReadStatus::kCutShort) &&
        reader.Offset() != size) {
        __builtin_trap();
    }
    if (status == EdfReadStatus::kReadError) __builtin_trap();  // memory never fails
    return 0;
}
