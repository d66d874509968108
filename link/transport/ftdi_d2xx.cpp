#include "link/transport/ftdi_d2xx.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace d2xx {
namespace {

// The reader's USB read time-out: bounds how long a call waits behind a read and how
// soon the reader sees a close. The library's own step, not the reading loop's wait.
constexpr int kReadTimeoutMs = 20;

FT_STATUS FromFtdi(int r) {
    return r >= 0 ? FT_OK : kLibftdiStatusBase + static_cast<FT_STATUS>(-r);
}

struct Device {
    ftdi_context* ctx = nullptr;
    std::mutex ctx_mutex;  // one libftdi context is not thread-safe
    std::mutex buffer_mutex;
    std::vector<uint8_t> buffer;  // received, not yet read
    EventSet* events = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<int> error{0};
    std::atomic<int> callers{0};  // other calls waiting for the context
    std::thread reader;

    void ReadLoop() {
        uint8_t chunk[512];
        while (!stop.load()) {
            // A mutex is not fair: let a waiting acknowledgement or setting go first.
            while (callers.load() > 0 && !stop.load()) std::this_thread::yield();
            int n;
            {
                std::lock_guard<std::mutex> lock(ctx_mutex);
                n = ftdi_read_data(ctx, chunk, sizeof chunk);
            }
            if (n == LIBUSB_ERROR_TIMEOUT) continue;  // an idle line, not a failure
            if (n < 0) {
                error.store(n);
                std::lock_guard<std::mutex> lock(buffer_mutex);
                if (events) events->Set(EventSet::kReceive);
                return;
            }
            if (n == 0) continue;  // the read waited for the latency timer
            std::lock_guard<std::mutex> lock(buffer_mutex);
            buffer.insert(buffer.end(), chunk, chunk + n);
            if (events) events->Set(EventSet::kReceive);
        }
    }
};

// Open devices: a stale or foreign handle is refused instead of followed.
std::mutex g_live_mutex;
std::set<const void*> g_live;

Device* Dev(FT_HANDLE h) {
    std::lock_guard<std::mutex> lock(g_live_mutex);
    return g_live.count(h) != 0 ? static_cast<Device*>(h) : nullptr;
}

// A call on an open device: finds the device behind the handle and holds its context
// lock, taken ahead of the reader, for the rest of the call. Holds nothing when the
// handle is stale or foreign.
class DeviceCall {
public:
    explicit DeviceCall(FT_HANDLE handle) : d_(Dev(handle)) {
        if (d_ == nullptr) return;
        ++d_->callers;
        d_->ctx_mutex.lock();
        --d_->callers;
    }
    ~DeviceCall() {
        if (d_ != nullptr) d_->ctx_mutex.unlock();
    }
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;

    explicit operator bool() const { return d_ != nullptr; }
    Device* operator->() const { return d_; }

private:
    Device* d_;
};

// Runs fn over every FTDI device with its strings; stops when fn returns true.
template <typename Fn>
FT_STATUS ForEachDevice(Fn fn) {
    ftdi_context* ctx = ftdi_new();
    if (ctx == nullptr) return FT_OK;  // libusb cannot start: no USB bus, no devices
    ftdi_device_list* list = nullptr;
    int n = ftdi_usb_find_all(ctx, &list, 0, 0);
    if (n < 0) {
        // No USB bus or no permission to read it: no devices.
        ftdi_free(ctx);
        return FT_OK;
    }
    uint32_t index = 0;
    for (ftdi_device_list* d = list; d != nullptr; d = d->next, ++index) {
        char manufacturer[kTextSize] = {}, description[kTextSize] = {}, serial[kTextSize] = {};
        ftdi_usb_get_strings2(ctx, d->dev, manufacturer, sizeof manufacturer, description,
                              sizeof description, serial, sizeof serial);
        if (fn(index, ctx, d->dev, description, serial)) break;
    }
    ftdi_list_free(&list);
    ftdi_free(ctx);
    return FT_OK;
}

void CopyText(char* out, size_t size, const char* text) {
    if (out == nullptr || size == 0) return;
    std::strncpy(out, text, size - 1);
    out[size - 1] = 0;
}

}  // namespace

FtdiD2xx::FtdiD2xx() = default;
FtdiD2xx::~FtdiD2xx() = default;

FT_STATUS FtdiD2xx::ListDevices(uint32_t index, uint32_t* count, char* text, size_t text_size,
                                uint32_t flags) {
    std::lock_guard<std::mutex> lock(list_mutex_);
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (count == nullptr) return FT_INVALID_PARAMETER;
        uint32_t n = 0;
        FT_STATUS s =
            ForEachDevice([&n](uint32_t, ftdi_context*, libusb_device*, const char*, const char*) {
                ++n;
                return false;
            });
        *count = n;
        return s;
    }
    if ((flags & FT_LIST_BY_INDEX) == 0 || text == nullptr) return FT_INVALID_PARAMETER;
    bool found = false;
    FT_STATUS s = ForEachDevice(
        [&](uint32_t i, ftdi_context*, libusb_device*, const char* desc, const char* serial) {
            if (i != index) return false;
            CopyText(text, text_size, (flags & FT_OPEN_BY_DESCRIPTION) ? desc : serial);
            found = true;
            return true;
        });
    if (s != FT_OK) return s;
    return found ? FT_OK : FT_DEVICE_NOT_FOUND;
}

FT_STATUS FtdiD2xx::OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) {
    if (arg == nullptr || handle == nullptr) return FT_INVALID_PARAMETER;
    *handle = nullptr;
    std::lock_guard<std::mutex> lock(list_mutex_);
    auto device = std::make_unique<Device>();
    device->ctx = ftdi_new();
    if (device->ctx == nullptr) return FT_DEVICE_NOT_FOUND;  // no USB bus
    // Give the kernel's serial driver the device back when we close it.
    device->ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    ftdi_device_list* list = nullptr;
    int n = ftdi_usb_find_all(device->ctx, &list, 0, 0);
    FT_STATUS status = FT_DEVICE_NOT_FOUND;
    if (n > 0) {
        for (ftdi_device_list* d = list; d != nullptr; d = d->next) {
            char m[kTextSize] = {}, desc[kTextSize] = {}, serial[kTextSize] = {};
            ftdi_usb_get_strings2(device->ctx, d->dev, m, sizeof m, desc, sizeof desc, serial,
                                  sizeof serial);
            const char* key = (flags & FT_OPEN_BY_DESCRIPTION) ? desc : serial;
            if (std::strcmp(key, arg) != 0) continue;
            status = FromFtdi(ftdi_usb_open_dev(device->ctx, d->dev));
            break;
        }
    }
    ftdi_list_free(&list);
    if (status != FT_OK) {
        ftdi_free(device->ctx);
        return status;
    }
    device->ctx->usb_read_timeout = kReadTimeoutMs;
    device->reader = std::thread([d = device.get()] { d->ReadLoop(); });
    {
        std::lock_guard<std::mutex> live(g_live_mutex);
        g_live.insert(device.get());
    }
    *handle = device.release();
    return FT_OK;
}

FT_STATUS FtdiD2xx::Close(FT_HANDLE handle) {
    Device* d = Dev(handle);
    if (d == nullptr) return FT_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> live(g_live_mutex);
        g_live.erase(d);
    }
    d->stop.store(true);
    if (d->reader.joinable()) d->reader.join();
    int r = ftdi_usb_close(d->ctx);
    ftdi_free(d->ctx);
    delete d;
    return FromFtdi(r);
}

FT_STATUS FtdiD2xx::SetLatencyTimer(FT_HANDLE handle, uint8_t ms) {
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    return FromFtdi(ftdi_set_latency_timer(d->ctx, ms));
}

FT_STATUS FtdiD2xx::SetBaudRate(FT_HANDLE handle, uint32_t baud) {
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    return FromFtdi(ftdi_set_baudrate(d->ctx, static_cast<int>(baud)));
}

FT_STATUS FtdiD2xx::SetDataCharacteristics(FT_HANDLE handle, uint8_t word_length, uint8_t stop_bits,
                                           uint8_t parity) {
    ftdi_bits_type bits = word_length == 7 ? BITS_7 : BITS_8;
    ftdi_stopbits_type stop = stop_bits == 2 ? STOP_BIT_2 : STOP_BIT_1;
    ftdi_parity_type par = static_cast<ftdi_parity_type>(parity <= 4 ? parity : 0);
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    return FromFtdi(ftdi_set_line_property(d->ctx, bits, stop, par));
}

FT_STATUS FtdiD2xx::SetFlowControl(FT_HANDLE handle, uint16_t flow, uint8_t xon, uint8_t xoff) {
    // The flow values of both libraries are the same bits (0x100 RTS/CTS, 0x200
    // DTR/DSR, 0x400 XON/XOFF); only XON/XOFF takes the characters.
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    if (flow == SIO_XON_XOFF_HS) return FromFtdi(ftdi_setflowctrl_xonxoff(d->ctx, xon, xoff));
    return FromFtdi(ftdi_setflowctrl(d->ctx, flow));
}

FT_STATUS FtdiD2xx::Purge(FT_HANDLE handle, uint32_t mask) {
    // The reader is kept out until both the chip and our buffer are empty, so no
    // byte from before the purge slips in between.
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    int r = 0;
    if ((mask & (FT_PURGE_RX | FT_PURGE_TX)) == (FT_PURGE_RX | FT_PURGE_TX))
        r = ftdi_tcioflush(d->ctx);
    else if (mask & FT_PURGE_RX)
        r = ftdi_tciflush(d->ctx);
    else if (mask & FT_PURGE_TX)
        r = ftdi_tcoflush(d->ctx);
    if (mask & FT_PURGE_RX) {
        std::lock_guard<std::mutex> buffer_lock(d->buffer_mutex);
        d->buffer.clear();
    }
    return FromFtdi(r);
}

FT_STATUS FtdiD2xx::SetChars(FT_HANDLE handle, uint8_t event_char, uint8_t event_enable,
                             uint8_t error_char, uint8_t error_enable) {
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    int r = ftdi_set_event_char(d->ctx, event_char, event_enable);
    if (r >= 0) r = ftdi_set_error_char(d->ctx, error_char, error_enable);
    return FromFtdi(r);
}

FT_STATUS FtdiD2xx::SetEventNotification(FT_HANDLE handle, uint32_t mask, EventSet* events) {
    Device* d = Dev(handle);
    if (d == nullptr) return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(d->buffer_mutex);
    d->events = mask != 0 ? events : nullptr;
    if (d->events != nullptr && !d->buffer.empty()) d->events->Set(EventSet::kReceive);
    return FT_OK;
}

FT_STATUS FtdiD2xx::GetStatus(FT_HANDLE handle, uint32_t* rx_queue, uint32_t* tx_queue,
                              uint32_t* event_status) {
    Device* d = Dev(handle);
    if (d == nullptr) return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(d->buffer_mutex);
    if (d->buffer.empty() && d->error.load() != 0) return FromFtdi(d->error.load());
    if (rx_queue) *rx_queue = static_cast<uint32_t>(d->buffer.size());
    if (tx_queue) *tx_queue = 0;
    if (event_status) *event_status = 0;
    return FT_OK;
}

FT_STATUS FtdiD2xx::Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* got) {
    Device* d = Dev(handle);
    if (d == nullptr) return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(d->buffer_mutex);
    uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(d->buffer.size()));
    if (n > 0) std::memcpy(buffer, d->buffer.data(), n);
    d->buffer.erase(d->buffer.begin(), d->buffer.begin() + n);
    if (got) *got = n;
    if (n == 0 && d->error.load() != 0) return FromFtdi(d->error.load());
    return FT_OK;
}

FT_STATUS FtdiD2xx::Write(FT_HANDLE handle, const void* data, uint32_t size, uint32_t* written) {
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    int r =
        ftdi_write_data(d->ctx, static_cast<const unsigned char*>(data), static_cast<int>(size));
    if (written) *written = r > 0 ? static_cast<uint32_t>(r) : 0;
    return FromFtdi(r);
}

}  // namespace d2xx
