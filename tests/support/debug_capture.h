// Captures the debugger-output lines for the lifetime of the object.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<std::string> Lines() const;  // each exactly as written
    std::string Text() const;                // all lines concatenated
    size_t Count(const std::string& exact_line) const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace testing_support
