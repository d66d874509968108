// Synchronous calls from worker threads into one owner thread (the GUI thread).
// A worker pushes its call, wakes the owner once, and waits until the owner has run
// it. The owner runs pending calls when woken and whenever it calls RunPending (for
// instance inside a wait loop for that very worker). A call from the owner thread
// runs at once. Qt-free; the wake function is the only link to the event loop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

class SyncCallQueue {
public:
    // Wakes the owner thread, e.g. by posting one event to it. Called with the
    // queue's lock held, at most once until the owner next runs pending calls, so it
    // must only post and never call back into the queue.
    using Wake = std::function<void()>;

    // The constructing thread becomes the owner.
    SyncCallQueue();
    // Shuts down (releasing every waiter) if that has not been done.
    ~SyncCallQueue();
    SyncCallQueue(const SyncCallQueue&) = delete;
    SyncCallQueue& operator=(const SyncCallQueue&) = delete;

    void SetWake(Wake wake);
    bool IsOwnerThread() const { return std::this_thread::get_id() == owner_; }

    // Runs f() in the owner thread and returns when it has run: true. After Shutdown,
    // or when the call is abandoned by it, f does not run: false.
    template <class F>
    bool Call(F&& f) {
        using Fn = std::remove_reference_t<F>;
        return Call([](void* p) { (*static_cast<Fn*>(p))(); }, static_cast<void*>(&f));
    }
    bool Call(void (*function)(void*), void* context);

    // Owner thread: runs every call that is waiting (also those that arrive while it
    // runs), in arrival order. Returns how many ran; 0 from any other thread.
    int RunPending();

    // Owner thread: abandons what is still waiting, releases its waiters and returns
    // once none of them touches the queue any more. Later calls return false at once.
    void Shutdown();

    size_t PendingCount() const;

private:
    struct Entry {
        void (*function)(void*);
        void* context;
        Entry* next = nullptr;
        bool finished = false;
        bool ran = false;
    };

    std::thread::id owner_;
    mutable std::mutex mutex_;
    std::condition_variable done_;     // an entry finished
    std::condition_variable drained_;  // a waiter left (Shutdown waits for all)
    Entry* head_ = nullptr;
    Entry* tail_ = nullptr;
    size_t pending_ = 0;
    int waiters_ = 0;
    bool wake_posted_ = false;
    bool shut_down_ = false;
    Wake wake_;
};
