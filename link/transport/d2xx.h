// A D2XX-style interface to FTDI USB-serial converters: the fourteen operations the
// link and the port dialog use, with the vendor library's argument conventions.
// Every operation returns a status: 0 (FT_OK) is success, any other value a failure
// that callers pass on unchanged. A handle is an opaque pointer; null means none. A
// handle that was closed (or never opened) gives FT_INVALID_HANDLE, never a crash.
// Threads: calls on one handle may come from several threads (the receive thread
// reads and writes while another thread waits); Close comes last, after every other
// user of the handle has finished. Qt-free.
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
// The list calls as the link and the port dialog make them.
constexpr uint32_t kListDescriptionByIndex = FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION;
constexpr uint32_t kListSerialByIndex = FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER;
constexpr uint32_t FT_EVENT_RXCHAR = 1;
constexpr uint32_t FT_EVENT_MODEM_STATUS = 2;
constexpr uint32_t FT_PURGE_RX = 1;
constexpr uint32_t FT_PURGE_TX = 2;
constexpr size_t kTextSize = 256;  // description and serial-number buffers

// The receive and wake events of a reader in one object, so one thread can wait for
// "receive OR wake" with a time-out. The receive event is auto-reset: a wait that
// returns it clears it. The wake event is manual-reset: it stays set (and every wait
// returns kWake at once) until Reset. Set and Reset may be called from any thread.
class EventSet {
public:
    enum Which { kReceive = 0, kWake = 1, kTimeout = -1 };
    void Set(Which which);
    void Reset(Which which);
    // kReceive, kWake (wake wins when both are set) or kTimeout after timeout_ms.
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
    // FT_LIST_NUMBER_ONLY (0x80000000): *count = number of attached devices; 0 with
    // status 0 where no USB bus can be read. kListDescriptionByIndex (0x40000002) or
    // kListSerialByIndex (0x40000001): the description or serial number of device
    // `index` (0 = first, in the library's order) into text, NUL-terminated and cut
    // to text_size - 1 characters; an index past the end gives FT_DEVICE_NOT_FOUND.
    virtual FT_STATUS ListDevices(uint32_t index, uint32_t* count, char* text, size_t text_size,
                                  uint32_t flags) = 0;
    // FT_OPEN_BY_SERIAL_NUMBER (1) with the serial-number text (exact match), or
    // FT_OPEN_BY_DESCRIPTION (2). *handle is null on failure.
    virtual FT_STATUS OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) = 0;
    // Releases the device (and the kernel's serial driver gets it back).
    virtual FT_STATUS Close(FT_HANDLE handle) = 0;
    // The link passes 5 ms, 57600/115200/9600 bit/s, (8, 2, 0), (0, 0, 0), purge 3
    // (FT_PURGE_RX | FT_PURGE_TX) and special characters (0xFB, 1, 0, 0).
    virtual FT_STATUS SetLatencyTimer(FT_HANDLE handle, uint8_t ms) = 0;
    virtual FT_STATUS SetBaudRate(FT_HANDLE handle, uint32_t baud) = 0;
    virtual FT_STATUS SetDataCharacteristics(FT_HANDLE handle, uint8_t word_length,
                                             uint8_t stop_bits, uint8_t parity) = 0;
    virtual FT_STATUS SetFlowControl(FT_HANDLE handle, uint16_t flow, uint8_t xon,
                                     uint8_t xoff) = 0;
    virtual FT_STATUS Purge(FT_HANDLE handle, uint32_t mask) = 0;
    virtual FT_STATUS SetChars(FT_HANDLE handle, uint8_t event_char, uint8_t event_enable,
                               uint8_t error_char, uint8_t error_enable) = 0;
    // Sets `events` kReceive whenever data (FT_EVENT_RXCHAR) or a modem-status change
    // (FT_EVENT_MODEM_STATUS) arrives, and once at once if data is already waiting.
    // Mask 0 or null events stops the notification; the library never touches the
    // old EventSet after this call returns, so its owner may then destroy it. A
    // device that fails (unplugged) also sets kReceive, so the reader notices.
    virtual FT_STATUS SetEventNotification(FT_HANDLE handle, uint32_t mask, EventSet* events) = 0;
    // *rx_queue = bytes waiting to be read. Fails once the device is gone and nothing
    // received before is left to read.
    virtual FT_STATUS GetStatus(FT_HANDLE handle, uint32_t* rx_queue, uint32_t* tx_queue,
                                uint32_t* event_status) = 0;
    // Up to size bytes, never more than are waiting; never blocks.
    virtual FT_STATUS Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* got) = 0;
    // All bytes are sent (*written = size) or the status is non-zero.
    virtual FT_STATUS Write(FT_HANDLE handle, const void* data, uint32_t size,
                            uint32_t* written) = 0;
    // Modem status in bits 0-7 and the line status in bits 8-15, the line's error bits
    // (0x02 overrun, 0x04 parity, 0x08 framing, 0x10 break) gathered since the last
    // call. A library that cannot tell reports 0.
    virtual FT_STATUS GetModemStatus(FT_HANDLE handle, uint32_t* status) {
        (void)handle;
        *status = 0;
        return FT_OK;
    }
};

// The library in use, process-wide: the libftdi backend unless a test installed
// another. The link and the port dialog reach the converters only through it.
ID2xx& D2xxLibrary();
void SetD2xxLibraryForTesting(ID2xx* library);  // null restores the real one

}  // namespace d2xx
