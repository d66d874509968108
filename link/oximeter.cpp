#include "link/oximeter.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/configuration.h"
#include "platform/debug_output.h"
#include "platform/system_info.h"

struct LinkConnection {};

namespace {

// The part of a port name that the view shows: from its "#" on, or the whole name.
const char* PortDisplayText(const char* name) {
    const char* hash = std::strchr(name, '#');
    return hash != nullptr ? hash : name;
}

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
      measurement_(measurement) {
    decoder_.Reset();
    if (port_name != nullptr) OpenPort(port_name);
}

COximeter::~COximeter() {
    ClosePort();
    queue_.Clear();
}

int COximeter::OnRxPacket(bool repeat) {
    if (queue_.Full()) {
        platform::OutputDebugString("************ COximeter::OnRxPacket more than 100 in queue\n");
        return 0;
    }
    PacketRecord* record;
    if (repeat) {
        record = queue_.CopyTail();
    } else {
        record = PacketRecord::Create(decoder_.type(), decoder_.sequence(), decoder_.length(),
                                      decoder_.payload());
    }
    if (record == nullptr) return -1;
    queue_.Append(record);
    if (ILinkView* view = View()) view->PostPacketMessage(1, this);
    return 0;
}

int COximeter::ProcessPackets() {
    while (queue_.Count() != 0) {
        PacketRecord* record = queue_.Take();
        if (record == nullptr) break;
        if (observer_ != nullptr) observer_(observer_context_, *record);
        if (measurement_ != nullptr)
            processing::InterpretRecord(*measurement_, interpretation_, *record, View());
        PacketRecord::Free(record);
    }
    return 0;
}

int COximeter::OnCommandAck() { return 0; }
int COximeter::OnCommandNak() { return 0; }

int COximeter::OpenPort(const char* name) {
    if (name == nullptr) {
        status_ = kLinkStatusNoName;
        return status_;
    }
    platform::DebugPrintf("OpenPort(%s)\n", name);
    CopyPortName(port_name_, name);
    ShowPortText();
    ResetDisplay();
    status_ = kLinkStatusSetupFailed;
    return status_;
}

int COximeter::ClosePort() {
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

int COximeter::AttachView(ILinkView* view) {
    view_.store(view, std::memory_order_release);
    if (view == nullptr) return 0;
    ShowPortText();
    LoadDocumentation();
    return 0;
}

int COximeter::ResetDisplay() {
    ILinkView* view = View();
    if (view == nullptr) return 0;
    interpretation_.ResetForDisplay();
    static const ViewField kFields[] = {
        StatusText, LedS_IR,    LedS_Red,    LedS_Red2, LedM_IR,      LedM_Red,      LedM_Red2,
        Adc_IR,     Adc_Red,    Adc_Red2,    AdcSig_IR, AdcSig_Red,   AdcSig_Red2,   GainI,
        Sensor_IR,  Sensor_Red, Sensor_Red2, Rms_IR,    Rms_Red,      Rms_Red2,      Pulse,
        Spo2,       RHbCO,      Rise,        Jitter,    Perfusion_IR, Perfusion_Red, RSens,
        Ambient,    Gener,      Temp};
    for (ViewField field : kFields) view->SetFieldText(field, "x");
    view->ResetPlot();
    return 0;
}

int COximeter::SaveSettings() {
    ILinkView* view = View();
    if (view == nullptr) return 0;
    return config::SaveSettings(*view, port_name_, protocol_, HeartbeatSound());
}

int COximeter::LoadDocumentation() {
    ILinkView* view = View();
    if (view == nullptr) return 0;
    config::LoadDocumentation(*view);
    return 0;
}

int COximeter::ReadComputerName(char* buffer) {
    if (buffer == nullptr) return 0;
    std::string name = platform::ComputerName();
    if (name.size() > 255) name.resize(255);
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return static_cast<int>(name.size());
}

bool COximeter::HasReceiveThread() const { return false; }

int COximeter::OpenSerial() { return kLinkStatusSetupFailed; }
int COximeter::OpenUsb() { return kLinkStatusSetupFailed; }
int COximeter::StartThread() { return kLinkStatusNoThread; }

void ReceiveThreadFramed(COximeter*) {}
void ReceiveThreadReduced(COximeter*) {}
