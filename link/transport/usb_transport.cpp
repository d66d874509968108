#include "link/transport/usb_transport.h"

namespace transport {

UsbTransport::UsbTransport(d2xx::ID2xx& library, d2xx::FT_HANDLE handle)
    : library_(library), handle_(handle) {}

UsbTransport::~UsbTransport() {
    if (started_) library_.SetEventNotification(handle_, 0, nullptr);
}

int UsbTransport::Start() {
    d2xx::FT_STATUS s = library_.SetEventNotification(
        handle_, d2xx::FT_EVENT_RXCHAR | d2xx::FT_EVENT_MODEM_STATUS, &events_);
    started_ = s == d2xx::FT_OK;
    return static_cast<int>(s);
}

WaitResult UsbTransport::WaitForData(int timeout_ms) {
    if (last_error_ != 0) return WaitResult::Error;
    switch (events_.Wait(timeout_ms)) {
        case d2xx::EventSet::kReceive:
            return WaitResult::Data;
        case d2xx::EventSet::kWake:
            events_.Reset(d2xx::EventSet::kWake);
            return WaitResult::Wake;
        default:
            return WaitResult::Timeout;
    }
}

int UsbTransport::BytesWaiting(size_t* count) {
    *count = 0;
    if (last_error_ != 0) return last_error_;
    uint32_t rx = 0, tx = 0, ev = 0;
    d2xx::FT_STATUS s = library_.GetStatus(handle_, &rx, &tx, &ev);
    if (s != d2xx::FT_OK) {
        last_error_ = static_cast<int>(s);
        return last_error_;
    }
    *count = rx;
    return 0;
}

int UsbTransport::Read(uint8_t* buffer, size_t size, size_t* got) {
    *got = 0;
    if (last_error_ != 0) return last_error_;
    uint32_t n = 0;
    d2xx::FT_STATUS s = library_.Read(handle_, buffer, static_cast<uint32_t>(size), &n);
    *got = s == d2xx::FT_OK ? n : 0;
    if (s != d2xx::FT_OK) last_error_ = static_cast<int>(s);
    return static_cast<int>(s);
}

int UsbTransport::Write(const uint8_t* data, size_t size) {
    if (last_error_ != 0) return last_error_;
    uint32_t n = 0;
    d2xx::FT_STATUS s = library_.Write(handle_, data, static_cast<uint32_t>(size), &n);
    if (s == d2xx::FT_OK && n != size) s = d2xx::FT_IO_ERROR;
    if (s != d2xx::FT_OK) last_error_ = static_cast<int>(s);
    return static_cast<int>(s);
}

uint32_t UsbTransport::TakeLineErrors() {
    if (last_error_ != 0) return 0;
    uint32_t status = 0;
    if (library_.GetModemStatus(handle_, &status) != d2xx::FT_OK) return 0;
    return (status >> 8) & (kCeOverrun | kCeRxParity | kCeFrame | kCeBreak);
}

int UsbTransport::Purge() {
    if (last_error_ != 0) return last_error_;
    return static_cast<int>(library_.Purge(handle_, d2xx::FT_PURGE_RX | d2xx::FT_PURGE_TX));
}

}  // namespace transport
