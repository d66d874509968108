// A D2XX library for tests: attached devices with descriptions and serial numbers,
// any operation made to fail with a chosen status, a log of the calls, and per
// device the bytes it sends and the bytes the host wrote.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "link/transport/d2xx.h"

namespace d2xx {

class FakeD2xx : public ID2xx {
public:
    enum Op {
        kListCount,
        kListDescription,
        kListSerial,
        kOpen,
        kClose,
        kLatency,
        kBaud,
        kData,
        kFlow,
        kPurge,
        kChars,
        kNotify,
        kStatus,
        kRead,
        kWrite,
        kOpCount
    };

    void AddDevice(const std::string& description, const std::string& serial);
    void FailOn(Op op, FT_STATUS status);  // 0 clears
    // Each call of op takes ms longer, as a control transfer of a slow converter; 0 clears.
    void SlowOn(Op op, int ms);
    std::vector<std::string> Calls() const;
    // The serial number of the device behind an open handle ("" if none).
    std::string SerialOf(FT_HANDLE handle) const;
    int OpenCount() const;
    // Device with the serial number sends bytes / what the host wrote to it (the one
    // added last when a converter was unplugged and added again).
    void Send(const std::string& serial, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> WrittenTo(const std::string& serial) const;
    // Waits up to timeout_ms until `size` bytes were written to the device.
    bool WaitForWritten(const std::string& serial, size_t size, int timeout_ms) const;
    // The device is pulled out: its reader is notified, and once the bytes it sent
    // before are read, status, read and write fail with FT_IO_ERROR; it leaves the list.
    void Unplug(const std::string& serial);

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

private:
    struct Device {
        std::string description;
        std::string serial;
        bool open = false;
        bool unplugged = false;
        std::vector<uint8_t> incoming;
        std::vector<uint8_t> written;
        EventSet* events = nullptr;
    };
    FT_STATUS Begin(Op op, const std::string& call);  // logs; returns the failure if set
    void Pause(Op op);
    Device* Find(FT_HANDLE handle);

    Device* Listed(uint32_t index);  // index-th attached device

    mutable std::mutex mutex_;
    mutable std::condition_variable written_cv_;
    std::deque<Device> devices_;  // stable addresses: handles point at them
    FT_STATUS fail_[kOpCount] = {};
    std::atomic<int> slow_ms_[kOpCount] = {};
    std::vector<std::string> calls_;
};

}  // namespace d2xx
