#include "tools/velt-process/publish.h"

#include <cstdio>
#include <thread>

#include "export/mqtt_topics.h"
#include "link/oximeter.h"
#include "link/packet_record.h"
#include "platform/system_info.h"
#include "processing/measurement.h"
#include "processing/view_field.h"
#include "sessions/alarm_fields.h"
#include "sessions/alarm_report.h"
#include "sessions/second_snapshot.h"

namespace {

constexpr int64_t kObserveUs = 250000;  // as the GUI's timer
constexpr int kRecordMs = 20;           // one framed record of the device
constexpr uint64_t kAlarmStepMs = 100;  // as a window's alarm timer

}  // namespace

std::unique_ptr<HeadlessPublisher> HeadlessPublisher::Start(const HeadlessPublishOptions& options,
                                                            COximeter& link, ILinkView& view,
                                                            std::string* error) {
    if (!options.monitor.empty() && !mqtt::ValidMonitorName(options.monitor)) {
        *error = "--monitor \"" + options.monitor + "\" " + mqtt::kMonitorNameRule;
        return nullptr;
    }
    std::string monitor =
        options.monitor.empty() ? mqtt::EscapeTopicName(platform::ComputerName()) : options.monitor;
    std::unique_ptr<HeadlessPublisher> p(
        new HeadlessPublisher(options, link, view, std::move(monitor)));
    if (const std::string warning = mqtt::BrokerWarnings(options.broker); !warning.empty())
        std::fprintf(stderr, "velt-process: MQTT: %s\n", warning.c_str());
    p->publisher_.Connection().SetProblemHandler([](const std::string& problem) {
        std::fprintf(stderr, "velt-process: MQTT: %s\n", problem.c_str());
    });
    if (!p->publisher_.Start(error)) return nullptr;
    // The first values should find the broker: wait a moment for the connection (not
    // after a failed first attempt: that is reported, and tried again meanwhile).
    const mqtt::Client& c = p->publisher_.Connection();
    for (int i = 0;
         i < 300 && !c.Connected() && c.GetStatus().state != mqtt::Client::State::kRetrying; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    link.SetRecordObserver(&HeadlessPublisher::OnRecord, p.get());
    if (options.waveform && link.Measurement() != nullptr &&
        !link.Measurement()->AddSampleObserver(&HeadlessPublisher::OnSample, p.get())) {
        *error = "no place left to watch the samples";
        return nullptr;
    }
    p->start_ = std::chrono::steady_clock::now();
    p->start_unix_us_ = mqtt::MonitorPublisher::NowUs();
    return p;
}

HeadlessPublisher::HeadlessPublisher(const HeadlessPublishOptions& options, COximeter& link,
                                     ILinkView& view, std::string monitor)
    : options_(options),
      link_(link),
      view_(view),
      publisher_(options.broker, std::move(monitor),
                 mqtt::EscapeTopicName(options.port.substr(options.port.find_last_of('/') + 1)),
                 options.waveform),
      alarms_(options.alarm_settings) {}

bool HeadlessPublisher::End() {
    const mqtt::Client& c = publisher_.Connection();
    if (!ended_) {
        ended_ = true;
        link_.SetRecordObserver(nullptr, nullptr);
        if (link_.Measurement() != nullptr) link_.Measurement()->RemoveSampleObserver(this);
        streaming_ = false;
        Observe(mqtt::MonitorPublisher::NowUs());
        publisher_.FlushPleth();
        // The stream has ended: the broker keeps no alarms of it.
        publisher_.ClearAlarms(mqtt::MonitorPublisher::NowUs());
        // Until the queue is sent and the broker has answered at least once (the
        // state is acknowledged on every connection): it may refuse.
        for (int i = 0;
             i < 300 && c.Connected() && (c.Queued() > 0 || c.Acknowledged() + c.Denied() == 0);
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return c.Sent() > 0 && (c.Acknowledged() > 0 || c.Denied() == 0);
}

HeadlessPublisher::~HeadlessPublisher() { End(); }

void HeadlessPublisher::Observe(int64_t now_us) {
    last_observed_us_ = now_us;
    data_export::SecondValues v = TakeSecondValues(view_, &link_, now_us);
    // No port is open here: while records come, the stream is the link.
    if (streaming_ && v.link == data_export::LinkState::kClosed)
        v.link = v.status == "*** No data" ? data_export::LinkState::kNoData
                                           : data_export::LinkState::kConnected;
    publisher_.Observe(v);
    publisher_.FlushPleth();
    PublishAlarms(now_us);
}

void HeadlessPublisher::PublishAlarms(int64_t now_us) {
    alarms::Entry list[alarms::kKindCount];
    mqtt::AlarmInfo infos[alarms::kKindCount];
    const size_t n = alarms_.List(list, alarms::kKindCount);
    for (size_t i = 0; i < n; ++i) infos[i] = AlarmInfoOf(list[i], start_unix_us_);
    publisher_.ObserveAlarms(now_us, infos, n);
}

void HeadlessPublisher::EvaluateAlarms() {
    char spo2[32], pulse[32], status[64];
    view_.GetFieldText(Spo2, spo2, sizeof spo2);
    view_.GetFieldText(Pulse, pulse, sizeof pulse);
    view_.GetFieldText(StatusText, status, sizeof status);
    alarms_.Update(alarm_ms_, ShownFromFields(spo2, pulse, status, link_.Lost()), OnAlarmEvent,
                   this);
    // A start or an end goes out at once, not at the next observation.
    if (alarms_changed_) {
        alarms_changed_ = false;
        PublishAlarms(mqtt::MonitorPublisher::NowUs());
    }
}

void HeadlessPublisher::OnAlarmEvent(void* context, const alarms::Event& event) {
    auto* p = static_cast<HeadlessPublisher*>(context);
    const int64_t now = mqtt::MonitorPublisher::NowUs();
    p->publisher_.AlarmEvent(now, alarms::EventName(event.what),
                             AlarmInfoOf(event.alarm, p->start_unix_us_));
    p->alarms_changed_ = true;
}

void HeadlessPublisher::OnSample(void* context, const processing::CurrentSample& sample,
                                 const uint8_t*) {
    static_cast<HeadlessPublisher*>(context)->publisher_.AddPlethSample(sample.sIR);
}

void HeadlessPublisher::OnRecord(void* context, const PacketRecord&) {
    auto* p = static_cast<HeadlessPublisher*>(context);
    ++p->records_;
    p->streaming_ = true;
    if (p->options_.pace)
        std::this_thread::sleep_until(
            p->start_ + std::chrono::milliseconds(static_cast<int64_t>(p->records_) * kRecordMs));
    const uint64_t device_ms = p->records_ * kRecordMs;
    if (device_ms - p->alarm_ms_ >= kAlarmStepMs) {
        p->alarm_ms_ = device_ms;
        p->EvaluateAlarms();
    }
    const int64_t now = mqtt::MonitorPublisher::NowUs();
    if (now - p->last_observed_us_ >= kObserveUs) p->Observe(now);
}
