#include "link/packet_queue.h"

void PacketQueue::Append(PacketRecord* record) {
    record->next = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (head_ != nullptr)
        tail_->next = record;
    else
        head_ = record;
    tail_ = record;
    count_.fetch_add(1, std::memory_order_release);
}

PacketRecord* PacketQueue::CopyTail(bool* was_empty) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (was_empty != nullptr) *was_empty = tail_ == nullptr;
    if (tail_ == nullptr || tail_->IsEvent()) return nullptr;
    return PacketRecord::Create(tail_->type, tail_->sequence, tail_->length, tail_->payload);
}

PacketRecord* PacketQueue::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    PacketRecord* record = head_;
    if (record == nullptr) return nullptr;
    head_ = record->next;
    if (head_ == nullptr) tail_ = nullptr;
    count_.fetch_sub(1, std::memory_order_release);
    record->next = nullptr;
    return record;
}

void PacketQueue::Clear() {
    PacketRecord* list;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        list = head_;
        head_ = tail_ = nullptr;
        count_.store(0, std::memory_order_release);
    }
    while (list != nullptr) {
        PacketRecord* next = list->next;
        PacketRecord::Free(list);
        list = next;
    }
}
