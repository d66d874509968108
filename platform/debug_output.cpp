#include "platform/debug_output.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

namespace platform {
namespace {

std::mutex& SinkMutex() {
    static std::mutex m;
    return m;
}

DebugSink& Sink() {
    static DebugSink sink;
    return sink;
}

void WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

}  // namespace

void OutputDebugString(const char* text) {
    if (text == nullptr) return;
    const std::string_view line(text);
    std::lock_guard<std::mutex> lock(SinkMutex());
    if (Sink()) {
        Sink()(line);
        return;
    }
    if (!line.empty() && line.back() == '\n') {
        WriteAll(STDERR_FILENO, line.data(), line.size());
        return;
    }
    // The newline goes out in the same write, so the line stays whole.
    char small[512];
    std::vector<char> big;
    char* out = small;
    if (line.size() + 1 > sizeof small) {
        big.resize(line.size() + 1);
        out = big.data();
    }
    std::memcpy(out, line.data(), line.size());
    out[line.size()] = '\n';
    WriteAll(STDERR_FILENO, out, line.size() + 1);
}

void DebugPrintf(const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(copy);
        OutputDebugString(small);
        return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    OutputDebugString(big.data());
}

void SetDebugSink(DebugSink sink) {
    std::lock_guard<std::mutex> lock(SinkMutex());
    Sink() = std::move(sink);
}

}  // namespace platform
