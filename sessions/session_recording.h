// Sessions: every open connection of a link records what it received and sent into a
// capture file in the sessions folder. The bytes go through a CaptureRecorder (its own
// writer thread, a bounded buffer), so the receive thread only copies into memory. A
// keeper thread per connection starts the next file every hour, after a failed write
// and when its file was removed, and keeps the folder within its size. A file takes its
// name with its header written, so none is ever seen empty. Qt-free.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "link/connection_recorder.h"
#include "recordings/capture_recorder.h"

// File name extension of session files (the capture format).
inline constexpr char kSessionExtension[] = ".vcap";

// Whether name (without its folder) is one of the program's own session files:
// "<YYYY-MM-DD_HH-MM-SS>_<port>[_n].vcap". Only these are counted and removed.
bool IsSessionFileName(const std::string& name);

// The sessions folder of the process: where files go, how large it may grow, whether
// new connections record.
class SessionFolder {
public:
    // The one the links use; it records nothing until Configure turns it on. Its first
    // use makes every link made after it record its connections into it.
    static SessionFolder& Process();

    void Configure(const std::string& dir, uint64_t max_bytes, bool enabled);
    // For new connections only (Option > Record sessions); any thread.
    void SetEnabled(bool on) { enabled_.store(on, std::memory_order_relaxed); }
    bool Enabled() const { return enabled_.load(std::memory_order_relaxed); }
    std::string Dir() const;
    uint64_t MaxBytes() const;

    // Removes the oldest of the program's session files until they hold at most
    // MaxBytes(), one debugger-output line per removal. A file that any recorder of any
    // process holds (its exclusive lock, kept while it writes) is never removed. The
    // number removed.
    int Prune();

private:
    mutable std::mutex mu_;
    std::string dir_;
    uint64_t max_bytes_ = 0;
    std::atomic<bool> enabled_{false};
    std::mutex prune_mu_;  // one pruning at a time
};

using SessionStart = ConnectionStart;

class SessionRecording : public ConnectionRecorder {
public:
    struct Settings {
        int file_seconds = 3600;     // a new file after this long
        int keep_every_ms = 1000;    // the keeper's pace: rotation, failure, size
        int retry_ms = 5000;         // after a failed write, a new file is tried this often
        int prune_every_ms = 10000;  // the folder's size is checked this often
        int finish_wait_ms = 2000;   // the longest a closing file waits for the disk
        recordings::CaptureRecorder::Settings recorder;
    };

    explicit SessionRecording(SessionFolder& folder) : SessionRecording(folder, Settings()) {}
    SessionRecording(SessionFolder& folder, const Settings& settings);
    ~SessionRecording() override;  // End()
    SessionRecording(const SessionRecording&) = delete;
    SessionRecording& operator=(const SessionRecording&) = delete;

    // A new connection, a new file (nothing when the folder does not record). False when
    // no file could be made (StatusText says why).
    bool Begin(const SessionStart& start) override;
    // The file is finished.
    void End() override;
    bool Active() const override { return active_.load(std::memory_order_acquire); }
    void NotOpened() override { not_opened_.store(true, std::memory_order_release); }

    void Received(uint64_t now_us, const uint8_t* data, size_t size, const uint8_t* note = nullptr,
                  size_t note_size = 0) override;
    void Sent(const uint8_t* data, size_t size) override;
    void Lost(const std::string& why) override;
    void Back(const std::string& how) override;
    void NoData() override;
    // Also written at the start of every later file of the connection.
    void Documentation(int field, const std::string& text) override;
    void Noted(Note what, uint64_t now_us, const std::string& text) override;

    // "REC 01:02:33 · 12.4 MB", "REC off", "REC: port not open" or "REC: <reason>".
    std::string StatusText() const override;
    std::string Path() const override;

private:
    using Recorder = recordings::CaptureRecorder;
    // A new file with its opening records; null with *error set.
    std::unique_ptr<Recorder> OpenFile(bool first, std::string* path, uint64_t* base_us,
                                       std::string* error);
    void Add(recordings::CaptureKind kind, uint64_t now_us, const uint8_t* data, size_t size);
    void Keep();
    // The window's alarm settings at a file's start (under mu_).
    void AddAlarmSettings(Recorder* recorder);
    void Rotate(bool after_failure);
    // True when path_ no longer names the file being written (removed, replaced).
    bool FileVanished() const;
    // A monotonic time as the current file's time (under mu_); a reading taken just
    // before the file began counts as its start.
    uint64_t Since(uint64_t us) const { return us > base_us_ ? us - base_us_ : 0; }
    void FinishFile(std::unique_ptr<Recorder> recorder, const std::string& path,
                    std::pair<uint64_t, uint64_t> begun);

    SessionFolder& folder_;
    Settings settings_;
    SessionStart start_;

    // Guards the file being written: held for a copy into the recorder's buffer only.
    mutable std::mutex mu_;
    std::unique_ptr<Recorder> recorder_;
    std::string path_;
    uint64_t base_us_ = 0;       // monotonic time of the file's time 0
    uint64_t last_us_ = 0;       // the latest time recorded
    uint64_t lost_records_ = 0;  // not written while no file took them
    uint64_t lost_bytes_ = 0;
    uint64_t note_records_ = 0, note_bytes_ = 0;  // what the current file's note counts
    uint64_t note_index_ = 0;                     // the note is this record of the file (0: none)
    bool lost_now_ = false;                       // the device is gone (a later file says so first)
    uint64_t file_dev_ = 0, file_ino_ = 0;        // the file path_ named when it was begun
    std::string lost_why_;
    std::string documentation_[4];
    std::string alarm_settings_;  // the window's, at the start of every file
    std::string error_;           // the failure shown until a file works again
    uint64_t session_start_us_ = 0;
    uint64_t finished_bytes_ = 0;  // the connection's earlier files
    uint64_t file_start_us_ = 0;   // when the current file was begun
    std::string connection_;       // the connection's name in its files' headers
    uint32_t part_ = 0;            // the last file's part (Begin's and the keeper's)

    std::atomic<bool> active_{false};
    std::atomic<bool> not_opened_{false};  // the last open of the port failed
    std::mutex keeper_mu_;
    std::condition_variable keeper_wake_;
    bool stopping_ = false;
    std::thread keeper_;
};
