// D43 walk over arbitrary bytes: it must end, with at most two lines per record, and
// every record it traces must start inside the input.
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "firmware/d43_reader.h"
#include "platform/debug_output.h"

namespace {
size_t g_lines;
size_t g_size;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool sink = [] {
        platform::SetDebugSink([](std::string_view line) {
            ++g_lines;
            unsigned offset = 0;
            if (line.rfind("***", 0) != 0 && line.rfind("Code", 0) != 0) {
                // A record line starts with its offset in hex.
                const std::string_view digits = line.substr(0, 8);
                const auto parsed =
                    std::from_chars(digits.data(), digits.data() + digits.size(), offset, 16);
                if (parsed.ptr == digits.data() || offset >= g_size) {
                    std::abort();
                }
            }
        });
        return true;
    }();
    (void)sink;
    g_lines = 0;
    g_size = size;
    const int result = firmware::WalkD43Image(std::span<const uint8_t>(data, size));
    if (result != 0 && result != firmware::kImageMalformed) std::abort();
    if (g_lines > 2 * size + 1) std::abort();
    for (size_t offset = firmware::kD43FirstRecord; offset < size; ++offset) {
        const auto info = firmware::D43RecordLength(std::span<const uint8_t>(data, size), offset);
        if (info.rule == firmware::D43Rule::kKnown && info.length == 0) std::abort();
    }
    return 0;
}
