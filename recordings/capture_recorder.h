// Live recording of a capture: whoever forwards or receives the bytes adds records
// without ever waiting on the disk; a writer thread of its own takes them from a
// bounded buffer to the file. When the buffer is full, records are dropped (and
// counted), never the caller's time; the count goes into the file as a
// RecordsDropped record as soon as there is room again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "recordings/capture_file.h"

namespace recordings {

class CaptureRecorder {
public:
    struct Settings {
        size_t buffer_bytes = 8u << 20;  // records waiting for the disk
        int write_every_ms = 200;        // the file is at most this far behind
        int sync_every_ms = 5000;        // and on the medium at most this far behind
        bool overwrite = false;          // an existing regular file may be replaced
        // A new regular file whose name appears only with its header in it (written in
        // Start): nobody ever meets it empty, and a failed start leaves nothing.
        bool named_with_header = false;
    };

    CaptureRecorder() = default;
    ~CaptureRecorder();  // Finish(0)
    CaptureRecorder(const CaptureRecorder&) = delete;
    CaptureRecorder& operator=(const CaptureRecorder&) = delete;

    // Opens the file and starts the writer thread, which writes the header first.
    // A FIFO without a reader is not waited for: the thread opens it once a reader
    // comes. False with Error() set when the file cannot be had.
    bool Start(const std::string& path, const CaptureHeader& header, const Settings& settings);
    bool Start(const std::string& path, const CaptureHeader& header) {
        return Start(path, header, Settings());
    }
    bool started() const { return thread_.joinable(); }

    // From any thread; never waits on the disk. False when the record was dropped for
    // want of room, or the recording has failed. Times never go back: an earlier one
    // is raised to the latest.
    bool Add(CaptureKind kind, uint64_t time_us, const uint8_t* data = nullptr, size_t size = 0);

    // Writes what waits, for at most wait_ms, syncs and closes. True when every
    // record added since Start is in the file.
    bool Finish(int wait_ms);

    // Once set, stays set (read from any thread).
    bool failed() const { return failed_.load(std::memory_order_relaxed); }
    // The first failure; after Finish also what was lost.
    std::string Error() const;
    uint64_t dropped_records() const { return dropped_records_.load(std::memory_order_relaxed); }
    uint64_t dropped_bytes() const { return dropped_bytes_.load(std::memory_order_relaxed); }
    uint64_t written_bytes() const { return written_.load(std::memory_order_relaxed); }
    // Records taken into the buffer since Start (drop notes included), and of them
    // those in the file (written in whole batches).
    uint64_t records_put() const;
    uint64_t records_written() const;
    // Records and bytes taken but not (yet) in the file in whole batches. Once the
    // recording has failed, what it lost with its failure (the file is cut back to
    // its last whole batch and its writer writes nothing more).
    void Unwritten(uint64_t* records, uint64_t* bytes) const;

private:
    void Put(const uint8_t* data, size_t size);  // into the ring at head_, under mu_
    void PutRecord(CaptureKind kind, uint64_t time_us, const uint8_t* data, size_t size);
    // The count of records dropped since the last note, as a RecordsDropped record.
    void PutDropNote();
    void Run();
    bool OpenLater();
    bool WriteOut(uint64_t from, uint64_t to, bool stopping);
    void Fail(const std::string& why);

    std::string path_;
    Settings settings_;
    int fd_ = -1;  // the writer thread's once started
    bool regular_ = false;
    std::unique_ptr<uint8_t[]> ring_;
    size_t capacity_ = 0;

    mutable std::mutex mu_;
    std::condition_variable wake_;
    uint64_t head_ = 0, tail_ = 0;  // bytes put in, bytes written out (ever)
    uint64_t records_start_ = 0;    // where the records begin (after a header put in)
    uint64_t records_put_ = 0;      // records put in (ever)
    uint64_t records_done_ = 0;     // of them, written in whole batches
    uint64_t done_at_ = 0;          // where the last whole batch ended
    uint64_t last_time_ = 0;
    uint64_t unreported_records_ = 0, unreported_bytes_ = 0;  // dropped, not yet in the file
    bool stopping_ = false;
    std::chrono::steady_clock::time_point stop_by_;
    std::string error_;
    uint64_t unwritten_ = 0;  // left in the buffer at the end

    std::atomic<bool> failed_{false};
    std::atomic<uint64_t> dropped_records_{0}, dropped_bytes_{0}, written_{0};
    std::thread thread_;
};

}  // namespace recordings
