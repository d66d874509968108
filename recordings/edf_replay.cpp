#include "recordings/edf_replay.h"

#include <sys/stat.h>

#include <cerrno>
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
        if (record.header.type != kEdfSampleRecord) continue;
        analysis_.AutoCorrEntry(record.sample);
        due_tick_ = start_time_ + 5u * record.header.time;
        // Signed difference, so the comparison survives the tick's wrap-around.
        if (static_cast<int32_t>(due_tick_ - tick_()) > 0) {
            if (timer_ != nullptr) timer_->Arm();
            return kReplayWaiting;
        }
    }
}

}  // namespace recordings
