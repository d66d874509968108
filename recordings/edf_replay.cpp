#include "recordings/edf_replay.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <utility>

#include "platform/tick.h"

namespace recordings {

CEdfReplay::CEdfReplay(std::string file_name, CPulseAnalysis& analysis, IPacingTimer* timer,
                       TickSource tick)
    : file_name_(std::move(file_name)),
      analysis_(analysis),
      timer_(timer),
      tick_(tick ? std::move(tick) : TickSource(platform::GetTickCount)) {}

CEdfReplay::~CEdfReplay() {
    if (timer_ != nullptr && !ended_) timer_->Stop();
    reader_.reset();
    source_.reset();
    if (stream_ != nullptr) std::fclose(stream_);
}

int16_t CEdfReplay::Open() {
    if (stream_ != nullptr) return kReplayAlreadyOpen;
    if (file_name_.empty()) return kReplayNoFileName;
    std::FILE* f = std::fopen(file_name_.c_str(), "rb");
    if (f == nullptr) {
        open_errno_ = errno;
        return kReplayCannotOpen;
    }
    // A directory opens for reading here but yields no records; refuse it instead
    // of replaying it as an empty recording.
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        open_errno_ = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        std::fclose(f);
        return kReplayCannotOpen;
    }
    stream_ = f;
    file_size_ = static_cast<uint64_t>(st.st_size);
    source_ = std::make_unique<StdioByteSource>(stream_);
    reader_ = std::make_unique<CEdfReader>(*source_);
    start_time_ = tick_();
    return 0;
}

int16_t CEdfReplay::Finish(int16_t status, bool summary) {
    ended_ = true;
    final_status_ = status;
    if (summary) analysis_.AutoCorrSummary();
    if (timer_ != nullptr) timer_->Stop();
    reader_.reset();
    source_.reset();
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    return status;
}

int16_t CEdfReplay::Step() {
    if (ended_) return final_status_;
    if (stream_ == nullptr) {
        const int16_t status = Open();
        if (status < 0) {
            end_reason_ = EdfReadStatus::kEnd;
            return Finish(status, false);
        }
    }
    EdfRecord record;
    for (;;) {
        const EdfReadStatus r = reader_->Next(record);
        if (r != EdfReadStatus::kRecord) {
            end_reason_ = r;
            end_offset_ = record.offset;
            end_type_ = record.header.type;
            // The file's end, clean or inside a record, closes the replay with its
            // summary; a malformed record stops it where it stands.
            const bool at_end = r == EdfReadStatus::kEnd || r == EdfReadStatus::kCutShort ||
                                r == EdfReadStatus::kReadError;
            return Finish(EdfStatusCode(r), at_end);
        }
        consumed_ = reader_->Offset();
        if (record.header.type != kEdfSampleRecord) continue;
        analysis_.AutoCorrEntry(record.sample);
        position_ms_ = 5ull * record.header.time;
        if (first_sample_end_ == 0) {
            first_sample_end_ = consumed_;
            first_position_ms_ = position_ms_;
        }
        due_tick_ = start_time_ + 5u * record.header.time;
        // Signed difference, so the comparison survives the tick's wrap-around.
        if (static_cast<int32_t>(due_tick_ - tick_()) > 0) {
            if (timer_ != nullptr) timer_->Arm();
            return kReplayWaiting;
        }
    }
}

int16_t CEdfReplay::Stop() {
    if (ended_) return final_status_;
    end_reason_ = EdfReadStatus::kEnd;
    return Finish(kReplayEnded, stream_ != nullptr);
}

namespace {

// "1:02:00" or "12:03".
int FormatClock(char* out, size_t size, uint64_t ms) {
    const uint64_t s = ms / 1000;
    if (s >= 3600)
        return std::snprintf(out, size, "%" PRIu64 ":%02u:%02u", s / 3600,
                             static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60));
    return std::snprintf(out, size, "%u:%02u", static_cast<unsigned>(s / 60),
                         static_cast<unsigned>(s % 60));
}

}  // namespace

int FormatReplayProgress(char* out, size_t size, uint64_t position_ms, uint64_t length_ms) {
    char position[32], length[32];
    FormatClock(position, sizeof position, position_ms);
    FormatClock(length, sizeof length, length_ms);
    return std::snprintf(out, size, "Replay %s of %s", position, length);
}

uint64_t CEdfReplay::EstimatedLengthMs() const {
    if (consumed_ <= first_sample_end_ || file_size_ <= consumed_ ||
        position_ms_ < first_position_ms_)
        return position_ms_;
    // Long double: a day's position times a file's size overflows 64 bits.
    const long double per_byte = static_cast<long double>(position_ms_ - first_position_ms_) /
                                 static_cast<long double>(consumed_ - first_sample_end_);
    return position_ms_ + static_cast<uint64_t>(per_byte * (file_size_ - consumed_));
}

}  // namespace recordings
