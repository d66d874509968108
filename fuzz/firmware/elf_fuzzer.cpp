// ELF reader over arbitrary bytes: every loaded segment must lie inside the input and
// match it, and no buffer may be bigger than the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "firmware/elf_reader.h"
#include "platform/debug_output.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        platform::SetDebugSink([](std::string_view) {});
        return true;
    }();
    (void)quiet;
    const std::span<const uint8_t> input(data, size);
    const int result = firmware::ReadElfImage(
        input, [input](const firmware::ElfSegment& s, std::span<const uint8_t> bytes) {
            if (bytes.size() != s.file_size || bytes.size() > input.size() ||
                s.offset > input.size() - bytes.size() ||
                std::memcmp(bytes.data(), input.data() + s.offset, bytes.size()) != 0) {
                std::abort();
            }
        });
    if (result != 0 && result != firmware::kImageMalformed) std::abort();
    return 0;
}
