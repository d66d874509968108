// velt-firmware elf FILE | d43 FILE: runs a firmware image reader headless, with its
// diagnostic lines on standard output and the result code last.
#include <cstdio>
#include <cstring>
#include <string>

#include "firmware/d43_reader.h"
#include "firmware/elf_reader.h"
#include "platform/debug_output.h"

namespace {

const char kUsage[] =
    "usage: velt-firmware elf FILE\n"
    "       velt-firmware d43 FILE\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 3) return Usage();
    const std::string kind = argv[1];
    if (kind != "elf" && kind != "d43") return Usage();

    platform::SetDebugSink([](std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
    });
    const int result =
        kind == "elf" ? firmware::ReadElfImage(argv[2]) : firmware::WalkD43Image(argv[2]);
    platform::SetDebugSink({});
    std::printf("result %i\n", result);
    if (std::fflush(stdout) != 0) return 1;
    return result == 0 ? 0 : 1;
}
