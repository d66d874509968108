#include "link/connection_recorder.h"

#include <atomic>

namespace {
std::atomic<ConnectionRecorderFactory> factory{nullptr};
}  // namespace

void SetConnectionRecorderFactory(ConnectionRecorderFactory f) {
    factory.store(f, std::memory_order_release);
}

std::unique_ptr<ConnectionRecorder> MakeConnectionRecorder() {
    const ConnectionRecorderFactory f = factory.load(std::memory_order_acquire);
    std::unique_ptr<ConnectionRecorder> recorder = f != nullptr ? f() : nullptr;
    return recorder ? std::move(recorder) : std::make_unique<ConnectionRecorder>();
}
