#include "link/transport/fake_ftdi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace d2xx {

FakeFtdiChip* FakeFtdiChip::current_ = nullptr;

FakeFtdiChip::FakeFtdiChip() { current_ = this; }
FakeFtdiChip::~FakeFtdiChip() {
    if (current_ == this) current_ = nullptr;
}

void FakeFtdiChip::AddDevice(const std::string& description, const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.emplace_back(description, serial);
}

void FakeFtdiChip::Line(const uint8_t* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        chip_.insert(chip_.end(), data, data + size);
        last_line_ = std::chrono::steady_clock::now();
    }
    cv_.notify_all();
}

std::chrono::steady_clock::time_point FakeFtdiChip::LastLineTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_line_;
}

void FakeFtdiChip::ScriptRead(const std::vector<uint8_t>& raw, int result) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        script_.push_back({raw, result});
    }
    cv_.notify_all();
}

void FakeFtdiChip::Vanish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        vanished_ = true;
        devices_.clear();
    }
    cv_.notify_all();
}

void FakeFtdiChip::Wedge() {
    std::lock_guard<std::mutex> lock(mutex_);
    wedged_ = true;
}

void FakeFtdiChip::RefuseThreads(bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuse_threads_ = refuse;
}

std::vector<uint8_t> FakeFtdiChip::Written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}
int FakeFtdiChip::OpenCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}
int FakeFtdiChip::ReadTransfers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
}
int FakeFtdiChip::ReadTransfersAtLastWrite() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_at_write_;
}
int FakeFtdiChip::WriteTimeoutMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return write_timeout_ms_;
}
int FakeFtdiChip::LatencyMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latency_ms_;
}
bool FakeFtdiChip::EventCharOn() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return event_on_;
}

// The table's functions reach the chip's state through this friend.
struct FakeFtdiAccess {
    using Clock = std::chrono::steady_clock;
    static FakeFtdiChip& C() { return *FakeFtdiChip::current_; }

    // A control or write transfer: a wedged chip holds it for its whole time-out.
    static int Control(std::unique_lock<std::mutex>& lock) {
        FakeFtdiChip& c = C();
        if (c.vanished_) return kFtdiNoDevice;
        if (!c.wedged_) return 0;
        c.cv_.wait_for(lock, std::chrono::milliseconds(c.write_timeout_ms_));
        return kFtdiTimeout;
    }

    static int List(FtdiDeviceText* out, int max) {
        std::lock_guard<std::mutex> lock(C().mutex_);
        int n = 0;
        for (const auto& [description, serial] : C().devices_) {
            if (n == max) break;
            out[n] = FtdiDeviceText{};
            std::snprintf(out[n].description, kTextSize, "%s", description.c_str());
            std::snprintf(out[n].serial, kTextSize, "%s", serial.c_str());
            ++n;
        }
        return n;
    }
    static void* Open(const char* serial, int timeout_ms, int* error) {
        FakeFtdiChip& c = C();
        std::lock_guard<std::mutex> lock(c.mutex_);
        for (const auto& d : c.devices_) {
            if (d.second != serial) continue;
            ++c.open_;
            c.write_timeout_ms_ = timeout_ms;
            return &c;
        }
        *error = -3;
        return nullptr;
    }
    static void Close(void*) {
        std::lock_guard<std::mutex> lock(C().mutex_);
        --C().open_;
    }
    static int Setting(void*) {
        std::unique_lock<std::mutex> lock(C().mutex_);
        return Control(lock);
    }
    static int Latency(void*, uint8_t ms) {
        std::unique_lock<std::mutex> lock(C().mutex_);
        if (int r = Control(lock)) return r;
        C().latency_ms_ = ms;
        return 0;
    }
    static int EventChar(void*, uint8_t ch, uint8_t on) {
        std::unique_lock<std::mutex> lock(C().mutex_);
        if (int r = Control(lock)) return r;
        C().event_char_ = ch;
        C().event_on_ = on != 0;
        return 0;
    }
    static int Purge(void*, bool rx, bool) {
        std::unique_lock<std::mutex> lock(C().mutex_);
        if (int r = Control(lock)) return r;
        if (rx) C().chip_.clear();
        return 0;
    }
    // As a full-speed chip answers a bulk transfer: a packet of two status bytes and up
    // to 62 data bytes whenever the event character has come, 62 bytes are waiting or
    // the latency timer runs out; the transfer ends on a short packet (or when the next
    // packet would not fit), so after full packets it waits for the next one.
    static int ReadTransfer(void*, uint8_t* buffer, int size, int* got, int timeout_ms) {
        FakeFtdiChip& c = C();
        std::unique_lock<std::mutex> lock(c.mutex_);
        *got = 0;
        ++c.reads_;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        constexpr int kPacket = FakeFtdiChip::kPacketSize;
        int at = 0;
        for (;;) {
            if (at == 0 && !c.script_.empty()) {
                FakeFtdiChip::Scripted s = c.script_.front();
                c.script_.pop_front();
                *got = std::min(size, static_cast<int>(s.raw.size()));
                std::memcpy(buffer, s.raw.data(), static_cast<size_t>(*got));
                return s.result;
            }
            if (c.vanished_) {
                *got = at;
                return kFtdiNoDevice;
            }
            const bool event = c.event_on_ && std::find(c.chip_.begin(), c.chip_.end(),
                                                        c.event_char_) != c.chip_.end();
            const bool full = c.chip_.size() >= kPacket - 2;
            const auto latency = c.last_packet_ + std::chrono::milliseconds(c.latency_ms_);
            if (event || full || Clock::now() >= latency) {
                buffer[at++] = 0x01;  // modem status
                buffer[at++] = 0x60;  // line status: transmitter empty
                int n = 2;
                for (; n < kPacket && !c.chip_.empty(); ++n) {
                    buffer[at++] = c.chip_.front();
                    c.chip_.pop_front();
                }
                c.last_packet_ = Clock::now();
                if (n < kPacket || at + kPacket > size) break;
                continue;
            }
            if (Clock::now() >= deadline) {
                *got = at;  // what came before the time-out still counts
                return kFtdiTimeout;
            }
            c.cv_.wait_until(lock, std::min(latency, deadline));
        }
        *got = at;
        return 0;
    }
    static int PacketSize(void*) { return FakeFtdiChip::kPacketSize; }
    static int Write(void*, const uint8_t* data, int size) {
        FakeFtdiChip& c = C();
        std::unique_lock<std::mutex> lock(c.mutex_);
        c.reads_at_write_ = c.reads_;
        if (int r = Control(lock)) return r;
        c.written_.insert(c.written_.end(), data, data + size);
        return size;
    }
    static bool StartThread(std::thread* thread, std::function<void()> body) {
        {
            std::lock_guard<std::mutex> lock(C().mutex_);
            if (C().refuse_threads_) return false;
        }
        *thread = std::thread(std::move(body));
        return true;
    }
};

const FtdiFunctions& FakeFtdiChip::Functions() {
    static const FtdiFunctions table = {
        FakeFtdiAccess::List,
        FakeFtdiAccess::Open,
        FakeFtdiAccess::Close,
        FakeFtdiAccess::Latency,
        [](void* d, int) { return FakeFtdiAccess::Setting(d); },
        [](void* d, int, int, int) { return FakeFtdiAccess::Setting(d); },
        [](void* d, int, uint8_t, uint8_t) { return FakeFtdiAccess::Setting(d); },
        FakeFtdiAccess::EventChar,
        [](void* d, uint8_t, uint8_t) { return FakeFtdiAccess::Setting(d); },
        FakeFtdiAccess::Purge,
        FakeFtdiAccess::ReadTransfer,
        FakeFtdiAccess::PacketSize,
        FakeFtdiAccess::Write,
        FakeFtdiAccess::StartThread,
    };
    return table;
}

}  // namespace d2xx
