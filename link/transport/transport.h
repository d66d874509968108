// The byte channel between a receive thread and the device, whatever carries it
// (serial port, USB converter, test fake). Qt-free.
//
// Rules every implementation keeps:
//  - One reader thread calls WaitForData / BytesWaiting / Read / Write / TakeLineErrors.
//    Wake() may be called from any other thread at any time.
//  - WaitForData blocks at most timeout_ms. It returns Data when at least one byte can
//    be read without blocking, Timeout when none came in time, Wake when Wake() was
//    called (the wake is consumed), HangUp when the device is gone, Error otherwise.
//  - After HangUp or Error every later call fails at once: WaitForData keeps returning
//    the same outcome without blocking, so the reader must end, never loop on it.
//  - Read never blocks: it returns what is waiting, up to the size given (0 bytes is
//    allowed). A peer that hung up makes Read fail with an error code.
//  - Write sends all bytes or fails; it may block briefly while the driver drains.
//  - Status codes: 0 for success, otherwise a positive platform (errno) or USB
//    library status, passed on unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

namespace transport {

enum class WaitResult { Data, Timeout, Wake, HangUp, Error };

// Line-error bits, as the original's communications error word.
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
    // Bytes that Read can take now.
    virtual int BytesWaiting(size_t* count) = 0;
    virtual int Read(uint8_t* buffer, size_t size, size_t* got) = 0;
    virtual int Write(const uint8_t* data, size_t size) = 0;
    // Error bits seen since the last call; 0 where the driver cannot tell.
    virtual uint32_t TakeLineErrors() = 0;
    // Discards pending input and output.
    virtual int Purge() = 0;
    // Makes a pending or the next WaitForData return Wake. Thread-safe.
    virtual void Wake() = 0;
    // The code behind the last Error or HangUp outcome (0 if none).
    virtual int LastError() const = 0;
};

}  // namespace transport
