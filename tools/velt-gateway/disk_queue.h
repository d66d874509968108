// The messages waiting for the engine's acknowledgement, one file each in a
// directory, so that neither the engine's restart nor the gateway's loses one. A file
// is written beside its name and renamed into place (a crash leaves a whole message or
// none); it is removed once the engine has taken it. Bounded by size: the oldest go
// first, counted. Qt-free.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace gateway {

class DiskQueue {
public:
    // Creates the directory when missing and takes up what an earlier run left.
    bool Open(const std::string& dir, uint64_t max_bytes, std::string* error);

    // The sequence number the next Push gets; it grows across restarts.
    uint64_t NextSeq() const { return next_seq_; }
    // False with a reason (disk full, …); the message is then not queued.
    bool Push(const std::string& message, std::string* error);
    // The oldest message; false when there is none or it cannot be read (it is then
    // dropped and counted, so one bad file cannot stop the queue).
    bool Front(std::string* message);
    void Pop();

    size_t Count() const { return entries_.size(); }
    uint64_t Bytes() const { return bytes_; }
    uint64_t Dropped() const { return dropped_; }  // the oldest, at the size bound
    uint64_t Unreadable() const { return unreadable_; }

private:
    struct Entry {
        uint64_t seq;
        uint64_t size;
    };
    std::string Path(uint64_t seq) const;
    void Remove();  // the front, without counting

    std::string dir_;
    uint64_t max_bytes_ = 0;
    std::deque<Entry> entries_;
    uint64_t bytes_ = 0;
    uint64_t next_seq_ = 1;
    uint64_t dropped_ = 0;
    uint64_t unreadable_ = 0;
};

}  // namespace gateway
