// Diagnostic text logs: one file of fixed name per log, written line by line.
//
// A log opens lazily with "wb" (truncating an older file) when its first line is
// due, and writes its header, if it has one, right then. A failed open drops that
// line; the open is tried again with the next one. Each line's final "\n" becomes
// "\r\n" and the line is flushed at once (or with its batch), so the file is
// complete up to the last line whatever happens to the program. The log stays open
// until Close() or its end; after Close() the next line truncates and starts the
// file anew.
//
// Nothing is allocated per line: Printf formats into a buffer on the stack.
// One thread at a time per log.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <utility>

namespace platform {

// vsnprintf as the "C" locale formats, whatever locale the program runs in: the
// conversions the logs use (d i u x X c s f F e E g G with a precision, no flags or
// width) go through std::to_chars, about ten times faster than printf's floating
// point; any other conversion is left to vsnprintf. Returns what vsnprintf returns.
int FormatLogLineV(char* buffer, size_t size, const char* format, va_list args);
int FormatLogLine(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Whether a log writes its numbers with a decimal point or a decimal comma. The comma
// replaces every '.' of a line, text included; the header is written as given.
enum class Decimal { kPoint, kComma };

class TextLog {
public:
    // Longest line written; a longer one is cut and so loses its line end.
    static constexpr size_t kMaxLine = 255;

    explicit TextLog(std::string path, Decimal decimal = Decimal::kPoint,
                     const char* header = nullptr);
    ~TextLog();
    TextLog(const TextLog&) = delete;
    TextLog& operator=(const TextLog&) = delete;

    // Used from the next open on.
    void SetPath(std::string path) { path_ = std::move(path); }
    const std::string& Path() const { return path_; }

    // Off: nothing is opened or written, not even to a file that is already open.
    void SetEnabled(bool on) { enabled_ = on; }
    bool Enabled() const { return enabled_; }

    // Opens the file (and writes the header) unless it is open. False when the log
    // is off or the file cannot be created.
    bool Open();
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    // One line, normally ending in "\n"; a line without one is written as it is.
    void WriteLine(const char* line);
    // The same for a formatted line. Nothing is formatted when the log cannot be opened.
    void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Lines written while a Batch lives are flushed together when it ends, for a
    // writer that puts out many lines at once.
    class Batch {
    public:
        explicit Batch(TextLog& log) : log_(log) { ++log_.batch_depth_; }
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        TextLog& log_;
    };

private:
    // text holds n characters and has room for one more.
    void Emit(char* text, size_t n);

    std::string path_;
    const char* header_;  // static text
    bool decimal_comma_;
    bool enabled_ = true;
    int batch_depth_ = 0;
    std::FILE* file_ = nullptr;
};

}  // namespace platform
