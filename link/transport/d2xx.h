// A D2XX-style interface to FTDI USB-serial converters: the thirteen operations the
// link uses, with the vendor library's argument conventions. Status 0 is success,
// any other value a failure that callers pass on unchanged. Qt-free.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace d2xx {

using FT_HANDLE = void*;
using FT_STATUS = uint32_t;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INSUFFICIENT_RESOURCES = 5;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
// libftdi's negative codes become 1000 + |code|.
constexpr FT_STATUS kLibftdiStatusBase = 1000;

constexpr uint32_t FT_LIST_NUMBER_ONLY = 0x80000000;
constexpr uint32_t FT_LIST_BY_INDEX = 0x40000000;
constexpr uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr uint32_t FT_OPEN_BY_DESCRIPTION = 2;
constexpr uint32_t FT_EVENT_RXCHAR = 1;
constexpr uint32_t FT_EVENT_MODEM_STATUS = 2;
constexpr uint32_t FT_PURGE_RX = 1;
constexpr uint32_t FT_PURGE_TX = 2;
constexpr size_t kTextSize = 256;  // description and serial-number buffers

// The receive and wake events of a reader in one object, so one thread can wait for
// either with a time-out. The receive event resets when a wait returns it; the wake
// event stays set until Reset.
class EventSet {
public:
    enum Which { kReceive = 0, kWake = 1, kTimeout = -1 };
    void Set(Which which);
    void Reset(Which which);
    // kReceive, kWake (wake wins when both are set) or kTimeout.
    Which Wait(int timeout_ms);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool receive_ = false;
    bool wake_ = false;
};

class ID2xx {
public:
    virtual ~ID2xx() = default;
    // FT_LIST_NUMBER_ONLY: *count = number of devices. FT_LIST_BY_INDEX |
    // FT_OPEN_BY_DESCRIPTION (or _SERIAL_NUMBER): the text of device `index` into
    // text (NUL-terminated, at most text_size - 1 characters).
    virtual FT_STATUS ListDevices(uint32_t index, uint32_t* count, char* text, size_t text_size,
                                  uint32_t flags) = 0;
    // FT_OPEN_BY_SERIAL_NUMBER with the serial-number text.
    virtual FT_STATUS OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) = 0;
    virtual FT_STATUS Close(FT_HANDLE handle) = 0;
    virtual FT_STATUS SetLatencyTimer(FT_HANDLE handle, uint8_t ms) = 0;
    virtual FT_STATUS SetBaudRate(FT_HANDLE handle, uint32_t baud) = 0;
    virtual FT_STATUS SetDataCharacteristics(FT_HANDLE handle, uint8_t word_length,
                                             uint8_t stop_bits, uint8_t parity) = 0;
    virtual FT_STATUS SetFlowControl(FT_HANDLE handle, uint16_t flow, uint8_t xon,
                                     uint8_t xoff) = 0;
    virtual FT_STATUS Purge(FT_HANDLE handle, uint32_t mask) = 0;
    virtual FT_STATUS SetChars(FT_HANDLE handle, uint8_t event_char, uint8_t event_enable,
                               uint8_t error_char, uint8_t error_enable) = 0;
    // Sets `events` kReceive whenever data (mask bit 1) or a modem-status change
    // (bit 2) arrives; null stops the notification.
    virtual FT_STATUS SetEventNotification(FT_HANDLE handle, uint32_t mask, EventSet* events) = 0;
    virtual FT_STATUS GetStatus(FT_HANDLE handle, uint32_t* rx_queue, uint32_t* tx_queue,
                                uint32_t* event_status) = 0;
    // Never more than is waiting, never blocks.
    virtual FT_STATUS Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* got) = 0;
    virtual FT_STATUS Write(FT_HANDLE handle, const void* data, uint32_t size,
                            uint32_t* written) = 0;
};

// The library in use: the libftdi backend unless a test installed another.
ID2xx& D2xxLibrary();
void SetD2xxLibraryForTesting(ID2xx* library);  // null restores the real one

}  // namespace d2xx
