#include "link/transport/ftdi_d2xx.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace d2xx {
namespace {

constexpr int kMaxDevices = 32;
constexpr int kTransferSize = 512;  // one read transfer: up to 8 full-speed packets
// Overrun, parity, framing and break in a packet's line-status byte.
constexpr uint32_t kLineErrorBits = 0x02 | 0x04 | 0x08 | 0x10;
constexpr uint32_t kLineOverrun = 0x02;

FT_STATUS FromFtdi(int r) {
    return r >= 0 ? FT_OK : kLibftdiStatusBase + static_cast<FT_STATUS>(-r);
}

// The real table.
int LibList(FtdiDeviceText* out, int max) {
    ftdi_context* ctx = ftdi_new();
    if (ctx == nullptr) return -1;  // libusb cannot start: no USB bus
    ftdi_device_list* list = nullptr;
    int n = ftdi_usb_find_all(ctx, &list, 0, 0);
    int count = 0;
    for (ftdi_device_list* d = list; n > 0 && d != nullptr && count < max; d = d->next, ++count) {
        char manufacturer[kTextSize] = {};
        out[count] = FtdiDeviceText{};
        ftdi_usb_get_strings2(ctx, d->dev, manufacturer, sizeof manufacturer,
                              out[count].description, kTextSize, out[count].serial, kTextSize);
    }
    if (list != nullptr) ftdi_list_free(&list);
    ftdi_free(ctx);
    return n < 0 ? n : count;
}

void* LibOpen(const char* serial, int timeout_ms, int* error) {
    ftdi_context* ctx = ftdi_new();
    if (ctx == nullptr) {
        *error = -1;
        return nullptr;
    }
    // Give the kernel's serial driver the device back when we close it.
    ctx->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    // Writes and control transfers, the opening's own included.
    ctx->usb_write_timeout = timeout_ms;
    ftdi_device_list* list = nullptr;
    int n = ftdi_usb_find_all(ctx, &list, 0, 0);
    int r = -3;  // device not found
    for (ftdi_device_list* d = list; n > 0 && d != nullptr; d = d->next) {
        char m[kTextSize] = {}, desc[kTextSize] = {}, sn[kTextSize] = {};
        ftdi_usb_get_strings2(ctx, d->dev, m, sizeof m, desc, sizeof desc, sn, sizeof sn);
        if (std::strcmp(sn, serial) != 0) continue;
        r = ftdi_usb_open_dev(ctx, d->dev);
        break;
    }
    if (list != nullptr) ftdi_list_free(&list);
    if (r < 0) {
        ftdi_free(ctx);
        *error = r;
        return nullptr;
    }
    return ctx;
}

void LibClose(void* dev) {
    auto* ctx = static_cast<ftdi_context*>(dev);
    ftdi_usb_close(ctx);
    ftdi_free(ctx);
}

ftdi_context* Ctx(void* dev) { return static_cast<ftdi_context*>(dev); }

int LibReadTransfer(void* dev, uint8_t* buffer, int size, int* got, int timeout_ms) {
    // One transfer, not ftdi_read_data: that one gathers transfers until its buffer is
    // full and drops what it gathered when a later one times out.
    *got = 0;
    return libusb_bulk_transfer(Ctx(dev)->usb_dev, static_cast<unsigned char>(Ctx(dev)->out_ep),
                                buffer, size, got, static_cast<unsigned>(timeout_ms));
}

bool StartThread(std::thread* thread, std::function<void()> body) {
    try {
        *thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

const FtdiFunctions kLibftdi = {
    LibList,
    LibOpen,
    LibClose,
    [](void* dev, uint8_t ms) { return ftdi_set_latency_timer(Ctx(dev), ms); },
    [](void* dev, int baud) { return ftdi_set_baudrate(Ctx(dev), baud); },
    [](void* dev, int bits, int stop, int parity) {
        return ftdi_set_line_property(Ctx(dev), bits == 7 ? BITS_7 : BITS_8,
                                      stop == 2 ? STOP_BIT_2 : STOP_BIT_1,
                                      static_cast<ftdi_parity_type>(parity <= 4 ? parity : 0));
    },
    [](void* dev, int flow, uint8_t xon, uint8_t xoff) {
        // The flow values of both libraries are the same bits (0x100 RTS/CTS, 0x200
        // DTR/DSR, 0x400 XON/XOFF); only XON/XOFF takes the characters.
        if (flow == SIO_XON_XOFF_HS) return ftdi_setflowctrl_xonxoff(Ctx(dev), xon, xoff);
        return ftdi_setflowctrl(Ctx(dev), flow);
    },
    [](void* dev, uint8_t c, uint8_t on) { return ftdi_set_event_char(Ctx(dev), c, on); },
    [](void* dev, uint8_t c, uint8_t on) { return ftdi_set_error_char(Ctx(dev), c, on); },
    [](void* dev, bool rx, bool tx) {
        if (rx && tx) return ftdi_tcioflush(Ctx(dev));
        if (rx) return ftdi_tciflush(Ctx(dev));
        return tx ? ftdi_tcoflush(Ctx(dev)) : 0;
    },
    LibReadTransfer,
    [](void* dev) { return static_cast<int>(Ctx(dev)->max_packet_size); },
    [](void* dev, const uint8_t* data, int size) { return ftdi_write_data(Ctx(dev), data, size); },
    StartThread,
};

struct Device {
    const FtdiFunctions* f = nullptr;
    void* dev = nullptr;
    // One converter context is not thread-safe: settings hold both locks. The reader
    // holds only ctx_mutex and a write only write_mutex, so an acknowledgement never
    // waits for a read transfer: the reader's transfer on the IN endpoint touches
    // nothing of the context that a write uses.
    std::mutex ctx_mutex;
    std::mutex write_mutex;
    std::mutex buffer_mutex;
    std::vector<uint8_t> buffer;  // received, not yet read
    EventSet* events = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<int> error{0};
    std::atomic<int> callers{0};             // other calls waiting for the context
    std::atomic<uint32_t> line_errors{0};    // error bits of the line status since asked
    std::atomic<uint64_t> dropped_bytes{0};  // received while the buffer was full
    std::thread reader;

    void ReadLoop() {
        uint8_t raw[kTransferSize];
        const int packet = std::max(3, f->packet_size(dev));
        while (!stop.load()) {
            // A mutex is not fair: let a waiting acknowledgement or setting go first.
            while (callers.load() > 0 && !stop.load()) std::this_thread::yield();
            int got = 0, r;
            {
                std::lock_guard<std::mutex> lock(ctx_mutex);
                // One packet per transfer: a transfer ends only on a short packet, so
                // a frame that exactly fills its packets would otherwise wait for the
                // next latency tick.
                r = f->read_transfer(dev, raw, std::min<int>(packet, sizeof raw), &got,
                                     kFtdiReadTimeoutMs);
                // What arrived counts whatever the result; kept before the lock goes,
                // so that a purge cannot be overtaken by bytes from before it.
                if (got > 0) Keep(raw, got, packet);
            }
            if (r == 0 || r == kFtdiTimeout) continue;  // an idle line is no failure
            error.store(r);
            std::lock_guard<std::mutex> lock(buffer_mutex);
            if (events) events->Set(EventSet::kReceive);
            return;
        }
    }

    // Each packet begins with the two status bytes of the converter.
    void Keep(const uint8_t* raw, int size, int packet) {
        std::lock_guard<std::mutex> lock(buffer_mutex);
        const size_t before = buffer.size();
        uint32_t errors = 0;
        size_t dropped = 0;
        for (int at = 0; at < size; at += packet) {
            const int end = std::min(size, at + packet);
            if (end - at >= 2) errors |= raw[at + 1] & kLineErrorBits;
            if (end - at <= 2) continue;
            // Nobody reads (a setting failed after the open, the link gave up): the
            // newest bytes go, counted, rather than memory without end.
            const size_t n = static_cast<size_t>(end - at - 2);
            const size_t room = kReceiveBufferSize - std::min(kReceiveBufferSize, buffer.size());
            buffer.insert(buffer.end(), raw + at + 2, raw + at + 2 + std::min(n, room));
            dropped += n - std::min(n, room);
        }
        if (dropped != 0) {
            errors |= kLineOverrun;
            dropped_bytes.fetch_add(dropped);
        }
        if (errors != 0) line_errors.fetch_or(errors);
        if (buffer.size() != before && events) events->Set(EventSet::kReceive);
    }
};

// Open devices: a stale or foreign handle is refused instead of followed.
std::mutex g_live_mutex;
std::set<const void*> g_live;

Device* Dev(FT_HANDLE h) {
    std::lock_guard<std::mutex> lock(g_live_mutex);
    return g_live.count(h) != 0 ? static_cast<Device*>(h) : nullptr;
}

// A setting on an open device: finds the device behind the handle and holds its
// context lock, taken ahead of the reader, and the write lock for the rest of the
// call. Holds nothing when the handle is stale or foreign.
class DeviceCall {
public:
    explicit DeviceCall(FT_HANDLE handle) : d_(Dev(handle)) {
        if (d_ == nullptr) return;
        ++d_->callers;
        d_->ctx_mutex.lock();
        --d_->callers;
        d_->write_mutex.lock();
    }
    ~DeviceCall() {
        if (d_ == nullptr) return;
        d_->write_mutex.unlock();
        d_->ctx_mutex.unlock();
    }
    DeviceCall(const DeviceCall&) = delete;
    DeviceCall& operator=(const DeviceCall&) = delete;

    explicit operator bool() const { return d_ != nullptr; }
    Device* operator->() const { return d_; }

private:
    Device* d_;
};

void CopyText(char* out, size_t size, const char* text) {
    if (out == nullptr || size == 0) return;
    std::strncpy(out, text, size - 1);
    out[size - 1] = 0;
}

}  // namespace

const FtdiFunctions& LibftdiFunctions() { return kLibftdi; }

FtdiD2xx::FtdiD2xx() : f_(kLibftdi) {}
FtdiD2xx::FtdiD2xx(const FtdiFunctions& functions) : f_(functions) {}
FtdiD2xx::~FtdiD2xx() = default;

FT_STATUS FtdiD2xx::ListDevices(uint32_t index, uint32_t* count, char* text, size_t text_size,
                                uint32_t flags) {
    std::lock_guard<std::mutex> lock(list_mutex_);
    std::vector<FtdiDeviceText> devices(kMaxDevices);
    // No USB bus or no permission to read it: no devices.
    const int n = std::max(0, f_.list(devices.data(), kMaxDevices));
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (count == nullptr) return FT_INVALID_PARAMETER;
        *count = static_cast<uint32_t>(n);
        return FT_OK;
    }
    if ((flags & FT_LIST_BY_INDEX) == 0 || text == nullptr) return FT_INVALID_PARAMETER;
    if (index >= static_cast<uint32_t>(n)) return FT_DEVICE_NOT_FOUND;
    const FtdiDeviceText& d = devices[index];
    CopyText(text, text_size, (flags & FT_OPEN_BY_DESCRIPTION) ? d.description : d.serial);
    return FT_OK;
}

FT_STATUS FtdiD2xx::OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) {
    if (arg == nullptr || handle == nullptr) return FT_INVALID_PARAMETER;
    *handle = nullptr;
    std::lock_guard<std::mutex> lock(list_mutex_);
    std::string serial = arg;
    if (flags & FT_OPEN_BY_DESCRIPTION) {
        std::vector<FtdiDeviceText> devices(kMaxDevices);
        const int n = f_.list(devices.data(), kMaxDevices);
        serial.clear();
        for (int i = 0; i < n && serial.empty(); ++i)
            if (std::strcmp(devices[i].description, arg) == 0) serial = devices[i].serial;
        if (serial.empty()) return FT_DEVICE_NOT_FOUND;
    }
    int error = 0;
    void* dev = f_.open(serial.c_str(), kFtdiWriteTimeoutMs, &error);
    if (dev == nullptr) return error < 0 ? FromFtdi(error) : FT_DEVICE_NOT_FOUND;
    auto device = std::make_unique<Device>();
    device->f = &f_;
    device->dev = dev;
    if (!f_.start_thread(&device->reader, [d = device.get()] { d->ReadLoop(); })) {
        f_.close(dev);  // nothing of the opening is kept
        return FT_INSUFFICIENT_RESOURCES;
    }
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
    if (d->reader.joinable()) d->reader.join();  // within one read transfer
    d->f->close(d->dev);
    delete d;
    return FT_OK;
}

FT_STATUS FtdiD2xx::SetLatencyTimer(FT_HANDLE handle, uint8_t ms) {
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    return FromFtdi(f_.set_latency_timer(d->dev, ms));
}

FT_STATUS FtdiD2xx::SetBaudRate(FT_HANDLE handle, uint32_t baud) {
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    return FromFtdi(f_.set_baud_rate(d->dev, static_cast<int>(baud)));
}

FT_STATUS FtdiD2xx::SetDataCharacteristics(FT_HANDLE handle, uint8_t word_length, uint8_t stop_bits,
                                           uint8_t parity) {
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    return FromFtdi(f_.set_line_property(d->dev, word_length, stop_bits, parity));
}

FT_STATUS FtdiD2xx::SetFlowControl(FT_HANDLE handle, uint16_t flow, uint8_t xon, uint8_t xoff) {
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    return FromFtdi(f_.set_flow_control(d->dev, flow, xon, xoff));
}

FT_STATUS FtdiD2xx::Purge(FT_HANDLE handle, uint32_t mask) {
    // The reader keeps what it reads before it lets go of the context, so with the
    // context held here no byte from before the purge can arrive after it.
    DeviceCall d(handle);
    if (!d) return FT_INVALID_HANDLE;
    int r = f_.purge(d->dev, (mask & FT_PURGE_RX) != 0, (mask & FT_PURGE_TX) != 0);
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
    int r = f_.set_event_char(d->dev, event_char, event_enable);
    if (r >= 0) r = f_.set_error_char(d->dev, error_char, error_enable);
    return FromFtdi(r);
}

FT_STATUS FtdiD2xx::SetEventNotification(FT_HANDLE handle, uint32_t mask, EventSet* events) {
    Device* d = Dev(handle);
    if (d == nullptr) return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(d->buffer_mutex);
    d->events = mask != 0 ? events : nullptr;
    if (d->events != nullptr && (!d->buffer.empty() || d->error.load() != 0))
        d->events->Set(EventSet::kReceive);
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
    Device* d = Dev(handle);
    if (d == nullptr) return FT_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(d->write_mutex);
    int r = f_.write(d->dev, static_cast<const uint8_t*>(data), static_cast<int>(size));
    if (written) *written = r > 0 ? static_cast<uint32_t>(r) : 0;
    return FromFtdi(r);
}

FT_STATUS FtdiD2xx::GetModemStatus(FT_HANDLE handle, uint32_t* status) {
    Device* d = Dev(handle);
    if (d == nullptr) return FT_INVALID_HANDLE;
    *status = d->line_errors.exchange(0) << 8;
    return FT_OK;
}

uint64_t FtdiD2xx::DroppedBytes(FT_HANDLE handle) const {
    Device* d = Dev(handle);
    return d != nullptr ? d->dropped_bytes.load() : 0;
}

}  // namespace d2xx
