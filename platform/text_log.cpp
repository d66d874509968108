#include "platform/text_log.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "platform/text_log_testing.h"

namespace platform {

namespace {
std::atomic<TextLogOpenFunction> g_open{nullptr};

// What has been formatted: the first size - 1 characters in the buffer, the count
// of all of them, as vsnprintf counts.
struct LineOut {
    char* buffer;
    size_t size;
    size_t count = 0;
    void Put(const char* text, size_t n) {
        if (count + n < size) {
            // The pieces are a few characters each: a loop beats a call to memcpy.
            for (size_t i = 0; i < n; ++i) buffer[count + i] = text[i];
        } else if (count + 1 < size) {
            std::memcpy(buffer + count, text, size - 1 - count);
        }
        count += n;
    }
    void Finish() {
        if (size > 0) buffer[count < size ? count : size - 1] = '\0';
    }
};

// %.<precision>f of a finite double, exactly as printf rounds it (the exact binary
// value, halfway cases to even), in integer arithmetic; false for the values whose
// digits do not fit 128 bits, left to std::to_chars. Several times faster than it for
// the logs' few decimals.
bool FormatFixed(double v, int precision, char* out, char** end) {
    if (precision > 9 || !std::isfinite(v)) return false;
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    int exponent = biased - 1075;
    if (biased == 0) {
        exponent = -1074;  // subnormal
    } else {
        mantissa |= uint64_t{1} << 52;
    }
    uint64_t scale = 1;
    for (int i = 0; i < precision; ++i) scale *= 10;
    unsigned __int128 q;
    if (exponent >= 0) {
        if (exponent > 40) return false;  // m * 2^40 * 10^9 stays below 2^123
        q = (static_cast<unsigned __int128>(mantissa) << exponent) * scale;
    } else {
        const unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * scale;
        const int k = -exponent;
        if (k >= 127) {
            q = 0;  // below half a unit of the last digit: scaled < 2^83 <= 2^(k-1)
        } else {
            q = scaled >> k;
            const unsigned __int128 rest = scaled & ((static_cast<unsigned __int128>(1) << k) - 1);
            const unsigned __int128 half = static_cast<unsigned __int128>(1) << (k - 1);
            if (rest > half || (rest == half && (q & 1) != 0)) ++q;
        }
    }
    char digits[48];
    int n = 0;
    // 64-bit division by 10 is a multiplication; 128-bit division is a library call.
    while (q > UINT64_MAX) {
        digits[n++] = static_cast<char>('0' + static_cast<int>(q % 10));
        q /= 10;
    }
    uint64_t low = static_cast<uint64_t>(q);
    do {
        digits[n++] = static_cast<char>('0' + static_cast<int>(low % 10));
        low /= 10;
    } while (low != 0);
    while (n <= precision) digits[n++] = '0';  // at least one digit before the point
    char* p = out;
    if (bits >> 63) *p++ = '-';
    for (int i = n - 1; i >= 0; --i) {
        *p++ = digits[i];
        if (i == precision && precision > 0) *p++ = '.';
    }
    *end = p;
    return true;
}

enum class Length { kNone, kChar, kShort, kLong, kLongLong, kSize, kMax, kPtrDiff };

// Formats what follows a '%' at *spec and moves past it; false when the conversion
// is not one formatted here.
bool FormatConversion(const char*& spec, va_list& args, LineOut& out) {
    const char* f = spec;
    if (*f == '%') {
        out.Put("%", 1);
        spec = f + 1;
        return true;
    }
    int precision = -1;
    if (*f == '.') {
        ++f;
        if (*f == '*' || *f == '-') return false;
        precision = 0;
        for (; *f >= '0' && *f <= '9'; ++f) {
            precision = precision * 10 + (*f - '0');
            if (precision > 100) return false;
        }
    }
    Length length = Length::kNone;
    switch (*f) {
        case 'h':
            length = f[1] == 'h' ? Length::kChar : Length::kShort;
            f += f[1] == 'h' ? 2 : 1;
            break;
        case 'l':
            length = f[1] == 'l' ? Length::kLongLong : Length::kLong;
            f += f[1] == 'l' ? 2 : 1;
            break;
        case 'z':
            length = Length::kSize;
            ++f;
            break;
        case 'j':
            length = Length::kMax;
            ++f;
            break;
        case 't':
            length = Length::kPtrDiff;
            ++f;
            break;
        default:
            break;
    }
    char text[400];
    std::to_chars_result r{};
    const char conversion = *f;
    switch (conversion) {
        case 'd':
        case 'i': {
            if (precision >= 0) return false;
            long long v = 0;
            switch (length) {
                case Length::kNone:
                    v = va_arg(args, int);
                    break;
                case Length::kChar:
                    v = static_cast<signed char>(va_arg(args, int));
                    break;
                case Length::kShort:
                    v = static_cast<short>(va_arg(args, int));
                    break;
                case Length::kLong:
                    v = va_arg(args, long);
                    break;
                case Length::kLongLong:
                    v = va_arg(args, long long);
                    break;
                case Length::kSize:
                    v = va_arg(args, ptrdiff_t);
                    break;
                case Length::kMax:
                    v = va_arg(args, intmax_t);
                    break;
                case Length::kPtrDiff:
                    v = va_arg(args, ptrdiff_t);
                    break;
            }
            r = std::to_chars(text, text + sizeof text, v);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            if (precision >= 0) return false;
            unsigned long long v = 0;
            switch (length) {
                case Length::kNone:
                    v = va_arg(args, unsigned);
                    break;
                case Length::kChar:
                    v = static_cast<unsigned char>(va_arg(args, unsigned));
                    break;
                case Length::kShort:
                    v = static_cast<unsigned short>(va_arg(args, unsigned));
                    break;
                case Length::kLong:
                    v = va_arg(args, unsigned long);
                    break;
                case Length::kLongLong:
                    v = va_arg(args, unsigned long long);
                    break;
                case Length::kSize:
                    v = va_arg(args, size_t);
                    break;
                case Length::kMax:
                    v = va_arg(args, uintmax_t);
                    break;
                case Length::kPtrDiff:
                    v = static_cast<size_t>(va_arg(args, ptrdiff_t));
                    break;
            }
            r = std::to_chars(text, text + sizeof text, v, conversion == 'u' ? 10 : 16);
            break;
        }
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G': {
            // %lf is %f; long double (%Lf) is not formatted here.
            if (length != Length::kNone && length != Length::kLong) return false;
            const double v = va_arg(args, double);
            const char lower = static_cast<char>(conversion | 0x20);
            if (lower == 'f' && FormatFixed(v, precision < 0 ? 6 : precision, text, &r.ptr)) break;
            const std::chars_format format = lower == 'f'   ? std::chars_format::fixed
                                             : lower == 'e' ? std::chars_format::scientific
                                                            : std::chars_format::general;
            r = std::to_chars(text, text + sizeof text, v, format, precision < 0 ? 6 : precision);
            break;
        }
        case 'c': {
            if (precision >= 0 || length != Length::kNone) return false;
            text[0] = static_cast<char>(va_arg(args, int));
            r.ptr = text + 1;
            break;
        }
        case 's': {
            if (length != Length::kNone) return false;
            const char* s = va_arg(args, const char*);
            if (s == nullptr) return false;
            out.Put(s, precision < 0 ? std::strlen(s) : strnlen(s, static_cast<size_t>(precision)));
            spec = f + 1;
            return true;
        }
        default:
            return false;
    }
    if (r.ec != std::errc()) return false;
    if (conversion >= 'A' && conversion <= 'Z') {
        for (char* c = text; c < r.ptr; ++c)
            if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 0x20);
    }
    out.Put(text, static_cast<size_t>(r.ptr - text));
    spec = f + 1;
    return true;
}

}  // namespace

int FormatLogLineV(char* buffer, size_t size, const char* format, va_list args) {
    va_list fast;
    va_copy(fast, args);
    LineOut out{buffer, size};
    const char* f = format;
    bool done = true;
    while (*f != '\0') {
        const char* percent = std::strchr(f, '%');
        if (percent == nullptr) {
            out.Put(f, std::strlen(f));
            break;
        }
        out.Put(f, static_cast<size_t>(percent - f));
        f = percent + 1;
        if (!FormatConversion(f, fast, out)) {
            done = false;
            break;
        }
    }
    va_end(fast);
    if (!done) return std::vsnprintf(buffer, size, format, args);
    out.Finish();
    return static_cast<int>(out.count);
}

int FormatLogLine(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = FormatLogLineV(buffer, size, format, args);
    va_end(args);
    return n;
}

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
    const int n = FormatLogLineV(text, kMaxLine + 1, format, args);
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
