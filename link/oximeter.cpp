#include "link/oximeter.h"

#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <strings.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "link/configuration.h"
#include "link/link_connection.h"
#include "link/transport/d2xx.h"
#include "link/transport/serial_transport.h"
#include "link/transport/transport.h"
#include "link/transport/usb_transport.h"
#include "platform/debug_output.h"
#include "platform/system_info.h"
#include "platform/tick.h"
#include "processing/measurement.h"

namespace {

constexpr int kCloseStepMs = 20;
constexpr int kCloseWaitMs = 2000;
// A thread inside a slow USB reopen is waited for this long, then left to finish alone.
constexpr int kAbandonAfterMs = 100;
constexpr int kReceivePriority = 50;  // SCHED_FIFO, well above normal, below the kernel's

// The part of a port name that the view shows: from its "#" on, or the whole name.
const char* PortDisplayText(const char* name) {
    const char* hash = std::strchr(name, '#');
    return hash != nullptr ? hash : name;
}

// The fields a display reset writes "x" into, in its order.
constexpr ViewField kValueFields[] = {
    StatusText, LedS_IR,    LedS_Red,    LedS_Red2, LedM_IR,      LedM_Red,      LedM_Red2,
    Adc_IR,     Adc_Red,    Adc_Red2,    AdcSig_IR, AdcSig_Red,   AdcSig_Red2,   GainI,
    Sensor_IR,  Sensor_Red, Sensor_Red2, Rms_IR,    Rms_Red,      Rms_Red2,      Pulse,
    Spo2,       RHbCO,      Rise,        Jitter,    Perfusion_IR, Perfusion_Red, RSens,
    Ambient,    Gener,      Temp};

void CopyPortName(char* dest, const char* src) {
    size_t n = strnlen(src, kPortNameSize - 1);
    std::memmove(dest, src, n);
    dest[n] = '\0';
}

}  // namespace

COximeter::COximeter(const char* port_name, int protocol, bool heartbeat,
                     processing::Measurement* measurement)
    : heartbeat_(heartbeat),
      protocol_(protocol >= 1 && protocol <= 3 ? protocol : 1),
      measurement_(measurement),
      recording_(MakeConnectionRecorder()) {
    if (port_name != nullptr) OpenPort(port_name);
}

COximeter::~COximeter() { ClosePort(); }

int COximeter::OnRxPacket(bool repeat) {
    const uint16_t frame = handoff_.NextFrame();
    // A replay follows what the recorded link did; a live link notes what it does.
    HandoffNote::Outcome outcome = handoff_.Replayed(frame);
    const bool replayed = outcome != HandoffNote::kQueued;
    if (!replayed && queue_.Full()) outcome = HandoffNote::kDropped;
    if (outcome == HandoffNote::kDropped) {
        if (!replayed) handoff_.Add(frame, outcome);
        statistics_.Add(LinkStatistics::kDropped);
        platform::OutputDebugString("************ COximeter::OnRxPacket more than 100 in queue\n");
        return 0;
    }
    PacketRecord* record;
    if (repeat && replayed) {
        const HandoffNote::Record& newest = handoff_.Newest();
        record = newest.valid ? PacketRecord::Create(newest.type, newest.sequence, newest.length,
                                                     newest.payload)
                              : nullptr;
    } else if (repeat) {
        // A record held back from the view counts as taken: handed on at once, as a rule
        // it would have been shown before the next frame's mark, so stand-ins stay as
        // rare as the view's own delays make them.
        record = post_held_ ? nullptr : queue_.CopyTail();
        if (record != nullptr) handoff_.Add(frame, HandoffNote::kStoodIn);
    } else {
        record = PacketRecord::Create(decoder_.type(), decoder_.sequence(), decoder_.length(),
                                      decoder_.payload());
    }
    if (record == nullptr) return -1;
    handoff_.Keep(record->type, record->sequence, record->length, record->payload);
    record->tick = receive_tick_set_ ? receive_tick_ : platform::GetTickCount();
    queue_.Append(record);
    PostRecords();
    return 0;
}

void COximeter::PostRecords() {
    if (pace_posts_) {
        const uint64_t now = platform::MonotonicMicroseconds();
        if (now - last_post_us_ < kViewFrameUs) {
            post_held_ = true;
            return;
        }
        last_post_us_ = now;
    }
    post_held_ = false;
    if (ILinkView* view = View()) view->PostPacketMessage(1, this);
}

int COximeter::HeldRecordsDueMs() {
    if (!post_held_) return -1;
    // Once due, they go at the reader's next wake, which the next frame's bytes bring:
    // its own wait is bounded only in case no more come.
    const uint64_t since = platform::MonotonicMicroseconds() - last_post_us_;
    if (since < kViewFrameUs) return static_cast<int>((2 * kViewFrameUs - since + 999) / 1000);
    last_post_us_ += since;
    post_held_ = false;
    if (ILinkView* view = View()) view->PostPacketMessage(1, this);
    return -1;
}

int COximeter::ProcessPackets() {
    // The receive thread's happenings sit among the records in the order they came, so
    // a record from before a loss is shown before the loss, never after it, and values
    // that arrive after a reconnect or after "No data" are shown, not wiped.
    // The reduced protocol's logs are written by its receive thread, never batched here.
    std::optional<processing::LogBatch> batch;
    if (measurement_ != nullptr && protocol_ != 3) batch.emplace(*measurement_);
    while (queue_.Count() != 0) {
        PacketRecord* record = queue_.Take();
        if (record == nullptr) break;
        if (record->IsEvent()) {
            int32_t error = 0;
            std::memcpy(&error, record->payload, sizeof error);
            ShowEvent(record->type & ~PacketRecord::kEventBit, error, record->payload[4] != 0);
            PacketRecord::Free(record);
            continue;
        }
        if (observer_ != nullptr) observer_(observer_context_, *record);
        if (measurement_ != nullptr)
            processing::InterpretRecord(*measurement_, interpretation_, record->type,
                                        record->payload, record->length, View(), record->tick);
        PacketRecord::Free(record);
    }
    // Happenings that found no memory for their place in the queue: after everything
    // queued, as the newest word.
    if (events_.load(std::memory_order_acquire) != 0) HandleEvents();
    return 0;
}

void COximeter::RaiseEvent(Event e) {
    uint8_t data[5];
    const int32_t error = lost_error_.load(std::memory_order_relaxed);
    std::memcpy(data, &error, sizeof error);
    data[4] = retrying_.load(std::memory_order_relaxed) ? 1 : 0;
    PacketRecord* record = PacketRecord::Create(static_cast<uint8_t>(PacketRecord::kEventBit | e),
                                                0, sizeof data, data);
    if (record != nullptr)
        queue_.Append(record);  // never dropped at the bound: it is what the screen must say
    else
        events_.fetch_or(e, std::memory_order_acq_rel);
    if (ILinkView* view = View()) view->PostPacketMessage(1, this);
}

void COximeter::HandleEvents() {
    const uint32_t events = events_.exchange(0, std::memory_order_acq_rel);
    if (events & (kEventLost | kEventReconnected)) {
        if (Connected())
            ShowEvent(kEventReconnected, 0, false);
        else
            ShowEvent(kEventLost, lost_error_.load(std::memory_order_relaxed),
                      retrying_.load(std::memory_order_relaxed));
    }
    if (events & kEventNoData) ShowEvent(kEventNoData, 0, false);
}

void COximeter::ShowEvent(uint32_t event, int error, bool retrying) {
    if (event == kEventLost) {
        // No number from a device that is gone stays on screen.
        ResetDisplay();
        char text[80];
        std::snprintf(text, sizeof text, "*** Connection lost (error %i)%s", error,
                      retrying ? ", reconnecting.." : "");
        ShowStatus(text);
    } else if (event == kEventReconnected) {
        ResetDisplay();
        ShowStatus("Connected..");
    } else if (event == kEventOtherDevice) {
        char text[96];
        std::snprintf(text, sizeof text, "*** %s leads to another device, waiting..", port_name_);
        ShowStatus(text);
    } else if (event == kEventNoData && Connected() && no_data_.load(std::memory_order_acquire)) {
        // Only while it still holds: a record that came since shows its values instead.
        ShowNoData();
    }
}

void COximeter::ShowNoData() {
    ILinkView* view = View();
    if (view == nullptr) return;
    interpretation_.ResetForDisplay();  // the next frame shows every value again
    view->SetFieldText(StatusText, "*** No data");
    for (ViewField field : kValueFields)
        if (field != StatusText) view->SetFieldText(field, "x");
}

void COximeter::WriteStatistics(const char* port) const {
    char text[256];
    FormatLinkStatistics(text, sizeof text, port, statistics_.Read());
    platform::DebugPrintf("%s\n", text);
}

int COximeter::OnCommandAck() { return 0; }
int COximeter::OnCommandNak() { return 0; }

int COximeter::OpenPort(const char* name) {
    if (name == nullptr) {
        status_ = kLinkStatusNoName;
        return status_;
    }
    char requested[kPortNameSize];
    CopyPortName(requested, name);
    if (connection_) ClosePort();  // callers close first; never leak a running thread
    platform::DebugPrintf("OpenPort(%s)\n", name);
    if (std::strlen(name) >= kPortNameSize)
        platform::DebugPrintf("Port name cut to %i characters\n", kPortNameSize - 1);
    std::memcpy(port_name_, requested, sizeof requested);
    ShowPortText();

    thread_exited_.store(false, std::memory_order_release);
    stop_request_.store(false, std::memory_order_release);
    decoder_.Reset();
    statistics_.Reset();
    ResetDisplay();

    open_failure_[0] = '\0';
    int result = std::strncmp(port_name_, "COM", 3) == 0 ? OpenSerial() : OpenUsb();
    status_ = result;
    if (result != 0) {
        recording_->NotOpened();
        return result;
    }
    ShowStatus("Connected..");
    return 0;
}

int COximeter::OpenSerialDevice(const char* name, int protocol, LinkConnection& c,
                                transport::OpenResult* result,
                                const transport::DeviceIdentity* expected) {
    std::unique_ptr<transport::SerialTransport> serial;
    const transport::OpenResult r = transport::SerialTransport::Open(name, protocol, &serial);
    *result = r;
    if (r.step != transport::OpenStep::Ok || !serial)
        return r.error != 0 ? r.error : kLinkStatusSetupFailed;
    const transport::DeviceIdentity opened = transport::IdentityOfDescriptor(serial->fd());
    if (expected == nullptr)
        c.identity = opened;
    else if (!transport::SameDevice(*expected, opened))
        return kLinkStatusOtherDevice;  // the name changed hands between the look and the open
    serial->Purge();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.transport = std::move(serial);
    c.usb_transport = nullptr;
    c.is_usb = false;
    return 0;
}

int COximeter::OpenSerial() {
    char path[kPortNameSize + 2];
    std::snprintf(path, sizeof path, "%s:", port_name_);
    connection_ = std::make_unique<LinkConnection>();
    std::memcpy(connection_->port_name, port_name_, kPortNameSize);
    connection_->mapped = !platform::ResolveDosDevice(port_name_, "").empty();
    transport::OpenResult r{};
    int e = OpenSerialDevice(port_name_, protocol_, *connection_, &r);
    platform::DebugPrintf("CreateFile(%s) iStatus=%i\n", path, r.fd);
    if (r.step == transport::OpenStep::Open) {
        connection_.reset();
        char text[96];
        std::snprintf(text, sizeof text, "*** COximeter::CreateFile(%s)=error %i", path, e);
        ShowOpenFailure(text);
        platform::DebugPrintf("%s\n", text);
        return e;
    }
    if (e != 0) {
        connection_.reset();
        platform::DebugPrintf("*** Port closed due to error %i during setup.\n", e);
        return kLinkStatusSetupFailed;
    }
    return StartThread();
}

int COximeter::OpenUsbDevice(const char* name, int protocol, LinkConnection& c, bool* matched) {
    d2xx::ID2xx& library = d2xx::D2xxLibrary();
    *matched = false;
    uint32_t count = 0;
    d2xx::FT_STATUS s = library.ListDevices(0, &count, nullptr, 0, d2xx::FT_LIST_NUMBER_ONLY);
    if (s != d2xx::FT_OK) return static_cast<int>(s);

    const char* hash = std::strchr(name, '#');
    if (hash != nullptr) {
        const size_t prefix = static_cast<size_t>(hash - name);
        for (uint32_t i = 0; i < count && !*matched; ++i) {
            char description[d2xx::kTextSize] = {};
            s = library.ListDevices(i, nullptr, description, sizeof description,
                                    d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_DESCRIPTION);
            if (s != d2xx::FT_OK) return static_cast<int>(s);
            *matched = strncasecmp(description, name, prefix) == 0;
        }
    }
    // Without "#" there is neither a description to match nor a serial number.
    if (!*matched) return kLinkStatusNoUsbDevice;

    c.library = &library;
    c.is_usb = true;
    d2xx::FT_HANDLE h = nullptr;
    s = library.OpenEx(hash + 1, d2xx::FT_OPEN_BY_SERIAL_NUMBER, &h);
    if (s != d2xx::FT_OK) return static_cast<int>(s);
    c.usb = h;
    library.SetLatencyTimer(h, 5);  // not checked: the converter works without it
    static const uint32_t kBaud[] = {57600, 115200, 9600};
    if ((s = library.SetBaudRate(h, kBaud[protocol - 1])) != d2xx::FT_OK)
        return static_cast<int>(s);
    if ((s = library.SetDataCharacteristics(h, 8, 2, 0)) != d2xx::FT_OK) return static_cast<int>(s);
    if ((s = library.SetFlowControl(h, 0, 0, 0)) != d2xx::FT_OK) return static_cast<int>(s);
    if ((s = library.Purge(h, d2xx::FT_PURGE_RX | d2xx::FT_PURGE_TX)) != d2xx::FT_OK)
        return static_cast<int>(s);
    auto* usb = new transport::UsbTransport(library, h);
    std::lock_guard<std::mutex> lock(c.mutex);
    c.usb_transport = usb;
    c.transport.reset(usb);
    return 0;
}

int COximeter::OpenUsb() {
    connection_ = std::make_unique<LinkConnection>();
    std::memcpy(connection_->port_name, port_name_, kPortNameSize);
    bool matched = false;
    int s = OpenUsbDevice(port_name_, protocol_, *connection_, &matched);
    if (!matched && s != kLinkStatusNoUsbDevice) {
        connection_.reset();
        return s;  // the device list failed
    }
    if (!matched) {
        const char* hash = std::strchr(port_name_, '#');
        char text[96];
        const int shown = hash != nullptr ? static_cast<int>(hash - port_name_) : kPortNameSize;
        std::snprintf(text, sizeof text, "*** No USB device \"%.*s\"", shown, port_name_);
        ShowOpenFailure(text);
        platform::DebugPrintf("%s\n", text);
        connection_.reset();
        return kLinkStatusNoUsbDevice;
    }
    if (s != 0) return s;  // what was opened is closed by the next ClosePort
    int started = StartThread();
    if (started != 0) return started;
    // The thread may already have lost the device and be releasing it.
    std::lock_guard<std::mutex> lock(connection_->mutex);
    if (connection_->usb == nullptr) return 0;
    d2xx::FT_STATUS c = connection_->library->SetChars(connection_->usb, 0xFB, 1, 0, 0);
    if (c != d2xx::FT_OK) return static_cast<int>(c);
    return 0;
}

int COximeter::OpenTransport(std::unique_ptr<transport::ITransport> t, bool usb) {
    if (!t) return kLinkStatusNoName;
    if (connection_) {
        char keep[kPortNameSize];
        std::memcpy(keep, port_name_, sizeof keep);
        ClosePort();
        std::memcpy(port_name_, keep, sizeof keep);
    }
    thread_exited_.store(false, std::memory_order_release);
    stop_request_.store(false, std::memory_order_release);
    decoder_.Reset();
    statistics_.Reset();
    connection_ = std::make_unique<LinkConnection>();
    connection_->usb_transport = usb ? dynamic_cast<transport::UsbTransport*>(t.get()) : nullptr;
    connection_->transport = std::move(t);
    connection_->is_usb = usb;
    status_ = StartThread();
    if (status_ == 0) ShowStatus("Connected..");
    return status_;
}

int COximeter::StartThread() {
    BeginRecording();
    no_data_.store(false, std::memory_order_release);
    events_.store(0, std::memory_order_release);
    state_.store(kStateConnected, std::memory_order_release);
    try {
        connection_->thread =
            std::thread(protocol_ == 3 ? ReceiveThreadReduced : ReceiveThreadFramed, this);
    } catch (const std::system_error&) {
        state_.store(kStateClosed, std::memory_order_release);
        connection_->transport.reset();
        connection_->usb_transport = nullptr;
        recording_->End();
        return kLinkStatusNoThread;
    }
    // Real-time priority needs privileges that a desktop user rarely has; without it
    // the thread still keeps up (it only waits on I/O), so refusal is not a failure.
    sched_param param{};
    param.sched_priority = kReceivePriority;
    int e = pthread_setschedparam(connection_->thread.native_handle(), SCHED_FIFO, &param);
    if (e != 0) platform::DebugPrintf("Receive thread keeps normal priority (error %i)\n", e);
    return 0;
}

int COximeter::ClosePort() {
    if (connection_) {
        if (connection_->thread.joinable()) {
            if (!thread_exited_.load(std::memory_order_acquire)) {
                stop_request_.store(true, std::memory_order_release);
                {
                    // The thread may be between two attempts to reopen a lost device.
                    std::lock_guard<std::mutex> lock(connection_->mutex);
                    if (connection_->transport) connection_->transport->Wake();
                }
                connection_->retry_cv.notify_all();
                ILinkView* view = View();
                // A receive thread caught in a synchronous field write needs the GUI
                // thread to run it before it can see the stop request.
                int waited = 0;
                bool warned = false;
                bool abandoned = false;
                while (!thread_exited_.load(std::memory_order_acquire)) {
                    if (view != nullptr) view->RunPendingCalls();
                    std::this_thread::sleep_for(std::chrono::milliseconds(kCloseStepMs));
                    waited += kCloseStepMs;
                    if (waited >= kAbandonAfterMs) {
                        // Inside a USB reopen the thread uses only the connection: it may
                        // finish that alone and free it, so a close never waits seconds.
                        std::lock_guard<std::mutex> lock(connection_->mutex);
                        if (connection_->opening) {
                            connection_->abandoned = true;
                            abandoned_threads_.fetch_add(1, std::memory_order_acq_rel);
                            abandoned = true;
                            break;
                        }
                    }
                    if (waited >= kCloseWaitMs && !warned) {
                        // What it uses must outlive it, so keep waiting, still serving its calls.
                        platform::OutputDebugString(
                            "*** Receive thread did not stop within 2000 ms\n");
                        warned = true;
                    }
                }
                if (abandoned) {
                    platform::OutputDebugString(
                        "Receive thread left to finish its reopen; it closes the device\n");
                    connection_->thread.detach();
                    (void)connection_.release();  // the thread frees it
                }
            }
            if (connection_ && connection_->thread.joinable()) connection_->thread.join();
        }
        recording_->End();
        // A connection lost before has had its line already.
        if (Connected()) WriteStatistics(port_name_);
        if (connection_) {
            connection_->transport.reset();  // a serial port gets its settings back here
            connection_->usb_transport = nullptr;
            if (connection_->usb != nullptr) {
                status_ = static_cast<int>(connection_->library->Close(connection_->usb));
                connection_->usb = nullptr;
            }
            connection_.reset();
        }
        state_.store(kStateClosed, std::memory_order_release);
        events_.store(0, std::memory_order_release);
        no_data_.store(false, std::memory_order_release);
        // What the connection queued is shown now, in its order, so that whatever the
        // caller writes next ("Disconnected", the next port) is the last word: a
        // message still on its way finds the queue empty.
        ProcessPackets();
    }
    state_.store(kStateClosed, std::memory_order_release);
    events_.store(0, std::memory_order_release);  // nothing of the old connection is shown
    no_data_.store(false, std::memory_order_release);
    port_name_[0] = '\0';
    if (ILinkView* view = View()) view->SetFieldText(PortText, "");
    return 0;
}

int COximeter::Reconnect() {
    char name[kPortNameSize];
    std::memcpy(name, port_name_, sizeof name);
    ClosePort();
    ResetDisplay();
    OpenPort(name);
    return 0;
}

int COximeter::Disconnect() {
    char name[kPortNameSize];
    std::memcpy(name, port_name_, sizeof name);
    ClosePort();
    std::memcpy(port_name_, name, sizeof name);
    ResetDisplay();
    if (ILinkView* view = View()) {
        view->SetFieldText(PortText, "");
        view->SetFieldText(StatusText, "Disconnected");
    }
    return 0;
}

int COximeter::SetPort(const char* name) {
    if (name == nullptr) return -1;
    char cut[kPortNameSize];
    CopyPortName(cut, name);
    if (std::strcmp(cut, port_name_) != 0) {
        settings_changed_ = true;
        ClosePort();
        ResetDisplay();
        OpenPort(cut);
    }
    return 0;
}

int COximeter::SetProtocol(int n) {
    if (n < 1 || n > 3) return status_;
    char name[kPortNameSize];
    std::memcpy(name, port_name_, sizeof name);
    ClosePort();
    ResetDisplay();
    protocol_ = n;
    OpenPort(name);
    settings_changed_ = true;
    return status_;
}

int COximeter::SetHeartbeatSound(bool on) {
    if (on != heartbeat_.load(std::memory_order_relaxed)) settings_changed_ = true;
    heartbeat_.store(on, std::memory_order_relaxed);
    return status_;
}

int COximeter::SetTrendChannel(int n) {
    if (n < 1 || n > 3 || n == interpretation_.trend_channel) return 0;
    interpretation_.trend_channel = n;
    interpretation_.ResetTrend();
    if (ILinkView* view = View()) view->ResetPlot();
    return 0;
}

int COximeter::GetPortName(char* buffer) {
    if (buffer == nullptr) return -1;
    std::memcpy(buffer, port_name_, kPortNameSize);
    return 0;
}

void COximeter::ShowPortText() {
    ILinkView* view = View();
    if (view == nullptr) return;
    view->SetFieldText(PortText, PortDisplayText(port_name_));
    char computer[256];
    if (ReadComputerName(computer) > 0) view->SetFieldText(ComputerText, computer);
}

void COximeter::ShowStatus(const char* text) {
    if (ILinkView* view = View()) view->SetFieldText(StatusText, text);
}

void COximeter::ShowOpenFailure(const char* text) {
    std::snprintf(open_failure_, sizeof open_failure_, "%s", text);
    ShowStatus(open_failure_);
}

int COximeter::AttachView(ILinkView* view) {
    view_.store(view, std::memory_order_release);
    if (view == nullptr) return 0;
    ShowPortText();
    if (open_failure_[0] != '\0') ShowStatus(open_failure_);
    LoadDocumentation();
    return 0;
}

int COximeter::ResetDisplay() {
    ILinkView* view = View();
    if (view == nullptr) return 0;
    interpretation_.ResetForDisplay();
    for (ViewField field : kValueFields) view->SetFieldText(field, "x");
    view->ResetPlot();
    return 0;
}

int COximeter::SaveSettings(int* first_error) {
    if (first_error != nullptr) *first_error = 0;
    ILinkView* view = View();
    if (view == nullptr) return 0;  // nothing written: 0 is the failure result here
    const int result =
        config::SaveSettings(*view, port_name_, protocol_, HeartbeatSound(), first_error);
    RecordDocumentation();
    return result;
}

int COximeter::LoadDocumentation() {
    ILinkView* view = View();
    if (view == nullptr) return 0;
    config::LoadDocumentation(*view);
    RecordDocumentation();
    return 0;
}

void COximeter::BeginRecording() {
    ConnectionStart start;
    start.port = port_name_;
    start.protocol = protocol_;
    // A COM port as the device it leads to through the device map.
    const std::string entry =
        std::strncmp(port_name_, "COM", 3) == 0 ? platform::ResolveDosDevice(port_name_, "") : "";
    char target[PATH_MAX];
    start.device = start.port;
    if (!entry.empty() && ::realpath(entry.c_str(), target) != nullptr)
        start.device += std::string(" ") + target;
    transport::LineSettings line{};
    if (transport::LineSettingsFor(protocol_, &line))
        start.line = std::to_string(line.baud) + (line.two_stop_bits ? " 8N2" : " 8N1");
    if (recording_->Begin(start)) RecordDocumentation();
}

void COximeter::RecordDocumentation() {
    ILinkView* view = View();
    if (view == nullptr || !recording_->Active()) return;
    static constexpr ViewField kFields[] = {DocOperator, DocSerial, DocSensor, DocComment};
    for (int i = 0; i < 4; ++i) {
        char text[256] = {};
        view->GetFieldText(kFields[i], text, sizeof text);
        recording_->Documentation(i, text);
    }
}

int COximeter::ReadComputerName(char* buffer) {
    if (buffer == nullptr) return 0;
    std::string name = platform::ComputerName();
    if (name.size() > 255) name.resize(255);
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return static_cast<int>(name.size());
}

bool COximeter::HasReceiveThread() const {
    return connection_ != nullptr && connection_->thread.joinable();
}
