// Plays a recorded session (a capture file) through the same decoding and
// interpretation as a live link: the received bytes go to the frame decoder and the
// link's packet processing (protocols 1 and 2) or the reduced decoder (3), and the
// recorded opens, closes, losses and returns show as the live link shows them. The
// player has its own measurement state with logging off, so a review writes no log
// over the live ones, and its acknowledgements go nowhere. Qt-free; one thread.
//
// The player keeps the field texts it showed last, so that its whole state can be
// kept at a checkpoint and a review can go on from there (Save / Restore).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/frame_decoder.h"
#include "link/handoff_note.h"
#include "link/link_view.h"
#include "link/reduced_decoder.h"
#include "processing/interpretation.h"
#include "processing/measurement.h"
#include "recordings/capture_file.h"

class COximeter;
class LinkFrameHandler;

class SessionPlayer {
public:
    // Everything a review needs to go on from a moment: fixed-size apart from the
    // field texts.
    struct State {
        uint64_t offset = 0;   // file offset of the next record
        uint64_t time_us = 0;  // the moment reached
        processing::MeasurementState measurement;
        processing::LinkInterpretation interpretation;
        FrameDecoder decoder;
        HandoffNote::Record newest;  // what a recorded stand-in copies
        ReducedDecoder reduced;
        processing::ReducedInterpreter interpreter;
        int protocol = 1;
        int last_status = -1;
        bool open = true;       // the recorded program had its port open
        bool connected = true;  // and its device was there
        bool no_data = false;
        uint64_t last_good_us = 0;
        uint64_t frames = 0;
        std::array<std::string, ViewFieldCount> fields;
    };

    SessionPlayer();
    ~SessionPlayer();
    SessionPlayer(const SessionPlayer&) = delete;
    SessionPlayer& operator=(const SessionPlayer&) = delete;

    // False with Error() set when the file is no readable capture.
    bool Open(const std::string& path);
    bool Open(std::unique_ptr<recordings::CaptureByteSource> source);
    const std::string& Error() const { return error_; }
    const recordings::CaptureHeader& Header() const { return reader_.header(); }
    // The time of the last record (found once, from the file's tail), µs.
    uint64_t Duration() const { return duration_us_; }

    // Every alarm and mark record of the window, as it is played (a review's index
    // collects them).
    using NoteObserver = std::function<void(const recordings::CaptureRecord&)>;
    void SetNoteObserver(NoteObserver observer) { note_observer_ = std::move(observer); }

    // The heartbeat sound of the reduced protocol (off at first).
    void SetHeartbeat(bool on) { heartbeat_ = on; }

    // Where fields, plot operations and sounds go (may be null). The player's own
    // measurement supplies the event byte of the plot's strip.
    // Every field is written to a new output at once.
    void SetOutput(processing::IMeasurementView* out) {
        out_ = out;
        if (!muted_) ShowAllFields();
    }
    // Muted: field texts are only kept and no sound plays (plot operations still go
    // out); unmuting writes every field that differs from what the output has.
    void SetMuted(bool muted);
    bool Muted() const { return muted_; }
    // Writes every field to the output (a new output, a restored state).
    void ShowAllFields();

    // Processes every record up to and including time_us; false once the file has
    // nothing more (the position then stays at the last record).
    bool AdvanceTo(uint64_t time_us);
    uint64_t Position() const { return state_.time_us; }
    bool AtEnd() const { return at_end_; }

    // The state at the position, and back to one kept before (also of another
    // player over the same file). Restore shows nothing: the caller sets the plot
    // and calls ShowAllFields or unmutes.
    void Save(State& out) const;
    bool Restore(const State& in);
    // The state at the start of the file, before its first record.
    void Rewind();

    const std::string& FieldText(int field) const { return state_.fields[field]; }
    const processing::Measurement& Measurement() const { return measurement_; }
    int Protocol() const { return state_.protocol; }
    bool Connected() const { return state_.open && state_.connected; }
    bool PortOpen() const { return state_.open; }
    bool NoData() const { return state_.no_data; }
    // What reading skipped in the file so far.
    const recordings::CaptureFileReader& Reader() const { return reader_; }

private:
    class Sink;
    void Reset();
    void Handle(const recordings::CaptureRecord& r);
    void Feed(const uint8_t* data, size_t size);
    void CheckNoData(uint64_t now_us);
    void ShowNoData();
    void ShowReset(const char* status);
    // An open or a return: the decoder starts afresh and "Connected.." shows.
    void ShowConnected(uint64_t time_us);
    void ShowHeaderFacts();
    void SetField(int field, const char* text);
    void FindDuration();

    recordings::CaptureFileReader reader_;
    std::string path_;
    std::string error_;
    uint64_t duration_us_ = 0;
    bool at_end_ = false;
    bool muted_ = false;
    bool heartbeat_ = false;
    bool open_at_start_ = true;
    processing::IMeasurementView* out_ = nullptr;
    processing::Measurement measurement_;
    std::unique_ptr<Sink> sink_;
    NoteObserver note_observer_;
    std::unique_ptr<COximeter> link_;
    std::unique_ptr<LinkFrameHandler> handler_;
    State state_;
    // A record read but not yet due.
    bool have_pending_ = false;
    recordings::CaptureRecord pending_;
    std::string pending_bytes_;
    std::array<std::string, ViewFieldCount> shown_;  // what the output has
};
