#include "platform/text_log.h"

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "platform/text_log_testing.h"

namespace platform {

namespace {
std::atomic<TextLogOpenFunction> g_open{nullptr};
}  // namespace

void SetTextLogOpenForTesting(TextLogOpenFunction open) { g_open.store(open); }

TextLog::TextLog(std::string path, Decimal decimal, const char* header)
    : path_(std::move(path)), header_(header), decimal_comma_(decimal == Decimal::kComma) {}

TextLog::~TextLog() { Close(); }

bool TextLog::Open() {
    if (!enabled_) return false;
    if (file_ != nullptr) return true;
    const TextLogOpenFunction open = g_open.load();
    file_ = open != nullptr ? open(path_.c_str()) : std::fopen(path_.c_str(), "wb");
    if (file_ == nullptr) return false;
    if (header_ != nullptr) {
        std::fputs(header_, file_);
        std::fflush(file_);
    }
    return true;
}

void TextLog::Close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

void TextLog::WriteLine(const char* line) {
    if (line == nullptr || !Open()) return;
    char text[kMaxLine + 2];
    const size_t n = strnlen(line, kMaxLine);
    std::memcpy(text, line, n);
    Emit(text, n);
}

void TextLog::Printf(const char* format, ...) {
    if (!Open()) return;
    char text[kMaxLine + 2];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, kMaxLine + 1, format, args);
    va_end(args);
    if (n < 0) return;
    Emit(text, static_cast<size_t>(n) < kMaxLine ? static_cast<size_t>(n) : kMaxLine);
}

void TextLog::Emit(char* text, size_t n) {
    if (decimal_comma_) {
        for (size_t i = 0; i < n; ++i)
            if (text[i] == '.') text[i] = ',';
    }
    if (n > 0 && text[n - 1] == '\n') {
        text[n - 1] = '\r';
        text[n++] = '\n';
    }
    std::fwrite(text, 1, n, file_);
    if (batch_depth_ == 0) std::fflush(file_);
}

TextLog::Batch::~Batch() {
    if (--log_.batch_depth_ == 0 && log_.file_ != nullptr) std::fflush(log_.file_);
}

}  // namespace platform
