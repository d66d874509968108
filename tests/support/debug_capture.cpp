#include "tests/support/debug_capture.h"

#include <algorithm>

#include "platform/debug_output.h"

namespace testing_support {

DebugCapture::DebugCapture() {
    platform::SetDebugSink([this](std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(text);
    });
}

DebugCapture::~DebugCapture() { platform::SetDebugSink({}); }

std::vector<std::string> DebugCapture::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string DebugCapture::Text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& l : lines_) all += l;
    return all;
}

size_t DebugCapture::Count(const std::string& exact_line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count(lines_.begin(), lines_.end(), exact_line));
}

void DebugCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

}  // namespace testing_support
