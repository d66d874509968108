#include "link/transport/d2xx.h"

#include <atomic>
#include <chrono>

#include "link/transport/ftdi_d2xx.h"

namespace d2xx {

void EventSet::Set(Which which) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        (which == kWake ? wake_ : receive_) = true;
    }
    cv_.notify_all();
}

void EventSet::Reset(Which which) {
    std::lock_guard<std::mutex> lock(mutex_);
    (which == kWake ? wake_ : receive_) = false;
}

EventSet::Which EventSet::Wait(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return receive_ || wake_; }))
        return kTimeout;
    if (wake_) return kWake;
    receive_ = false;
    return kReceive;
}

namespace {
std::atomic<ID2xx*> g_testing{nullptr};
}

ID2xx& D2xxLibrary() {
    if (ID2xx* t = g_testing.load()) return *t;
    static FtdiD2xx library;
    return library;
}

void SetD2xxLibraryForTesting(ID2xx* library) { g_testing.store(library); }

}  // namespace d2xx
