// What an open link holds besides its settings: the transport its receive thread
// reads and the thread itself. Private to the link's sources.
//
// While the thread runs it alone replaces the transport and the USB handle (after a
// lost connection, when it opens the device again); it does so under `mutex`, which
// the GUI thread takes to wake it. Everything else here is touched by the GUI thread
// only after the thread has been joined.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "link/transport/d2xx.h"
#include "link/transport/device_identity.h"
#include "link/transport/transport.h"
#include "link/transport/usb_transport.h"

struct LinkConnection {
    std::unique_ptr<transport::ITransport> transport;  // what the thread reads
    transport::UsbTransport* usb_transport = nullptr;  // the same object on USB
    d2xx::ID2xx* library = nullptr;
    d2xx::FT_HANDLE usb = nullptr;
    bool is_usb = false;
    // The port to open again after a loss; empty for a transport handed in (tests, tools).
    char port_name[32] = {};
    // The serial port was opened through the device map: it is back only when its
    // entry is (never the fallback device in the meantime).
    bool mapped = false;
    // What the serial port was at the first open: a reopen takes only that device.
    transport::DeviceIdentity identity;
    // Under mutex: the thread is inside a USB reopen, whose control transfers may take a
    // second each; a close that will not wait for it sets abandoned, and the thread then
    // closes what it opened and frees this connection without touching the link again.
    bool opening = false;
    bool abandoned = false;
    std::mutex mutex;                  // transport pointer against Wake(), and the retry wait
    std::condition_variable retry_cv;  // ends the wait between attempts at a stop request
    std::thread thread;
};
