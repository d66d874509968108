#include "link/transport/fake_transport.h"

#include <cerrno>
#include <chrono>

namespace transport {

void FakeTransport::Feed(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        input_.insert(input_.end(), bytes.begin(), bytes.end());
    }
    cv_.notify_all();
}

void FakeTransport::FeedLineErrors(uint32_t bits) {
    std::lock_guard<std::mutex> lock(mutex_);
    line_errors_ |= bits;
}

void FakeTransport::HangUp() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hung_up_ = true;
    }
    cv_.notify_all();
}

void FakeTransport::FailReads(int status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        read_status_ = status;
    }
    cv_.notify_all();
}

void FakeTransport::FailWrites(int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    write_status_ = status;
}

std::vector<uint8_t> FakeTransport::Written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

size_t FakeTransport::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_.size();
}

int FakeTransport::waits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waits_;
}

WaitResult FakeTransport::WaitForData(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waits_;
    auto ready = [this] { return !input_.empty() || hung_up_ || wake_ || read_status_ != 0; };
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready))
        return WaitResult::Timeout;
    if (wake_) {
        wake_ = false;
        return WaitResult::Wake;
    }
    if (!input_.empty()) return WaitResult::Data;
    if (read_status_ != 0) {
        last_error_ = read_status_;
        return WaitResult::Error;
    }
    last_error_ = EIO;
    return WaitResult::HangUp;
}

int FakeTransport::BytesWaiting(size_t* count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (read_status_ != 0) return last_error_ = read_status_;
    *count = input_.size();
    return 0;
}

int FakeTransport::Read(uint8_t* buffer, size_t size, size_t* got) {
    std::lock_guard<std::mutex> lock(mutex_);
    *got = 0;
    if (read_status_ != 0) return last_error_ = read_status_;
    while (*got < size && !input_.empty()) {
        buffer[(*got)++] = input_.front();
        input_.pop_front();
    }
    return 0;
}

int FakeTransport::Write(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (write_status_ != 0) return last_error_ = write_status_;
    if (hung_up_) return last_error_ = EIO;
    written_.insert(written_.end(), data, data + size);
    return 0;
}

uint32_t FakeTransport::TakeLineErrors() {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t bits = line_errors_;
    line_errors_ = 0;
    return bits;
}

int FakeTransport::Purge() {
    std::lock_guard<std::mutex> lock(mutex_);
    input_.clear();
    return 0;
}

void FakeTransport::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_ = true;
    }
    cv_.notify_all();
}

int FakeTransport::LastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_error_;
}

}  // namespace transport
