#include "display/sync_call_queue.h"

SyncCallQueue::SyncCallQueue() : owner_(std::this_thread::get_id()) {}

SyncCallQueue::~SyncCallQueue() { Shutdown(); }

void SyncCallQueue::SetWake(Wake wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
}

bool SyncCallQueue::Call(void (*function)(void*), void* context) {
    if (IsOwnerThread()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (shut_down_) return false;
        }
        function(context);
        return true;
    }

    // The entry lives on this thread's stack; the owner touches it only under the
    // lock and never after marking it finished.
    Entry entry{function, context};
    std::unique_lock<std::mutex> lock(mutex_);
    if (shut_down_) return false;
    if (tail_ != nullptr)
        tail_->next = &entry;
    else
        head_ = &entry;
    tail_ = &entry;
    ++pending_;
    ++waiters_;
    if (!wake_posted_ && wake_) {
        wake_posted_ = true;
        wake_();
    }
    done_.wait(lock, [&] { return entry.finished; });
    const bool ran = entry.ran;
    if (--waiters_ == 0) drained_.notify_all();
    return ran;
}

int SyncCallQueue::RunPending() {
    if (!IsOwnerThread()) return 0;
    int count = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    // A new arrival may post again from now on; the current wake is being served.
    wake_posted_ = false;
    while (head_ != nullptr && !shut_down_) {
        Entry* entry = head_;
        head_ = entry->next;
        if (head_ == nullptr) tail_ = nullptr;
        --pending_;
        // One call at a time, outside the lock: a call may itself write into the
        // queue's owner, or nest another RunPending.
        lock.unlock();
        entry->function(entry->context);
        lock.lock();
        entry->ran = true;
        entry->finished = true;
        done_.notify_all();
        ++count;
    }
    return count;
}

void SyncCallQueue::Shutdown() {
    std::unique_lock<std::mutex> lock(mutex_);
    shut_down_ = true;
    while (head_ != nullptr) {
        Entry* entry = head_;
        head_ = entry->next;
        entry->finished = true;  // abandoned: ran stays false
    }
    tail_ = nullptr;
    pending_ = 0;
    done_.notify_all();
    drained_.wait(lock, [&] { return waiters_ == 0; });
}

size_t SyncCallQueue::PendingCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_;
}
