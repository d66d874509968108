// What an open link holds besides its settings: the transport its receive thread
// reads and the thread itself. Private to the link's sources.
#pragma once

#include <memory>
#include <thread>

#include "link/transport/d2xx.h"
#include "link/transport/transport.h"
#include "link/transport/usb_transport.h"

struct LinkConnection {
    std::unique_ptr<transport::ITransport> transport;  // what the thread reads
    transport::UsbTransport* usb_transport = nullptr;  // the same object on USB
    d2xx::ID2xx* library = nullptr;
    d2xx::FT_HANDLE usb = nullptr;
    bool is_usb = false;
    std::thread thread;
};
