#include "link/transport/fake_transport.h"

#include <algorithm>
#include <cerrno>

namespace transport {

void FakeTransport::Push(Step step) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        script_.push_back(std::move(step));
    }
    cv_.notify_all();
}

void FakeTransport::Feed(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return;
    Step s;
    s.bytes.assign(bytes.begin(), bytes.end());
    Push(std::move(s));
}

void FakeTransport::Pause(int ms) {
    Step s;
    s.kind = Step::kPause;
    s.ms = ms;
    Push(std::move(s));
}

void FakeTransport::FeedLineErrors(uint32_t bits) {
    Step s;
    s.kind = Step::kErrors;
    s.bits = bits;
    Push(std::move(s));
}

void FakeTransport::HangUp() {
    Step s;
    s.kind = Step::kHangUp;
    Push(std::move(s));
}

void FakeTransport::FailOn(Op op, int status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fail_[op] = status;
    }
    cv_.notify_all();
}

FakeTransport::Clock::time_point FakeTransport::Advance() {
    while (!script_.empty()) {
        Step& s = script_.front();
        switch (s.kind) {
            case Step::kBytes:
                if (!s.bytes.empty()) return Clock::time_point::max();
                break;
            case Step::kPause:
                if (!s.started) {
                    s.started = true;
                    s.until = Clock::now() + std::chrono::milliseconds(s.ms);
                }
                if (Clock::now() < s.until) return s.until;
                break;
            case Step::kErrors:
                line_errors_ |= s.bits;
                break;
            case Step::kHangUp:
                // Nothing comes through after the device is gone.
                hung_up_ = true;
                script_.clear();
                return Clock::time_point::max();
        }
        script_.pop_front();
    }
    return Clock::time_point::max();
}

size_t FakeTransport::Readable() const {
    // Only the leading byte steps: a pause holds back the rest.
    size_t n = 0;
    for (const Step& s : script_) {
        if (s.kind != Step::kBytes) break;
        n += s.bytes.size();
    }
    return n;
}

std::vector<uint8_t> FakeTransport::Written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

bool FakeTransport::WaitForWritten(size_t size, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return written_.size() >= size; });
}

size_t FakeTransport::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const Step& s : script_) n += s.bytes.size();
    return n;
}

int FakeTransport::waits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waits_;
}

int FakeTransport::purges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return purges_;
}

WaitResult FakeTransport::WaitForData(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waits_;
    auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
        Clock::time_point next = Advance();
        if (wake_) {
            wake_ = false;
            return WaitResult::Wake;
        }
        if (dead_status_ != 0) return WaitResult::Error;
        if (fail_[kWait] != 0) {
            dead_status_ = last_error_ = fail_[kWait];
            return WaitResult::Error;
        }
        if (Readable() > 0) return WaitResult::Data;
        if (hung_up_) {
            last_error_ = EIO;
            return WaitResult::HangUp;
        }
        if (Clock::now() >= deadline) return WaitResult::Timeout;
        cv_.wait_until(lock, std::min(next, deadline));
    }
}

int FakeTransport::BytesWaiting(size_t* count) {
    std::lock_guard<std::mutex> lock(mutex_);
    *count = 0;
    Advance();
    if (fail_[kBytesWaiting] != 0) return last_error_ = fail_[kBytesWaiting];
    size_t n = Readable();
    if (n == 0 && Dead() != 0) return last_error_ = Dead();
    *count = n;
    return 0;
}

int FakeTransport::Read(uint8_t* buffer, size_t size, size_t* got) {
    std::lock_guard<std::mutex> lock(mutex_);
    *got = 0;
    Advance();
    if (fail_[kRead] != 0) return last_error_ = fail_[kRead];
    while (*got < size && !script_.empty() && script_.front().kind == Step::kBytes) {
        Step& s = script_.front();
        while (*got < size && !s.bytes.empty()) {
            buffer[(*got)++] = s.bytes.front();
            s.bytes.pop_front();
        }
        if (!s.bytes.empty()) break;
        script_.pop_front();
        Advance();
    }
    if (*got == 0 && size > 0 && Dead() != 0) return last_error_ = Dead();
    return 0;
}

int FakeTransport::Write(const uint8_t* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fail_[kWrite] != 0) return last_error_ = fail_[kWrite];
        if (Dead() != 0) return last_error_ = Dead();
        written_.insert(written_.end(), data, data + size);
    }
    cv_.notify_all();
    return 0;
}

uint32_t FakeTransport::TakeLineErrors() {
    std::lock_guard<std::mutex> lock(mutex_);
    Advance();
    uint32_t bits = line_errors_;
    line_errors_ = 0;
    return bits;
}

int FakeTransport::Purge() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++purges_;
    if (fail_[kPurge] != 0) return last_error_ = fail_[kPurge];
    Advance();
    // Drops what has arrived; later script steps are still to come.
    while (!script_.empty() && script_.front().kind == Step::kBytes) script_.pop_front();
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
