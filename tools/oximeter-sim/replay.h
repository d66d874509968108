// Replay of a wire capture: the device's side of a recorded link played onto the
// simulator's pseudo-terminal with its recorded timing, and the live program's
// answers compared with the recorded ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "recordings/capture_file.h"

namespace sim {

// Compares the live program's answers with the recorded ones as they come, reading
// the recorded ones from the capture in step, so neither is held whole.
class AnswerCheck {
public:
    // reader: a capture opened and at its first record. from_first_open: the
    // recorded answers count from the first PortOpened record on.
    AnswerCheck(recordings::CaptureFileReader& reader, bool from_first_open)
        : reader_(reader), wait_for_open_(from_first_open) {}
    void Live(const uint8_t* data, size_t size);
    // "answers match (N bytes)", or where and how the live answers first differ.
    // Without to_the_end (a replay stopped early) the recorded answers are not read
    // on to their end, and the count is of those compared.
    std::string Result(bool to_the_end = true);

private:
    bool NextRecorded(uint8_t* byte);

    recordings::CaptureFileReader& reader_;
    bool wait_for_open_;
    recordings::CaptureRecord current_;
    size_t used_ = 0;  // of current_
    bool recorded_done_ = false;
    uint64_t recorded_ = 0, live_ = 0;  // bytes taken from each side
    bool differ_ = false;
    uint64_t at_ = 0;
    std::vector<uint8_t> recorded_tail_, live_tail_;  // from the first difference, up to 9
};

// Points the device-map entry `link` at `target`, atomically (a symlink beside it,
// renamed over it). False with *error set.
bool MapLink(const std::string& link, const std::string& target, std::string* error);

// The device's end of a new pseudo-terminal, raw (which sets the program's end too,
// before any open) and non-blocking; -1 with *error set.
int OpenDevicePty(std::string* slave_path, std::string* error);

struct ReplayOptions {
    std::string capture_path;
    std::string map_path;
    double speed = 1;  // recorded timing divided by this; 0: as fast as the line allows
};

// Plays the capture when the program first opens the pseudo-terminal and reports
// the comparison of the answers. The capture is read in pieces, so its size does not
// matter. Returns the exit status: 1 when the capture cannot be read or the
// pseudo-terminal not set up, 3 when damage or a cut tail was skipped, else 0.
int RunReplay(const ReplayOptions& options);

}  // namespace sim
