#include "platform/debug_output.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
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
    std::string line(text);
    std::lock_guard<std::mutex> lock(SinkMutex());
    if (Sink()) {
        Sink()(line);
        return;
    }
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    WriteAll(STDERR_FILENO, line.data(), line.size());
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
