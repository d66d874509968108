// Replays a recording file through the pulse-period analysis, paced against the
// millisecond tick taken when the file was opened: a sample whose time stamp lies
// ahead of the clock is analysed, then the replay waits for the pacing timer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "recordings/edf_reader.h"
#include "recordings/pulse_analysis.h"

namespace recordings {

// Statuses of Open and Step.
constexpr int16_t kReplayEnded = 0;
constexpr int16_t kReplayWaiting = 100;
constexpr int16_t kReplayAlreadyOpen = -1;
constexpr int16_t kReplayNoFileName = -2;
constexpr int16_t kReplayCannotOpen = -3;
constexpr int16_t kReplayBadRecord = -5;
constexpr int16_t kReplayNoMemory = -6;

// The 5 ms pacing timer the replay arms while it waits; whoever drives the replay
// calls Step() when it fires. Arming a running timer restarts it.
class IPacingTimer {
public:
    virtual ~IPacingTimer() = default;
    virtual void Arm() = 0;
    virtual void Stop() = 0;
};

using TickSource = std::function<uint32_t()>;

class CEdfReplay {
public:
    // Copies the name and opens nothing. Without a tick source the platform's
    // millisecond tick is used; the timer may be null for a caller that polls.
    CEdfReplay(std::string file_name, CPulseAnalysis& analysis, IPacingTimer* timer = nullptr,
               TickSource tick = {});
    virtual ~CEdfReplay();
    CEdfReplay(const CEdfReplay&) = delete;
    CEdfReplay& operator=(const CEdfReplay&) = delete;

    // Opens the file for binary reading and takes the start time: 0, -1, -2 or -3.
    int16_t Open();
    // Processes records until one lies ahead of the clock (100) or the replay ends
    // (0, or a negative status). An ended replay does nothing more and keeps
    // returning its final status.
    int16_t Step();
    // Ends a running replay now, with the end-of-replay summary as when the file
    // ends; returns 0, or the final status of a replay that had already ended.
    int16_t Stop();

    bool Ended() const { return ended_; }
    // Where the replay stands: the time stamp of the sample analysed last, in ms
    // from the start of the recording, and the length of the whole recording as
    // far as the file's size tells it (the bytes still to come at the pace of the
    // bytes read since the first sample); 0 before anything was read.
    uint64_t PositionMs() const { return position_ms_; }
    uint64_t EstimatedLengthMs() const;
    const std::string& FileName() const { return file_name_; }
    uint32_t StartTime() const { return start_time_; }
    // The tick at which the record analysed last falls due (meaningful while waiting).
    uint32_t DueTick() const { return due_tick_; }
    // What ended the replay, for callers that report it: the reader's outcome and
    // the offset and type of the offending record.
    EdfReadStatus EndReason() const { return end_reason_; }
    uint64_t EndOffset() const { return end_offset_; }
    uint16_t EndRecordType() const { return end_type_; }
    int OpenErrno() const { return open_errno_; }

private:
    int16_t Finish(int16_t status, bool summary);

    std::FILE* stream_ = nullptr;
    std::string file_name_;
    uint32_t start_time_ = 0;

    CPulseAnalysis& analysis_;
    IPacingTimer* timer_;
    TickSource tick_;
    std::unique_ptr<StdioByteSource> source_;
    std::unique_ptr<CEdfReader> reader_;
    bool ended_ = false;
    int16_t final_status_ = 0;
    uint32_t due_tick_ = 0;
    uint64_t position_ms_ = 0;
    uint64_t file_size_ = 0;
    uint64_t consumed_ = 0;
    uint64_t first_sample_end_ = 0;  // bytes consumed when the first sample was read
    uint64_t first_position_ms_ = 0;
    EdfReadStatus end_reason_ = EdfReadStatus::kEnd;
    uint64_t end_offset_ = 0;
    uint16_t end_type_ = 0;
    int open_errno_ = 0;
};

// "Replay 12:03 of 1:02:00": minutes and seconds, with hours in front from one hour
// on. Returns the length snprintf gives.
int FormatReplayProgress(char* out, size_t size, uint64_t position_ms, uint64_t length_ms);

}  // namespace recordings
