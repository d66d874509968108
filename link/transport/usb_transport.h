// An open D2XX device as a transport: waits up to the caller's time-out (the link
// uses kUsbWaitMs) on the receive and wake events, the waiting count comes from the
// status query. The receive event is auto-reset, so bytes left unread after a pass
// are seen at the latest when the next wait times out. A failing status, read or
// write call makes the transport dead (WaitForData returns Error from then on); an
// unplugged converter shows up that way. Does not own the handle: the link opens the
// device, and closes it after this object is gone.
#pragma once

#include "link/transport/d2xx.h"
#include "link/transport/transport.h"

namespace transport {

class UsbTransport : public ITransport {
public:
    UsbTransport(d2xx::ID2xx& library, d2xx::FT_HANDLE handle);
    ~UsbTransport() override;

    // Starts the event notification (mask 3). Non-zero: the D2XX status.
    int Start();

    WaitResult WaitForData(int timeout_ms) override;
    int BytesWaiting(size_t* count) override;
    int Read(uint8_t* buffer, size_t size, size_t* got) override;
    int Write(const uint8_t* data, size_t size) override;
    // The converter's line-status error bits, which have the same values as the
    // error word's (overrun 0x2, parity 0x4, framing 0x8, break 0x10).
    uint32_t TakeLineErrors() override;
    int Purge() override;
    void Wake() override { events_.Set(d2xx::EventSet::kWake); }
    int LastError() const override { return last_error_; }

private:
    d2xx::ID2xx& library_;
    d2xx::FT_HANDLE handle_;
    d2xx::EventSet events_;
    bool started_ = false;
    int last_error_ = 0;
};

}  // namespace transport
