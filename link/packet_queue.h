// The bounded hand-off of decoded packets from a receive thread to the GUI thread.
#pragma once

#include <atomic>
#include <mutex>

#include "link/packet_record.h"

class PacketQueue {
public:
    // More than this many waiting records and new packets are dropped, so at most
    // kCapacity + 1 wait at once.
    static constexpr int kCapacity = 100;

    PacketQueue() = default;
    ~PacketQueue() { Clear(); }
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Without the lock; a stale value only lets one more record in or ends a drain early.
    int Count() const { return count_.load(std::memory_order_acquire); }
    bool Full() const { return Count() > kCapacity; }

    // Takes ownership of the record and links it at the tail.
    void Append(PacketRecord* record);
    // A fresh copy of the newest record, made under the lock because the consumer may
    // free it meanwhile; nullptr when the queue is empty, when its newest entry is an
    // event (nothing from before it may stand in for a frame after it) or when the
    // allocation fails.
    PacketRecord* CopyTail(bool* was_empty = nullptr);
    // The oldest record, now owned by the caller; nullptr when empty.
    PacketRecord* Take();
    // Frees every queued record.
    void Clear();

private:
    std::mutex mutex_;
    PacketRecord* head_ = nullptr;
    PacketRecord* tail_ = nullptr;
    std::atomic<int> count_{0};
};
