// Replay of a wire capture: the device's side of a recorded link played onto the
// simulator's pseudo-terminal with its recorded timing, and the live program's
// answers compared with the recorded ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// What a capture holds for a replay.
struct ReplayPlan {
    struct Chunk {
        uint32_t time_ms;  // as recorded
        size_t end;        // one past its last byte in `bytes`
    };
    int protocol = 1;
    uint32_t start_ms = 0;         // when the recorded program began to listen
    std::vector<uint8_t> bytes;    // what the recorded program received, in order
    std::vector<Chunk> chunks;     // their chunks, as the device sent them
    std::vector<uint8_t> answers;  // what the recorded program sent from start_ms on
    size_t records = 0;            // whole records read
    bool truncated = false;        // the file ends inside a record
    size_t good_size = 0;          // bytes up to the last whole record
};

// Reads a capture; false with *error set when the bytes are not a readable capture.
bool LoadReplay(const uint8_t* data, size_t size, ReplayPlan* plan, std::string* error);

// "answers match (N bytes)", or where and how the live answers first differ.
std::string CompareAnswers(const std::vector<uint8_t>& recorded, const std::vector<uint8_t>& live);

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
// the comparison of the answers. Returns the exit status: 1 when the capture cannot
// be read or the pseudo-terminal not set up, else 0.
int RunReplay(const ReplayOptions& options);

}  // namespace sim
