// The byte channel between a receive thread and the device, whatever carries it
// (serial port, USB converter, test fake). Qt-free.
//
// Threads. One reader thread makes every call except Wake(). Wake() may be called from
// any thread at any time while the object exists. The owner destroys ("closes") the
// transport from another thread only after the reader has returned from its last
// call: set the reader's stop request, call Wake() so a pending wait returns at once,
// wait for the reader to end, then destroy.
//
// WaitForData(timeout_ms) blocks at most timeout_ms (0 only polls) and returns
//  - Data    at least one byte can be read without blocking;
//  - Timeout nothing came in time (the serial loop waits kSerialWaitMs, USB kUsbWaitMs);
//  - Wake    Wake() was called since the last Wake outcome (the wake is consumed;
//            several Wake() calls before a wait give one Wake);
//  - HangUp  the device is gone (pseudo-terminal master closed, converter unplugged);
//  - Error   the wait itself failed (LastError() tells why).
// Pending bytes are delivered before a hang-up is reported.
//
// After HangUp or Error the transport is dead and nothing blocks any more:
//  - WaitForData returns the same outcome at once, every time;
//  - BytesWaiting, Read and Write return a non-zero status (LastError());
//  - TakeLineErrors returns 0, Purge returns the status.
// A reader must therefore end on HangUp or Error; looping on it would spin.
//
// WaitForLine(bytes, max_ms): the time `bytes` more bytes need on the line, at most
// max_ms, spent waiting only for a wake: returns Data when it has passed (the bytes
// should be there: the reader reads without waiting for data first, and finding none
// is no error), Timeout when it did not wait, Wake as WaitForData does, or the dead
// outcome. The reader calls it with the bytes the frame being received is expected to
// need (at least those it cannot do without; as many as the last frame of its length
// took), so that the rest of the frame is read in one piece instead of in every piece
// the driver delivers on the way; once it has slept through a frame of known length,
// what is still missing (held back by the driver) is waited for with WaitForData. The
// serial transport sleeps a little past the line's time (kLineMarginNs), so that a
// driver's last piece of the frame is there when it ends. A transport that wakes its
// reader per frame already (USB, by its event character) returns Timeout at once, so
// the reader waits for data as usual.
// WaitForLineFrom(start_us, bytes, max_ms): as WaitForLine, with the line's time counted
// from start_us (platform::MonotonicMicroseconds) rather than from the call: Data at once
// when that time has passed. The reader sleeps so through the gap to a frame it expects
// and through the frame. A transport that cannot returns Timeout at once (the default).
// BytesWaiting: bytes that Read can take now without blocking.
// Read never blocks: it copies up to `size` of the waiting bytes (0 is allowed and
// not an error while the device is there). Write sends all bytes or fails; it may
// block briefly (about a second at most) while the driver drains.
// TakeLineErrors: error bits (LineError, the communications error word of the serial
// interface) seen since the last call; 0 where the driver cannot tell.
// Status codes: 0 for success, otherwise a positive errno value (serial) or the USB
// library's status, to be passed on unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

namespace transport {

enum class WaitResult { Data, Timeout, Wake, HangUp, Error };

// The reading loop's wait per pass, the one definition for the transports and the
// receive thread: a serial port blocks up to a second for its first byte, a USB link
// waits on the converter's receive event in short steps.
constexpr int kSerialWaitMs = 1000;
constexpr int kUsbWaitMs = 20;

// Line-error bits, as in the serial interface's communications error word.
enum LineError : uint32_t {
    kCeRxOver = 0x1,
    kCeOverrun = 0x2,
    kCeRxParity = 0x4,
    kCeFrame = 0x8,
    kCeBreak = 0x10,
    kCeTxFull = 0x100,
    kCePto = 0x200,
    kCeIoe = 0x400,
    kCeDns = 0x800,
    kCeOop = 0x1000,
    kCeMode = 0x8000,
};

class ITransport {
public:
    virtual ~ITransport() = default;

    virtual WaitResult WaitForData(int timeout_ms) = 0;
    virtual WaitResult WaitForLine(size_t bytes, int max_ms) {
        (void)bytes;
        (void)max_ms;
        return WaitResult::Timeout;
    }
    virtual WaitResult WaitForLineFrom(uint64_t start_us, size_t bytes, int max_ms) {
        (void)start_us;
        (void)bytes;
        (void)max_ms;
        return WaitResult::Timeout;
    }
    // Bytes that Read can take now.
    virtual int BytesWaiting(size_t* count) = 0;
    // *got = bytes copied (0 on failure).
    virtual int Read(uint8_t* buffer, size_t size, size_t* got) = 0;
    virtual int Write(const uint8_t* data, size_t size) = 0;
    // Error bits seen since the last call; 0 where the driver cannot tell.
    virtual uint32_t TakeLineErrors() = 0;
    // Discards pending input and output.
    virtual int Purge() = 0;
    // Makes a pending or the next WaitForData return Wake. Thread-safe.
    virtual void Wake() = 0;
    // The code behind the last failure, HangUp or Error outcome (0 if none).
    virtual int LastError() const = 0;
};

}  // namespace transport
