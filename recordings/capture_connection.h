// A connection recorded across several capture files (the program's hourly session
// files, whose headers name the connection and each file's part) read as one capture:
// one time line from the first file's start to the last file's end, the records of
// each file in turn, seeking anywhere. A file's time 0 falls where the recording
// program's clock (the kind-13 record) says; without clocks, where its wall-clock start
// says. Its records never take a time before the end of the file before it. A single
// file is a connection of one part.
// Pure reading over files; the memory held does not grow with them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recordings/capture_file.h"

namespace recordings {

// The files of the connection that path is part of, in the order of their parts:
// the files of its folder with its extension whose headers name the same connection.
// A part found in two files (a copy) is taken once, path's own where it is one of
// them. Just path when its header names none. False with *error when path is no
// readable capture.
bool FindConnectionFiles(const std::string& path, std::vector<std::string>* files,
                         std::string* error);

struct CapturePart {
    std::string path;  // empty for a source without a name
    CaptureHeader header;
    uint64_t start_us = 0;  // its time 0 on the connection's time line
    // The earliest time its records take: its start, or the end of the file before it
    // when that is later (a file is begun just before the one before it takes its
    // last records).
    uint64_t begin_us = 0;
    uint64_t duration_us = 0;  // its last record's own time
    uint64_t bytes = 0;        // its size (0 when unknown)
    bool closed = false;       // its last port record is the close
};

class CaptureConnectionReader {
public:
    // The files as the parts of one connection, in this order. False with Error() when
    // one cannot be read, names another connection than the first, or comes before
    // the part it follows.
    bool Open(const std::vector<std::string>& paths);
    // One capture from a byte source.
    bool Open(std::unique_ptr<CaptureByteSource> source);

    const CaptureHeader& header() const { return parts_.front().header; }
    const std::string& Error() const { return error_; }
    size_t PartCount() const { return parts_.size(); }
    const CapturePart& Part(size_t i) const { return parts_[i]; }
    // The part the records read last came from.
    size_t CurrentPart() const { return current_; }
    // What is missing of the connection, in words, one line per hole: parts between
    // the files or before the first ("part 3 is missing (between a and b)"). Empty when
    // none is.
    std::vector<std::string> Missing() const;
    // Whether the last file ends with the port's close: a connection's last part does
    // (the ones before it do not; neither does one still being recorded).
    bool Closed() const { return !parts_.empty() && parts_.back().closed; }
    // The last record's time on the connection's time line.
    uint64_t Duration() const;
    uint64_t TotalBytes() const;
    // The bytes of the files read so far (for progress).
    uint64_t BytesDone() const;

    // As CaptureFileReader's, with times on the connection's time line and offsets
    // that name the part (Seek takes them back). Damage and cut events keep their
    // file's own byte numbers.
    bool Next(CaptureEvent* event);
    bool NextRecord(CaptureRecord* record);
    bool Seek(uint64_t offset);
    uint64_t records_start() const;
    uint64_t offset() const;
    // Whether the recorded program had its port open at the start (ReceivedChunks):
    // from the first file. The reader starts over.
    bool OpenAtStart();

    // What NextRecord passed over, over all the files.
    uint64_t damaged_bytes() const;
    unsigned damages() const;
    bool cut() const;
    uint64_t cut_at() const;
    const CaptureEvent& first_damage() const;
    // The file of the first damage and of the cut ("" for a single file: it needs no
    // name).
    std::string DamagePath() const;
    std::string CutPath() const;

private:
    static constexpr int kPartShift = 40;  // a part's file offsets are below 1 TB
    bool AddPart(std::unique_ptr<CaptureFileReader> reader, const std::string& path);
    void Place(size_t i);
    // Where part i ends on the time line; a time of the current part's on it.
    uint64_t End(size_t i) const;
    uint64_t Time(uint64_t part_time_us) const;
    // On to the next file at the end of one; false at the last one's end or on an error.
    bool NextPart();

    std::vector<CapturePart> parts_;
    std::vector<std::unique_ptr<CaptureFileReader>> readers_;
    std::vector<uint64_t> clocks_;  // each file's clock record (0: none)
    size_t current_ = 0;
    std::string error_;
};

}  // namespace recordings
