// The recording tap of velt-capture: it holds the device, offers the program a
// pseudo-terminal in its place (through the device-map entry the program reads),
// forwards the bytes both ways unchanged and writes both directions into a capture
// file (docs/capture-format.md). One thread forwards; the file is written by the
// recorder's own thread, so a slow disk never holds the forwarding up.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace capture {

struct Options {
    std::string device;    // a serial device node, or "description#serial" (USB converter)
    std::string map_path;  // the device-map entry the program opens
    std::string out_path;  // the capture file
    int protocol = 0;      // 1, 2 or 3: the line settings
    bool force = false;    // an existing capture file may be replaced
};

// The device end. Read and Write return the bytes moved (0: nothing now) or -1 when
// the device is gone, with why in *why.
class Device {
public:
    virtual ~Device() = default;
    // A descriptor to poll for input, or -1 for a device that is asked every few ms.
    virtual int fd() const = 0;
    virtual long Read(uint8_t* buffer, size_t size, std::string* why) = 0;
    virtual long Write(const uint8_t* data, size_t size, std::string* why) = 0;
};

// Opens the device as the program opens it; null with why set when it cannot.
std::unique_ptr<Device> OpenDevice(const Options& options, std::string* why);

class Tap {
public:
    explicit Tap(const Options& options);
    ~Tap();  // removes the map entry if Finish did not
    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

    // The pseudo-terminal, the map entry and the file; a message and false when one
    // of them cannot be had. A file that takes no bytes is no reason to stop.
    bool Start(std::unique_ptr<Device> device, bool real_time);
    // Forwards and records until stop is set. unblocked: the signal mask during the
    // wait (the stop signals are taken only there), or null.
    void Run(const std::atomic<bool>& stop, const sigset_t* unblocked);
    // Removes the map entry, closes the file and prints what passed; the exit status
    // (1 when the capture could not be written whole).
    int Finish();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace capture
