#include "recordings/capture_recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace recordings {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRetryOpenMs = 100;  // a FIFO's reader is looked for this often

size_t EncodedSize(size_t size) {
    const size_t records = size == 0 ? 1 : (size + kCaptureMaxChunk - 1) / kCaptureMaxChunk;
    return records * kCaptureRecordOverhead + size;
}

constexpr size_t kDropNoteSize = kCaptureRecordOverhead + 16;

}  // namespace

CaptureRecorder::~CaptureRecorder() { Finish(0); }

bool CaptureRecorder::Start(const std::string& path, const CaptureHeader& header,
                            const Settings& settings) {
    if (started()) return false;
    path_ = path;
    settings_ = settings;
    std::string problem = CaptureHeaderProblem(header);
    if (header.version != kCaptureVersion) problem = "this recorder writes version 2 only";
    if (!problem.empty()) {
        Fail("cannot create " + path + ": " + problem);
        return false;
    }
    std::vector<uint8_t> head;
    AppendCaptureHeader(head, header);
    capacity_ = std::max(settings.buffer_bytes, head.size() + 2 * kCaptureMaxChunk);
    fd_ = settings.named_with_header
              ? CreateCaptureWithHead(path, head, settings.overwrite, &error_)
              : OpenCaptureOutput(path, settings.overwrite, &error_);
    if (fd_ < 0 && (errno != ENXIO || settings.named_with_header)) {
        failed_ = true;
        return false;
    }
    error_.clear();
    struct stat st {};
    regular_ = fd_ >= 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    ring_ = std::make_unique<uint8_t[]>(capacity_);
    head_ = tail_ = last_time_ = 0;
    stopping_ = false;
    if (settings.named_with_header)
        written_.store(head.size(), std::memory_order_relaxed);
    else
        Put(head.data(), head.size());
    records_start_ = head_;
    records_put_ = records_done_ = done_at_ = 0;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void CaptureRecorder::Put(const uint8_t* data, size_t size) {
    const size_t at = static_cast<size_t>(head_ % capacity_);
    const size_t first = std::min(size, capacity_ - at);
    std::memcpy(ring_.get() + at, data, first);
    if (size > first) std::memcpy(ring_.get(), data + first, size - first);
    head_ += size;
}

void CaptureRecorder::PutDropNote() {
    uint8_t note[16];
    for (int i = 0; i < 8; ++i) {
        note[i] = static_cast<uint8_t>(unreported_records_ >> (8 * i));
        note[8 + i] = static_cast<uint8_t>(unreported_bytes_ >> (8 * i));
    }
    PutRecord(CaptureKind::RecordsDropped, last_time_, note, sizeof note);
    unreported_records_ = unreported_bytes_ = 0;
}

void CaptureRecorder::PutRecord(CaptureKind kind, uint64_t time_us, const uint8_t* data,
                                size_t size) {
    ++records_put_;
    do {
        const size_t n = std::min(size, kCaptureMaxChunk);
        const size_t at = static_cast<size_t>(head_ % capacity_);
        if (capacity_ - at >= n + kCaptureRecordOverhead) {
            // As a rule the record fits before the ring's end: it is encoded in place,
            // and its check computed over head and data in one pass.
            uint8_t* out = ring_.get() + at;
            EncodeCaptureRecordHead(out, kind, time_us, n);
            if (n > 0) std::memcpy(out + kCaptureRecordHeaderSize, data, n);
            const uint32_t crc = Crc32(out, kCaptureRecordHeaderSize + n);
            for (int i = 0; i < 4; ++i)
                out[kCaptureRecordHeaderSize + n + i] = static_cast<uint8_t>(crc >> (8 * i));
            head_ += n + kCaptureRecordOverhead;
            data += n;
            size -= n;
            continue;
        }
        uint8_t head[kCaptureRecordHeaderSize];
        EncodeCaptureRecordHead(head, kind, time_us, n);
        uint8_t check[4];
        const uint32_t crc = CaptureRecordCheck(head, data, n);
        for (int i = 0; i < 4; ++i) check[i] = static_cast<uint8_t>(crc >> (8 * i));
        Put(head, sizeof head);
        if (n > 0) Put(data, n);
        Put(check, sizeof check);
        data += n;
        size -= n;
    } while (size > 0);
}

bool CaptureRecorder::Add(CaptureKind kind, uint64_t time_us, const uint8_t* data, size_t size) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!ring_ || stopping_ || failed()) return false;
        last_time_ = std::max(last_time_, time_us);
        const size_t need = EncodedSize(size) + (unreported_records_ > 0 ? kDropNoteSize : 0);
        if (head_ - tail_ + need > capacity_) {
            ++unreported_records_;
            unreported_bytes_ += EncodedSize(size);
            dropped_records_.fetch_add(1, std::memory_order_relaxed);
            dropped_bytes_.fetch_add(EncodedSize(size), std::memory_order_relaxed);
            return false;
        }
        if (unreported_records_ > 0) {
            PutDropNote();
        }
        PutRecord(kind, last_time_, data, size);
        // The thread writes on its own clock; only a buffer filling up hurries it.
        wake = head_ - tail_ > capacity_ / 2;
    }
    if (wake) wake_.notify_one();
    return true;
}

void CaptureRecorder::Fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!failed()) error_ = why;
    failed_.store(true, std::memory_order_relaxed);
}

uint64_t CaptureRecorder::records_put() const {
    std::lock_guard<std::mutex> lock(mu_);
    return records_put_;
}

uint64_t CaptureRecorder::records_written() const {
    std::lock_guard<std::mutex> lock(mu_);
    return records_done_;
}

void CaptureRecorder::Unwritten(uint64_t* records, uint64_t* bytes) const {
    std::lock_guard<std::mutex> lock(mu_);
    // From the end of the last batch written whole: a failed batch is cut back off.
    *records = records_put_ - records_done_;
    *bytes = head_ - std::max(done_at_, records_start_);
}

std::string CaptureRecorder::Error() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::string text = error_;
    auto add = [&](const std::string& more) { text += (text.empty() ? "" : "; ") + more; };
    if (dropped_records() > 0)
        add(std::to_string(dropped_records()) + " records (" + std::to_string(dropped_bytes()) +
            " bytes) dropped: " + path_ + " took them too slowly");
    if (unwritten_ > 0)
        add(std::to_string(unwritten_) + " bytes of records not written to " + path_ +
            " before the end");
    return text;
}

bool CaptureRecorder::OpenLater() {
    std::string why;
    fd_ = OpenCaptureOutput(path_, settings_.overwrite, &why);
    if (fd_ >= 0) return true;
    if (errno != ENXIO) Fail(why);
    return false;
}

// Writes [from, to) of the ring; false when the recording failed or the end came
// before everything was written.
bool CaptureRecorder::WriteOut(uint64_t from, uint64_t to, bool stopping) {
    const uint64_t batch_start = written_.load(std::memory_order_relaxed);
    while (from < to) {
        const size_t at = static_cast<size_t>(from % capacity_);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(to - from, capacity_ - at));
        const ssize_t w = ::write(fd_, ring_.get() + at, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
            // A FIFO whose reader is slow: wait for room, but never past the end.
            int wait_ms = 100;
            if (stopping) {
                std::lock_guard<std::mutex> lock(mu_);
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(stop_by_ - Clock::now());
                if (left.count() <= 0) return false;
                wait_ms = static_cast<int>(std::min<int64_t>(wait_ms, left.count()));
            }
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, wait_ms);
            if (!stopping) {
                std::lock_guard<std::mutex> lock(mu_);
                stopping = stopping_;
            }
            continue;
        }
        if (w <= 0) {
            const int e = w < 0 ? errno : ENOSPC;
            // Whole up to the last whole batch: a reader never meets half of this one.
            if (regular_ && ::ftruncate(fd_, static_cast<off_t>(batch_start)) == 0)
                ::lseek(fd_, static_cast<off_t>(batch_start), SEEK_SET);
            Fail("cannot write " + path_ + ": " + std::strerror(e));
            return false;
        }
        from += static_cast<uint64_t>(w);
        written_.fetch_add(static_cast<uint64_t>(w), std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(mu_);
        tail_ = from;
    }
    return true;
}

void CaptureRecorder::Run() {
    // The forwarding thread may run at real-time priority; its writer must not.
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    auto last_sync = Clock::now();
    uint64_t synced = 0;
    for (;;) {
        uint64_t from, to, records;
        bool stopping;
        {
            std::unique_lock<std::mutex> lock(mu_);
            wake_.wait_for(lock, std::chrono::milliseconds(settings_.write_every_ms),
                           [&] { return stopping_ || head_ - tail_ > capacity_ / 2; });
            from = tail_;
            to = head_;
            records = records_put_;
            stopping = stopping_;
        }
        if (failed()) break;
        if (fd_ < 0 && !OpenLater()) {
            if (failed()) break;
            if (stopping) {
                std::unique_lock<std::mutex> lock(mu_);
                if (Clock::now() >= stop_by_) break;
                wake_.wait_for(lock, std::chrono::milliseconds(kRetryOpenMs));
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(kRetryOpenMs));
            continue;
        }
        const bool all = WriteOut(from, to, stopping);
        if (all) {
            std::lock_guard<std::mutex> lock(mu_);
            records_done_ = records;
            done_at_ = to;
        }
        if (failed() || (stopping && (!all || from == to))) break;
        const auto now = Clock::now();
        const uint64_t written = written_.load(std::memory_order_relaxed);
        if (regular_ && written != synced &&
            now - last_sync >= std::chrono::milliseconds(settings_.sync_every_ms)) {
            ::fdatasync(fd_);
            synced = written;
            last_sync = now;
        }
    }
}

bool CaptureRecorder::Finish(int wait_ms) {
    if (!started()) return false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (unreported_records_ > 0 && head_ - tail_ + kDropNoteSize <= capacity_) {
            PutDropNote();
        }
        stopping_ = true;
        stop_by_ = Clock::now() + std::chrono::milliseconds(wait_ms);
    }
    wake_.notify_one();
    thread_.join();
    bool ok = !failed();
    if (fd_ >= 0) {
        if (ok && regular_ && ::fdatasync(fd_) != 0) {
            Fail("cannot sync " + path_ + ": " + std::strerror(errno));
            ok = false;
        }
        if (::close(fd_) != 0 && ok) {
            Fail("cannot close " + path_ + ": " + std::strerror(errno));
            ok = false;
        }
        fd_ = -1;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        unwritten_ = head_ - tail_;
        if (unwritten_ > 0) ok = false;
    }
    return ok && dropped_records() == 0;
}

}  // namespace recordings
