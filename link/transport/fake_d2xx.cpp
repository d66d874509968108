#include "link/transport/fake_d2xx.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace d2xx {

void FakeD2xx::AddDevice(const std::string& description, const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device d;
    d.description = description;
    d.serial = serial;
    devices_.push_back(std::move(d));
}

void FakeD2xx::FailOn(Op op, FT_STATUS status) {
    std::lock_guard<std::mutex> lock(mutex_);
    fail_[op] = status;
}

std::vector<std::string> FakeD2xx::Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::string FakeD2xx::SerialOf(FT_HANDLE handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* d = static_cast<const Device*>(handle);
    for (const Device& dev : devices_)
        if (&dev == d) return dev.serial;
    return std::string();
}

int FakeD2xx::OpenCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(
        std::count_if(devices_.begin(), devices_.end(), [](const Device& d) { return d.open; }));
}

void FakeD2xx::Send(const std::string& serial, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Device& d : devices_) {
        if (d.serial != serial) continue;
        d.incoming.insert(d.incoming.end(), bytes.begin(), bytes.end());
        if (d.events) d.events->Set(EventSet::kReceive);
    }
}

std::vector<uint8_t> FakeD2xx::WrittenTo(const std::string& serial) const {
    std::lock_guard<std::mutex> lock(mutex_);
    // The newest device of that serial number: a converter plugged in again.
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it)
        if (it->serial == serial) return it->written;
    return {};
}

bool FakeD2xx::WaitForWritten(const std::string& serial, size_t size, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return written_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        for (const Device& d : devices_)
            if (d.serial == serial && d.written.size() >= size) return true;
        return false;
    });
}

void FakeD2xx::Unplug(const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Device& d : devices_) {
        if (d.serial != serial || d.unplugged) continue;
        d.unplugged = true;
        if (d.events) d.events->Set(EventSet::kReceive);
    }
}

FakeD2xx::Device* FakeD2xx::Listed(uint32_t index) {
    for (Device& d : devices_) {
        if (d.unplugged) continue;
        if (index-- == 0) return &d;
    }
    return nullptr;
}

FT_STATUS FakeD2xx::Begin(Op op, const std::string& call) {
    calls_.push_back(call);
    return fail_[op];
}

FakeD2xx::Device* FakeD2xx::Find(FT_HANDLE handle) {
    for (Device& d : devices_)
        if (&d == handle && d.open) return &d;
    return nullptr;
}

FT_STATUS FakeD2xx::ListDevices(uint32_t index, uint32_t* count, char* text, size_t text_size,
                                uint32_t flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    char call[64];
    if (flags & FT_LIST_NUMBER_ONLY) {
        std::snprintf(call, sizeof call, "ListDevices count 0x%08X", flags);
        if (FT_STATUS s = Begin(kListCount, call)) return s;
        if (count == nullptr) return FT_INVALID_PARAMETER;
        *count = static_cast<uint32_t>(std::count_if(devices_.begin(), devices_.end(),
                                                     [](const Device& d) { return !d.unplugged; }));
        return FT_OK;
    }
    bool description = (flags & FT_OPEN_BY_DESCRIPTION) != 0;
    std::snprintf(call, sizeof call, "ListDevices %u 0x%08X", index, flags);
    if (FT_STATUS s = Begin(description ? kListDescription : kListSerial, call)) return s;
    Device* d = Listed(index);
    if (d == nullptr || text == nullptr || text_size == 0) return FT_DEVICE_NOT_FOUND;
    const std::string& t = description ? d->description : d->serial;
    std::snprintf(text, text_size, "%s", t.c_str());
    return FT_OK;
}

void FakeD2xx::SlowOn(Op op, int ms) { slow_ms_[op].store(ms); }

void FakeD2xx::Pause(Op op) {
    // Outside the lock: a slow converter holds its caller, not the other callers.
    if (int ms = slow_ms_[op].load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

FT_STATUS FakeD2xx::OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) {
    Pause(kOpen);
    std::lock_guard<std::mutex> lock(mutex_);
    if (FT_STATUS s = Begin(
            kOpen, std::string("OpenEx ") + (arg ? arg : "(null)") + " " + std::to_string(flags)))
        return s;
    if (arg == nullptr || handle == nullptr) return FT_INVALID_PARAMETER;
    for (Device& d : devices_) {
        const std::string& key = (flags & FT_OPEN_BY_DESCRIPTION) ? d.description : d.serial;
        if (d.unplugged || key != arg) continue;
        if (d.open) return FT_DEVICE_NOT_OPENED;
        d.open = true;
        *handle = &d;
        return FT_OK;
    }
    return FT_DEVICE_NOT_FOUND;
}

FT_STATUS FakeD2xx::Close(FT_HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (FT_STATUS s = Begin(kClose, "Close")) return s;
    Device* d = Find(handle);
    if (d == nullptr) return FT_INVALID_HANDLE;
    d->open = false;
    d->events = nullptr;
    return FT_OK;
}

#define VELT_FAKE_CALL(op, text)                 \
    Pause(op);                                   \
    std::lock_guard<std::mutex> lock(mutex_);    \
    if (FT_STATUS s = Begin(op, text)) return s; \
    Device* d = Find(handle);                    \
    if (d == nullptr) return FT_INVALID_HANDLE

FT_STATUS FakeD2xx::SetLatencyTimer(FT_HANDLE handle, uint8_t ms) {
    VELT_FAKE_CALL(kLatency, "SetLatencyTimer " + std::to_string(ms));
    return FT_OK;
}

FT_STATUS FakeD2xx::SetBaudRate(FT_HANDLE handle, uint32_t baud) {
    VELT_FAKE_CALL(kBaud, "SetBaudRate " + std::to_string(baud));
    return FT_OK;
}

FT_STATUS FakeD2xx::SetDataCharacteristics(FT_HANDLE handle, uint8_t word_length, uint8_t stop_bits,
                                           uint8_t parity) {
    VELT_FAKE_CALL(kData, "SetDataCharacteristics " + std::to_string(word_length) + " " +
                              std::to_string(stop_bits) + " " + std::to_string(parity));
    return FT_OK;
}

FT_STATUS FakeD2xx::SetFlowControl(FT_HANDLE handle, uint16_t flow, uint8_t xon, uint8_t xoff) {
    VELT_FAKE_CALL(kFlow, "SetFlowControl " + std::to_string(flow) + " " + std::to_string(xon) +
                              " " + std::to_string(xoff));
    return FT_OK;
}

FT_STATUS FakeD2xx::Purge(FT_HANDLE handle, uint32_t mask) {
    VELT_FAKE_CALL(kPurge, "Purge " + std::to_string(mask));
    if (mask & FT_PURGE_RX) d->incoming.clear();
    return FT_OK;
}

FT_STATUS FakeD2xx::SetChars(FT_HANDLE handle, uint8_t event_char, uint8_t event_enable,
                             uint8_t error_char, uint8_t error_enable) {
    VELT_FAKE_CALL(kChars, "SetChars " + std::to_string(event_char) + " " +
                               std::to_string(event_enable) + " " + std::to_string(error_char) +
                               " " + std::to_string(error_enable));
    return FT_OK;
}

FT_STATUS FakeD2xx::SetEventNotification(FT_HANDLE handle, uint32_t mask, EventSet* events) {
    VELT_FAKE_CALL(kNotify, "SetEventNotification " + std::to_string(mask));
    d->events = mask != 0 ? events : nullptr;
    if (d->events && !d->incoming.empty()) d->events->Set(EventSet::kReceive);
    return FT_OK;
}

FT_STATUS FakeD2xx::GetStatus(FT_HANDLE handle, uint32_t* rx_queue, uint32_t* tx_queue,
                              uint32_t* event_status) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_[kStatus]) return fail_[kStatus];  // not logged: called every pass
    Device* d = Find(handle);
    if (d == nullptr) return FT_INVALID_HANDLE;
    if (d->unplugged && d->incoming.empty()) return FT_IO_ERROR;
    if (rx_queue) *rx_queue = static_cast<uint32_t>(d->incoming.size());
    if (tx_queue) *tx_queue = 0;
    if (event_status) *event_status = 0;
    return FT_OK;
}

FT_STATUS FakeD2xx::Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* got) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_[kRead]) return fail_[kRead];
    Device* d = Find(handle);
    if (d == nullptr) return FT_INVALID_HANDLE;
    if (d->unplugged && d->incoming.empty()) return FT_IO_ERROR;
    uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(d->incoming.size()));
    if (n > 0) std::memcpy(buffer, d->incoming.data(), n);
    d->incoming.erase(d->incoming.begin(), d->incoming.begin() + n);
    if (got) *got = n;
    return FT_OK;
}

FT_STATUS FakeD2xx::Write(FT_HANDLE handle, const void* data, uint32_t size, uint32_t* written) {
    if (written) *written = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fail_[kWrite]) return fail_[kWrite];
        Device* d = Find(handle);
        if (d == nullptr) return FT_INVALID_HANDLE;
        if (d->unplugged) return FT_IO_ERROR;
        auto* p = static_cast<const uint8_t*>(data);
        d->written.insert(d->written.end(), p, p + size);
        if (written) *written = size;
    }
    written_cv_.notify_all();
    return FT_OK;
}

#undef VELT_FAKE_CALL

}  // namespace d2xx
