// A scripted transport for tests: what the "device" sends and when (bytes, pauses,
// line errors, a hang-up), failing calls, and a record of what the host wrote.
// Thread-safe: a test feeds it while a receive thread reads.
//
// The script is played in order. A pause holds back everything after it until the
// pause has run out, counted from the moment the reader has taken every byte before
// it (as a device that goes quiet after sending). Line errors and the hang-up take
// effect when the script reaches them, so bytes fed before a hang-up are still read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "link/transport/transport.h"

namespace transport {

class FakeTransport : public ITransport {
public:
    enum Op { kWait, kBytesWaiting, kRead, kWrite, kPurge, kOpCount };

    // Script steps, appended in order.
    void Feed(const std::vector<uint8_t>& bytes);
    void Pause(int ms);
    void FeedLineErrors(uint32_t bits);
    void HangUp();  // once reached: WaitForData reports HangUp, every call fails

    // Makes an operation fail with `status` (0 clears). A failing kWait returns
    // Error (LastError() = status); after it the transport stays dead.
    void FailOn(Op op, int status);
    void FailReads(int status) { FailOn(kRead, status), FailOn(kBytesWaiting, status); }
    void FailWrites(int status) { FailOn(kWrite, status); }

    std::vector<uint8_t> Written() const;
    // Waits up to timeout_ms until at least `size` bytes were written; true if so.
    bool WaitForWritten(size_t size, int timeout_ms) const;
    size_t Pending() const;  // script bytes not read yet
    int waits() const;       // WaitForData calls so far
    int purges() const;

    WaitResult WaitForData(int timeout_ms) override;
    int BytesWaiting(size_t* count) override;
    int Read(uint8_t* buffer, size_t size, size_t* got) override;
    int Write(const uint8_t* data, size_t size) override;
    uint32_t TakeLineErrors() override;
    int Purge() override;
    void Wake() override;
    int LastError() const override;

private:
    using Clock = std::chrono::steady_clock;
    struct Step {
        enum Kind { kBytes, kPause, kErrors, kHangUp } kind = kBytes;
        std::deque<uint8_t> bytes;
        int ms = 0;
        uint32_t bits = 0;
        bool started = false;  // pause: its clock runs
        Clock::time_point until;
    };
    // Applies every step that is due; returns when the next one is, or max().
    Clock::time_point Advance();
    size_t Readable() const;  // bytes of the leading byte steps
    int Dead() const { return hung_up_ ? EIO : dead_status_; }
    void Push(Step step);

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::deque<Step> script_;
    std::vector<uint8_t> written_;
    uint32_t line_errors_ = 0;
    bool hung_up_ = false;
    bool wake_ = false;
    int dead_status_ = 0;
    int fail_[kOpCount] = {};
    int last_error_ = 0;
    int waits_ = 0;
    int purges_ = 0;
};

}  // namespace transport
