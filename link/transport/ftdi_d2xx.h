// The D2XX operations on libftdi1. libftdi has no event notification and no status
// query: one reader thread per open device fills a receive buffer with short reads
// (20 ms USB time-out) and signals the events; the status query reports that buffer.
#pragma once

#include <memory>
#include <mutex>

#include "link/transport/d2xx.h"

namespace d2xx {

class FtdiD2xx : public ID2xx {
public:
    FtdiD2xx();
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

private:
    std::mutex list_mutex_;  // the enumeration context
};

}  // namespace d2xx
