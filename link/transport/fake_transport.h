// A scripted transport for tests: bytes the "device" sends, line errors, hang-ups
// and failing calls, and a record of what the host wrote. Thread-safe: a test feeds
// it while a receive thread reads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "link/transport/transport.h"

namespace transport {

class FakeTransport : public ITransport {
public:
    void Feed(const std::vector<uint8_t>& bytes);
    void FeedLineErrors(uint32_t bits);
    void HangUp();                // later waits report HangUp
    void FailReads(int status);   // Read and BytesWaiting fail with status
    void FailWrites(int status);  // Write fails with status
    std::vector<uint8_t> Written() const;
    size_t Pending() const;
    int waits() const;  // WaitForData calls so far

    WaitResult WaitForData(int timeout_ms) override;
    int BytesWaiting(size_t* count) override;
    int Read(uint8_t* buffer, size_t size, size_t* got) override;
    int Write(const uint8_t* data, size_t size) override;
    uint32_t TakeLineErrors() override;
    int Purge() override;
    void Wake() override;
    int LastError() const override;

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<uint8_t> input_;
    std::vector<uint8_t> written_;
    uint32_t line_errors_ = 0;
    bool hung_up_ = false;
    bool wake_ = false;
    int read_status_ = 0;
    int write_status_ = 0;
    int last_error_ = 0;
    int waits_ = 0;
};

}  // namespace transport
