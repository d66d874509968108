// A serial port on termios. "COM1" ... "COM12" are found through the device map
// (<program directory>/configuration/dosdevices/com<n>), else /dev/ttyS<n-1>.
// Waits are epoll on the port and a wake pipe; the port stays non-blocking with
// VMIN = VTIME = 0, so no call can block past its time-out, and a hung-up port
// (read() returning 0 at once for ever) is reported as HangUp, never as data.
// A reader wakes for every piece the driver delivers (about a millisecond's worth at
// 115200 Bd), so each wake costs as few calls as possible: BytesWaiting takes what is
// waiting into the transport's own buffer with one read, Read hands it out from there,
// and WaitForLine sleeps through the rest of a frame at the line's byte rate.
#pragma once

#include <termios.h>

#include <atomic>
#include <memory>
#include <string>

#include "link/transport/transport.h"

namespace transport {

// The device path for a port name ("COM<n>", a trailing ":" allowed): the device-map
// entry or /dev/ttyS<n-1>; "" for a name that is no numbered port.
std::string SerialDevicePath(const std::string& port_name);

// Kernel interrupt counters of a port, and the error bits their growth stands for
// (frame 0x8, overrun 0x2, parity 0x4, break 0x10, buffer overrun 0x1).
struct LineCounts {
    int frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
};
uint32_t LineErrorBits(const LineCounts& before, const LineCounts& now);

// Line settings of a protocol: 1 57600 8N2, 2 115200 8N1, 3 9600 8N2.
struct LineSettings {
    speed_t speed;
    bool two_stop_bits;
    int baud;  // `speed` as a number
};
bool LineSettingsFor(int protocol, LineSettings* out);

enum class OpenStep { Ok, Open, Setup };
struct OpenResult {
    OpenStep step;  // where it failed
    int error;      // errno of that failure; 0 on success
    int fd = -1;    // what the open gave: the descriptor, also when the set-up failed
};

// A serial device node held as a link holds it. Opens exclusively (flock and
// TIOCEXCL): a line held by another program or window fails with EBUSY. A missing
// node gives ENOENT, a path that is no terminal ENOTTY. Applies the protocol's line
// settings in raw mode (non-blocking, VMIN = VTIME = 0, DTR and RTS on) and reads them
// back; a mismatch is a set-up failure (EINVAL). On failure nothing stays open.
struct SerialLine {
    int fd = -1;
    termios saved{};  // the settings found, put back by CloseSerialLine
};
OpenResult OpenSerialLine(const std::string& path, int protocol, SerialLine* out);
// Restores the settings found at opening and gives up exclusivity (a pseudo-terminal
// keeps its exclusive flag after the last close otherwise); quiet on a line that is gone.
void CloseSerialLine(const SerialLine& line);

class SerialTransport : public ITransport {
public:
    // How much longer than the line's time WaitForLine sleeps (see there).
    static constexpr long long kLineMarginNs = 1500000;
    // OpenSerialLine on the port's device path; pending input is discarded.
    static OpenResult Open(const std::string& port_name, int protocol,
                           std::unique_ptr<SerialTransport>* out);
    // CloseSerialLine.
    ~SerialTransport() override;

    WaitResult WaitForData(int timeout_ms) override;
    WaitResult WaitForLine(size_t bytes, int max_ms) override;
    WaitResult WaitForLineFrom(uint64_t start_us, size_t bytes, int max_ms) override;
    int BytesWaiting(size_t* count) override;
    int Read(uint8_t* buffer, size_t size, size_t* got) override;
    int Write(const uint8_t* data, size_t size) override;
    uint32_t TakeLineErrors() override;
    int Purge() override;
    void Wake() override;
    int LastError() const override { return last_error_; }

    int fd() const { return fd_; }

private:
    SerialTransport(int fd, int wake_read, int wake_write, int wait_set, const termios& saved,
                    long byte_ns);
    WaitResult Fail(WaitResult what, int error);
    WaitResult TakeWake();
    bool Dead() const { return dead_ != WaitResult::Data; }
    int FailCall(int error);  // marks a vanished port dead, returns the error

    int fd_;
    int wake_read_;
    int wake_write_;
    int wait_set_;  // epoll set of the port and wake_read_
    termios saved_;
    long byte_ns_;  // one byte's time on the line, start and stop bits included
    bool have_counts_ = false;
    bool counts_unsupported_ = false;  // the driver keeps no interrupt counters
    LineCounts counts_;
    // What BytesWaiting took from the driver and Read has not handed out yet: bytes
    // [taken_, held_) of held_bytes_. As large as the terminal's own input buffer.
    size_t held_ = 0, taken_ = 0;
    uint8_t held_bytes_[4096];
    WaitResult dead_ = WaitResult::Data;  // HangUp or Error once the port is gone
    int last_error_ = 0;
};

}  // namespace transport
