// Reading captures as people in the field read them: a listing, a piece of a long
// capture to share, and a pcapng file for Wireshark. Each reads the capture in pieces.
#pragma once

#include <cstdio>
#include <string>

namespace capture {

// One line per record: time in seconds, direction (">" device to program, "<"
// program to device), length, hex and printable text; events in words; damage and
// cuts where they are. Returns 0, 1 when the file cannot be read, 3 when damage or a
// cut was skipped.
int Dump(const std::string& path, std::FILE* out, std::FILE* err);

// The records from `from_s` to `to_s` seconds (times and start moved to the piece's
// start), with the program's port state at its start, as a whole valid capture.
// Returns 0, 1 on an error, 2 for a bad range, 3 when damage was skipped.
int Cut(const std::string& path, double from_s, double to_s, const std::string& out_path,
        bool force, std::FILE* err);

// One packet per record (events with no bytes, their words as the comment), the
// direction in the packet flags, wall-clock times in microseconds.
int ToPcapng(const std::string& path, const std::string& out_path, bool force, std::FILE* err);

}  // namespace capture
