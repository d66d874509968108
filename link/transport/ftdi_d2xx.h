// The D2XX operations on libftdi1. libftdi has no event notification and no status
// query: one reader thread per open device makes one USB transfer at a time (the
// converter answers each within its 5 ms latency timer, at once on the event
// character), appends the data to a receive buffer and signals the events; the
// status query reports that buffer.
//
// Every libftdi call goes through a table of functions (FtdiFunctions), so that tests
// and benchmarks can put a scripted converter in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "link/transport/d2xx.h"

namespace d2xx {

// How long one read transfer may wait (the converter answers within its latency
// timer, so this only bounds a silent one), and how long a write or control transfer
// may take before it fails: a wedged converter can hold a call no longer. A close
// waits for the acknowledgement being written, and must end within 300 ms; a healthy
// converter takes a millisecond for either.
constexpr int kFtdiReadTimeoutMs = 20;
constexpr int kFtdiWriteTimeoutMs = 250;
// Received bytes a device keeps for the reader of the link; more while nobody reads
// are dropped and reported as an overrun (GetModemStatus) and by DroppedBytes.
constexpr size_t kReceiveBufferSize = 64 * 1024;
// Status values of a transfer, as libusb has them.
constexpr int kFtdiTimeout = -7;   // LIBUSB_ERROR_TIMEOUT: what came before it still counts
constexpr int kFtdiNoDevice = -4;  // LIBUSB_ERROR_NO_DEVICE

struct FtdiDeviceText {
    char description[kTextSize];
    char serial[kTextSize];
};

// The converter library. `dev` is the library's own device (a libftdi context).
// Integer results are 0 (or a count) for success and negative libftdi/libusb codes.
struct FtdiFunctions {
    // Up to max attached converters into out; the count, or < 0 when no bus is there.
    int (*list)(FtdiDeviceText* out, int max);
    // The converter with this serial number, opened; null with *error set when it
    // cannot. Write and control transfers of the device time out after timeout_ms.
    void* (*open)(const char* serial, int timeout_ms, int* error);
    void (*close)(void* dev);
    int (*set_latency_timer)(void* dev, uint8_t ms);
    int (*set_baud_rate)(void* dev, int baud);
    int (*set_line_property)(void* dev, int bits, int stop_bits, int parity);
    int (*set_flow_control)(void* dev, int flow, uint8_t xon, uint8_t xoff);
    int (*set_event_char)(void* dev, uint8_t c, uint8_t enable);
    int (*set_error_char)(void* dev, uint8_t c, uint8_t enable);
    int (*purge)(void* dev, bool rx, bool tx);
    // One bulk IN transfer of at most size bytes: packets of packet_size bytes, each
    // led by two status bytes. *got is what arrived, also when the result is an error
    // (a time-out after part of a transfer). 0 or a negative libusb code.
    int (*read_transfer)(void* dev, uint8_t* buffer, int size, int* got, int timeout_ms);
    int (*packet_size)(void* dev);
    // All bytes or a negative code, within the device's write time-out.
    int (*write)(void* dev, const uint8_t* data, int size);
    // Starts the reader; false when the system refuses a thread.
    bool (*start_thread)(std::thread* thread, std::function<void()> body);
};

// The table over the installed libftdi1.
const FtdiFunctions& LibftdiFunctions();

class FtdiD2xx : public ID2xx {
public:
    FtdiD2xx();
    explicit FtdiD2xx(const FtdiFunctions& functions);
    ~FtdiD2xx() override;

    FT_STATUS ListDevices(uint32_t index, uint32_t* count, char* text, size_t text_size,
                          uint32_t flags) override;
    FT_STATUS OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) override;
    FT_STATUS Close(FT_HANDLE handle) override;
    FT_STATUS SetLatencyTimer(FT_HANDLE handle, uint8_t ms) override;
    FT_STATUS SetBaudRate(FT_HANDLE handle, uint32_t baud) override;
    FT_STATUS SetDataCharacteristics(FT_HANDLE handle, uint8_t word_length, uint8_t stop_bits,
                                     uint8_t parity) override;
    FT_STATUS SetFlowControl(FT_HANDLE handle, uint16_t flow, uint8_t xon, uint8_t xoff) override;
    FT_STATUS Purge(FT_HANDLE handle, uint32_t mask) override;
    FT_STATUS SetChars(FT_HANDLE handle, uint8_t event_char, uint8_t event_enable,
                       uint8_t error_char, uint8_t error_enable) override;
    FT_STATUS SetEventNotification(FT_HANDLE handle, uint32_t mask, EventSet* events) override;
    FT_STATUS GetStatus(FT_HANDLE handle, uint32_t* rx_queue, uint32_t* tx_queue,
                        uint32_t* event_status) override;
    FT_STATUS Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* got) override;
    FT_STATUS Write(FT_HANDLE handle, const void* data, uint32_t size, uint32_t* written) override;
    FT_STATUS GetModemStatus(FT_HANDLE handle, uint32_t* status) override;
    // Bytes dropped so far because the receive buffer was full; 0 for a stale handle.
    uint64_t DroppedBytes(FT_HANDLE handle) const;

private:
    const FtdiFunctions& f_;
    std::mutex list_mutex_;  // enumeration and opening
};

}  // namespace d2xx
