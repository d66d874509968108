#include "sessions/session_recording.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/debug_output.h"
#include "platform/system_info.h"
#include "platform/tick.h"
#include "sessions/session_events.h"

using recordings::CaptureKind;

namespace {

constexpr char kWriter[] = "VELT Monitoring";

// A port name as part of a file name: "/", NUL and control characters would not do.
std::string FileNamePart(const std::string& port) {
    std::string out;
    for (char c : port) {
        const unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || c == '/' || c == '\\' || c == ':') ? '_' : c;
    }
    return out.empty() ? std::string("port") : out;
}

uint64_t WallMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

std::string LocalStamp(uint64_t unix_us) {
    const std::time_t t = static_cast<std::time_t>(unix_us / 1000000u);
    std::tm local{};
    char text[32] = "0000-00-00_00-00-00";
    if (localtime_r(&t, &local) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &local);
    return text;
}

void PutU64(uint8_t* out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The device and inode a name leads to; {0, 0} when it leads nowhere.
std::pair<uint64_t, uint64_t> Identity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {0, 0};
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// What the files of one connection share in their headers and no other connection
// has: 64 random bits, in hex.
std::string NewConnectionName() {
    std::random_device random;
    const uint64_t bits = static_cast<uint64_t>(random()) << 32 | random();
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

}  // namespace

bool IsSessionFileName(const std::string& name) {
    static const char kStamp[] = "dddd-dd-dd_dd-dd-dd_";
    const size_t stamp = sizeof kStamp - 1, ext = std::strlen(kSessionExtension);
    if (name.size() <= stamp + ext || name.compare(name.size() - ext, ext, kSessionExtension) != 0)
        return false;
    for (size_t i = 0; i < stamp; ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (kStamp[i] == 'd' ? !digit : name[i] != kStamp[i]) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------

SessionFolder& SessionFolder::Process() {
    static SessionFolder folder;
    // Links are below the sessions and cannot make a recording themselves.
    static const bool links_record = [] {
        SetConnectionRecorderFactory([]() -> std::unique_ptr<ConnectionRecorder> {
            return std::make_unique<SessionRecording>(Process());
        });
        return true;
    }();
    (void)links_record;
    return folder;
}

void SessionFolder::Configure(const std::string& dir, uint64_t max_bytes, bool enabled) {
    std::lock_guard<std::mutex> lock(mu_);
    dir_ = dir;
    max_bytes_ = max_bytes;
    enabled_.store(enabled, std::memory_order_relaxed);
}

std::string SessionFolder::Dir() const {
    std::lock_guard<std::mutex> lock(mu_);
    return dir_;
}

uint64_t SessionFolder::MaxBytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return max_bytes_;
}

int SessionFolder::Prune() {
    std::lock_guard<std::mutex> pruning(prune_mu_);
    const std::string dir = Dir();
    const uint64_t max = MaxBytes();
    if (dir.empty()) return 0;
    struct Entry {
        std::string name;
        uint64_t size;
    };
    std::vector<Entry> files;
    uint64_t total = 0;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        // A user's own file, whatever its extension, is neither counted nor removed.
        if (!IsSessionFileName(name)) continue;
        struct stat st {};
        if (stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        files.push_back({name, static_cast<uint64_t>(st.st_size)});
        total += static_cast<uint64_t>(st.st_size);
    }
    closedir(d);
    // Names begin with the local start time, so their order is the order of age.
    std::sort(files.begin(), files.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    int removed = 0;
    for (const Entry& f : files) {
        if (total <= max) break;
        const std::string path = dir + "/" + f.name;
        // Its recorder, in this process or another, holds the lock while it writes; ours,
        // held through the removal, keeps one from starting meanwhile.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        const int removed_ok = ::unlink(path.c_str());
        const int e = errno;
        ::close(fd);
        if (removed_ok != 0) {
            platform::DebugPrintf("*** Sessions: cannot remove %s: %s\n", path.c_str(),
                                  std::strerror(e));
            continue;
        }
        total -= f.size;
        ++removed;
        platform::DebugPrintf("Sessions: removed %s (%llu bytes), the folder was over %llu MB\n",
                              path.c_str(), static_cast<unsigned long long>(f.size),
                              static_cast<unsigned long long>(max >> 20));
    }
    return removed;
}

// ---------------------------------------------------------------------------------

SessionRecording::SessionRecording(SessionFolder& folder, const Settings& settings)
    : folder_(folder), settings_(settings) {}

SessionRecording::~SessionRecording() { End(); }

std::unique_ptr<recordings::CaptureRecorder> SessionRecording::OpenFile(bool first,
                                                                        std::string* path,
                                                                        uint64_t* base_us,
                                                                        std::string* error) {
    const std::string dir = folder_.Dir();
    if (int e = platform::CreateDirectories(dir, 0755); e != 0) {
        *error = "cannot create " + dir + ": " + std::strerror(e);
        return nullptr;
    }
    const uint64_t unix_us = WallMicroseconds();
    *base_us = platform::MonotonicMicroseconds();
    recordings::CaptureHeader header;
    header.protocol = start_.protocol;
    header.start_unix_us = static_cast<int64_t>(unix_us);
    header.device = start_.device.substr(0, recordings::kCaptureMaxText);
    header.line = start_.line;
    header.host = platform::ComputerName().substr(0, recordings::kCaptureMaxText);
    header.writer = kWriter;
    header.connection = connection_;
    header.part = part_ + 1;
    const std::string stem = dir + "/" + LocalStamp(unix_us) + "_" + FileNamePart(start_.port);
    auto recorder = std::make_unique<Recorder>();
    Recorder::Settings settings = settings_.recorder;
    settings.named_with_header = true;
    // Two connections may begin within a second: the later one takes the next free name
    // ("_2" sorts after the plain name, so names stay in the order of age).
    for (int n = 1; n < 100; ++n) {
        *path = stem + (n == 1 ? std::string() : "_" + std::to_string(n)) + kSessionExtension;
        recorder = std::make_unique<Recorder>();
        if (recorder->Start(*path, header, settings)) break;
        *error = recorder->Error();
        if (errno != EEXIST) return nullptr;
    }
    if (!recorder->started()) return nullptr;
    error->clear();
    ++part_;

    uint8_t clock[8];
    PutU64(clock, *base_us);
    recorder->Add(CaptureKind::Clock, 0, clock, sizeof clock);
    const uint8_t protocol = static_cast<uint8_t>(start_.protocol);
    recorder->Add(CaptureKind::Protocol, 0, &protocol, 1);
    if (first) recorder->Add(CaptureKind::PortOpened, 0);
    return recorder;
}

bool SessionRecording::Begin(const SessionStart& start) {
    End();
    not_opened_.store(false, std::memory_order_release);
    if (!folder_.Enabled()) return false;
    start_ = start;
    connection_ = NewConnectionName();
    part_ = 0;
    std::string path, error;
    uint64_t base = 0;
    std::unique_ptr<Recorder> recorder = OpenFile(true, &path, &base, &error);
    const auto begun = recorder ? Identity(path) : std::pair<uint64_t, uint64_t>{0, 0};
    {
        std::lock_guard<std::mutex> lock(mu_);
        recorder_ = std::move(recorder);
        path_ = recorder_ ? path : std::string();
        std::tie(file_dev_, file_ino_) = begun;
        base_us_ = last_us_ = session_start_us_ = file_start_us_ = base;
        lost_records_ = lost_bytes_ = finished_bytes_ = 0;
        lost_now_ = false;
        for (std::string& d : documentation_) d.clear();
        error_ = recorder_ ? std::string() : error;
        AddAlarmSettings(recorder_.get());
    }
    // Whatever failed (the folder, the file, its header): one line says so.
    if (!error.empty()) platform::DebugPrintf("*** Sessions: %s\n", error.c_str());
    {
        std::lock_guard<std::mutex> lock(keeper_mu_);
        stopping_ = false;
    }
    active_.store(true, std::memory_order_release);
    keeper_ = std::thread([this] { Keep(); });
    return error.empty();
}

void SessionRecording::End() {
    if (!active_.load(std::memory_order_acquire)) return;
    {
        std::lock_guard<std::mutex> lock(keeper_mu_);
        stopping_ = true;
    }
    keeper_wake_.notify_all();
    if (keeper_.joinable()) keeper_.join();
    std::unique_ptr<Recorder> recorder;
    std::string path;
    std::pair<uint64_t, uint64_t> begun;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (recorder_) {
            const uint64_t now = std::max(platform::MonotonicMicroseconds(), last_us_);
            recorder_->Add(CaptureKind::PortClosed, Since(now));
        }
        recorder = std::move(recorder_);
        path = std::move(path_);
        path_.clear();
        begun = {file_dev_, file_ino_};
    }
    FinishFile(std::move(recorder), path, begun);
    active_.store(false, std::memory_order_release);
}

void SessionRecording::FinishFile(std::unique_ptr<Recorder> recorder, const std::string& path,
                                  std::pair<uint64_t, uint64_t> begun) {
    if (!recorder) return;
    if (!recorder->Finish(settings_.finish_wait_ms))
        platform::DebugPrintf("*** Sessions: %s\n", recorder->Error().c_str());
    // A file that failed before any record reached it holds its header alone (a retry
    // on a disk with room for no more): it is not left behind.
    if (recorder->failed() && recorder->records_written() == 0 && Identity(path) == begun &&
        ::unlink(path.c_str()) == 0) {
        platform::DebugPrintf("*** Sessions: removed %s: no record could be written to it\n",
                              path.c_str());
        return;
    }
    std::lock_guard<std::mutex> lock(mu_);
    finished_bytes_ += recorder->written_bytes();
}

void SessionRecording::Add(CaptureKind kind, uint64_t now_us, const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(mu_);
    if (now_us > last_us_) last_us_ = now_us;
    if (recorder_ && !recorder_->failed()) {
        // A reading taken just before the next file began belongs at its very start.
        recorder_->Add(kind, Since(now_us), data, size);
        return;
    }
    ++lost_records_;
    lost_bytes_ += size + recordings::kCaptureRecordOverhead;
}

void SessionRecording::Received(uint64_t now_us, const uint8_t* data, size_t size,
                                const uint8_t* note, size_t note_size) {
    if (!active_.load(std::memory_order_relaxed)) return;
    if (note_size == 0) return Add(CaptureKind::DeviceBytes, now_us, data, size);
    // Under one hold of the lock, so that no new file comes between the two.
    std::lock_guard<std::mutex> lock(mu_);
    if (now_us > last_us_) last_us_ = now_us;
    if (recorder_ && !recorder_->failed()) {
        recorder_->Add(CaptureKind::Handoffs, Since(now_us), note, note_size);
        recorder_->Add(CaptureKind::DeviceBytes, Since(now_us), data, size);
        return;
    }
    lost_records_ += 2;
    lost_bytes_ += note_size + size + 2 * recordings::kCaptureRecordOverhead;
}

void SessionRecording::Sent(const uint8_t* data, size_t size) {
    if (!active_.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(mu_);
    if (recorder_ && !recorder_->failed()) {
        recorder_->Add(CaptureKind::ProgramBytes, Since(last_us_), data, size);
        return;
    }
    ++lost_records_;
    lost_bytes_ += size + recordings::kCaptureRecordOverhead;
}

void SessionRecording::Lost(const std::string& why) {
    if (!active_.load(std::memory_order_relaxed)) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        lost_now_ = true;
        lost_why_ = why;
    }
    Add(CaptureKind::DeviceLost, platform::MonotonicMicroseconds(),
        reinterpret_cast<const uint8_t*>(why.data()), why.size());
}

void SessionRecording::Back(const std::string& how) {
    if (!active_.load(std::memory_order_relaxed)) return;
    {
        std::lock_guard<std::mutex> lock(mu_);
        lost_now_ = false;
    }
    Add(CaptureKind::DeviceBack, platform::MonotonicMicroseconds(),
        reinterpret_cast<const uint8_t*>(how.data()), how.size());
}

void SessionRecording::NoData() {
    if (active_.load(std::memory_order_relaxed))
        Add(CaptureKind::NoData, platform::MonotonicMicroseconds(), nullptr, 0);
}

void SessionRecording::Documentation(int field, const std::string& text) {
    if (field < 0 || field > 3 || !active_.load(std::memory_order_acquire)) return;
    std::string bytes(1, static_cast<char>(field));
    bytes += text.substr(0, recordings::kCaptureMaxText);
    std::lock_guard<std::mutex> lock(mu_);
    documentation_[field] = text;
    // At the time already recorded: the receive thread's next chunk is never earlier.
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
    if (recorder_ && !recorder_->failed())
        recorder_->Add(CaptureKind::Documentation, Since(last_us_), p, bytes.size());
}

void SessionRecording::AddAlarmSettings(Recorder* recorder) {
    if (recorder != nullptr && !alarm_settings_.empty())
        recorder->Add(CaptureKind::Alarm, 0,
                      reinterpret_cast<const uint8_t*>(alarm_settings_.data()),
                      alarm_settings_.size());
}

void SessionRecording::Noted(Note what, uint64_t now_us, const std::string& text) {
    std::string bytes = text.substr(0, recordings::kCaptureMaxText);
    const CaptureKind kind = what == Note::kMark ? CaptureKind::Mark : CaptureKind::Alarm;
    std::lock_guard<std::mutex> lock(mu_);
    if (what == Note::kAlarmSettings) alarm_settings_ = bytes;
    if (!active_.load(std::memory_order_acquire)) return;
    // Never before the time already recorded (the reader takes times that go back as
    // damage): a mark says how much earlier it was made.
    if (what == Note::kMark)
        bytes = session_events::MarkText(now_us < last_us_ ? (last_us_ - now_us) / 1000 : 0, bytes);
    if (now_us > last_us_) last_us_ = now_us;
    if (recorder_ && !recorder_->failed())
        recorder_->Add(kind, Since(last_us_), reinterpret_cast<const uint8_t*>(bytes.data()),
                       bytes.size());
}

std::string SessionRecording::Path() const {
    std::lock_guard<std::mutex> lock(mu_);
    return path_;
}

std::string SessionRecording::StatusText() const {
    if (!active_.load(std::memory_order_acquire))
        // A window whose port another program holds would record if it could.
        return not_opened_.load(std::memory_order_acquire) && folder_.Enabled()
                   ? "REC: port not open"
                   : "REC off";
    std::lock_guard<std::mutex> lock(mu_);
    if (!error_.empty()) return "REC: " + error_;
    if (!recorder_) return "REC off";
    const uint64_t seconds = (platform::MonotonicMicroseconds() - session_start_us_) / 1000000u;
    const double mb = static_cast<double>(finished_bytes_ + recorder_->written_bytes()) / 1e6;
    char text[64];
    std::snprintf(text, sizeof text, "REC %02llu:%02llu:%02llu \u00b7 %.1f MB",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60), mb);
    return text;
}

void SessionRecording::Keep() {
    using Clock = std::chrono::steady_clock;
    auto last_prune = Clock::now() - std::chrono::milliseconds(settings_.prune_every_ms);
    auto last_try = Clock::now();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(keeper_mu_);
            keeper_wake_.wait_for(lock, std::chrono::milliseconds(settings_.keep_every_ms),
                                  [this] { return stopping_; });
            if (stopping_) return;
        }
        const uint64_t now = platform::MonotonicMicroseconds();
        bool failed = false, due = false;
        {
            std::lock_guard<std::mutex> lock(mu_);
            failed = !recorder_ || recorder_->failed();
            if (recorder_ && recorder_->failed() && error_.empty()) {
                error_ = recorder_->Error();
                platform::DebugPrintf("*** Sessions: %s\n", error_.c_str());
            }
            if (!failed && !error_.empty() && recorder_->records_written() > 0) {
                platform::DebugPrintf("Sessions: recording again, into %s\n", path_.c_str());
                error_.clear();
            }
            due = now - file_start_us_ >= static_cast<uint64_t>(settings_.file_seconds) * 1000000u;
        }
        if (!failed && FileVanished()) {
            // Whatever went into the removed file is gone with it; from here on the
            // recording has a file that can be read again.
            const std::string gone = Path();
            Rotate(false);
            platform::DebugPrintf(
                "*** Sessions: %s was removed while it was being written; the recording goes "
                "on in %s\n",
                gone.c_str(), Path().c_str());
        } else if (failed) {
            if (Clock::now() - last_try >= std::chrono::milliseconds(settings_.retry_ms)) {
                last_try = Clock::now();
                Rotate(true);
            }
        } else if (due) {
            Rotate(false);
        }
        if (Clock::now() - last_prune >= std::chrono::milliseconds(settings_.prune_every_ms)) {
            last_prune = Clock::now();
            folder_.Prune();
        }
    }
}

bool SessionRecording::FileVanished() const {
    std::string path;
    std::pair<uint64_t, uint64_t> begun;
    {
        std::lock_guard<std::mutex> lock(mu_);
        path = path_;
        begun = {file_dev_, file_ino_};
    }
    // Looked at outside the lock: the receive thread never waits on the file system.
    return !path.empty() && Identity(path) != begun;
}

void SessionRecording::Rotate(bool after_failure) {
    std::string path, error;
    uint64_t base = 0;
    std::unique_ptr<Recorder> next = OpenFile(false, &path, &base, &error);
    if (!next) {
        std::lock_guard<std::mutex> lock(mu_);
        if (error_.empty()) {
            error_ = error;
            platform::DebugPrintf("*** Sessions: %s\n", error.c_str());
        }
        return;
    }
    const auto begun = Identity(path);
    std::unique_ptr<Recorder> old;
    std::string old_path;
    std::pair<uint64_t, uint64_t> old_begun;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (int field = 0; field < 4; ++field) {
            std::string bytes(1, static_cast<char>(field));
            bytes += documentation_[field].substr(0, recordings::kCaptureMaxText);
            next->Add(CaptureKind::Documentation, 0, reinterpret_cast<const uint8_t*>(bytes.data()),
                      bytes.size());
        }
        AddAlarmSettings(next.get());
        if (lost_now_)
            next->Add(CaptureKind::DeviceLost, 0,
                      reinterpret_cast<const uint8_t*>(lost_why_.data()), lost_why_.size());
        // The whole outage: what came while no file took it, what the failed file had
        // taken but not written, and the count its own note carried if that note never
        // reached the disk either (the retries before this one).
        uint64_t records = lost_records_, bytes = lost_bytes_;
        if (after_failure && recorder_) {
            records += recorder_->dropped_records();
            bytes += recorder_->dropped_bytes();
            uint64_t unwritten_records = 0, unwritten_bytes = 0;
            recorder_->Unwritten(&unwritten_records, &unwritten_bytes);
            records += unwritten_records;
            bytes += unwritten_bytes;
            if (note_index_ > 0 && recorder_->records_put() - unwritten_records < note_index_) {
                records += note_records_;
                bytes += note_bytes_;
            }
        }
        note_records_ = records;
        note_bytes_ = bytes;
        note_index_ = 0;
        if (records > 0) {
            // The cause after the counts (a reader of the counts alone reads on).
            std::string note(16, '\0');
            PutU64(reinterpret_cast<uint8_t*>(note.data()), records);
            PutU64(reinterpret_cast<uint8_t*>(note.data()) + 8, bytes);
            note += error_.substr(0, recordings::kCaptureMaxText);
            next->Add(CaptureKind::RecordsDropped, 0, reinterpret_cast<const uint8_t*>(note.data()),
                      note.size());
            note_index_ = next->records_put();
        }
        lost_records_ = lost_bytes_ = 0;
        old = std::move(recorder_);
        old_path = std::move(path_);
        old_begun = {file_dev_, file_ino_};
        recorder_ = std::move(next);
        path_ = path;
        std::tie(file_dev_, file_ino_) = begun;
        base_us_ = base;
        file_start_us_ = base;
        // After a failure the reason stays shown until the new file has written.
        if (!after_failure) error_.clear();
    }
    FinishFile(std::move(old), old_path, old_begun);
    folder_.Prune();
}
