// Feeds arbitrary bytes to the recording reader and the samples it yields to the
// pulse-period analysis; checks that the reader accounts for every byte.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/debug_output.h"
#include "recordings/edf_reader.h"
#include "recordings/pulse_analysis.h"

namespace {

const std::string& DumpDir() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/velt-edf-fuzz-XXXXXX";
        const char* made = mkdtemp(tmpl);
        return std::string(made != nullptr ? made : "/tmp");
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace recordings;
    platform::SetDebugSink([](const std::string&) {});
    static CPulseAnalysis* analysis = [] {
        auto* a = new CPulseAnalysis();
        a->SetDumpDirectory(DumpDir());
        return a;
    }();

    MemoryByteSource source(data, size);
    CEdfReader reader(source);
    EdfRecord record;
    EdfReadStatus status;
    uint64_t last = 0;
    while ((status = reader.Next(record)) == EdfReadStatus::kRecord) {
        if (reader.Offset() <= last || reader.Offset() > size) __builtin_trap();
        if (reader.Offset() - record.offset != kEdfHeaderSize + record.body_size) __builtin_trap();
        last = reader.Offset();
        if (record.header.type == kEdfSampleRecord) analysis->AutoCorrEntry(record.sample);
    }
    if ((status == EdfReadStatus::kEnd || status == EdfReadStatus::kCutShort) &&
        reader.Offset() != size) {
        __builtin_trap();
    }
    if (status == EdfReadStatus::kReadError) __builtin_trap();  // memory never fails
    if (size % 7 == 0) analysis->AutoCorrSummary();
    platform::SetDebugSink({});
    return 0;
}
