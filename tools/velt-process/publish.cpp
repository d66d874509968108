#include "tools/velt-process/publish.h"

#include <thread>

#include "export/mqtt_topics.h"
#include "link/oximeter.h"
#include "link/packet_record.h"
#include "platform/system_info.h"
#include "processing/measurement.h"
#include "sessions/second_snapshot.h"

namespace {

constexpr int64_t kObserveUs = 250000;  // as the GUI's timer
constexpr int kRecordMs = 20;           // one framed record of the device

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
    if (!p->publisher_.Start(error)) return nullptr;
    // The first values should find the broker: wait a moment for the connection.
    for (int i = 0; i < 300 && !p->publisher_.Connection().Connected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    link.SetRecordObserver(&HeadlessPublisher::OnRecord, p.get());
    if (options.waveform && link.Measurement() != nullptr &&
        !link.Measurement()->AddSampleObserver(&HeadlessPublisher::OnSample, p.get())) {
        *error = "no place left to watch the samples";
        return nullptr;
    }
    p->start_ = std::chrono::steady_clock::now();
    return p;
}

HeadlessPublisher::HeadlessPublisher(const HeadlessPublishOptions& options, COximeter& link,
                                     ILinkView& view, std::string monitor)
    : options_(options),
      link_(link),
      view_(view),
      publisher_(options.broker, std::move(monitor),
                 mqtt::EscapeTopicName(options.port.substr(options.port.find_last_of('/') + 1)),
                 options.waveform) {}

HeadlessPublisher::~HeadlessPublisher() {
    link_.SetRecordObserver(nullptr, nullptr);
    if (link_.Measurement() != nullptr) link_.Measurement()->RemoveSampleObserver(this);
    Observe(mqtt::MonitorPublisher::NowUs());
    publisher_.FlushPleth();
    for (int i = 0;
         i < 300 && publisher_.Connection().Connected() && publisher_.Connection().Queued() > 0;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void HeadlessPublisher::Observe(int64_t now_us) {
    last_observed_us_ = now_us;
    publisher_.Observe(TakeSecondValues(view_, &link_, now_us));
    publisher_.FlushPleth();
}

void HeadlessPublisher::OnSample(void* context, const processing::CurrentSample& sample,
                                 const uint8_t*) {
    static_cast<HeadlessPublisher*>(context)->publisher_.AddPlethSample(sample.sIR);
}

void HeadlessPublisher::OnRecord(void* context, const PacketRecord&) {
    auto* p = static_cast<HeadlessPublisher*>(context);
    ++p->records_;
    if (p->options_.pace)
        std::this_thread::sleep_until(
            p->start_ + std::chrono::milliseconds(static_cast<int64_t>(p->records_) * kRecordMs));
    const int64_t now = mqtt::MonitorPublisher::NowUs();
    if (now - p->last_observed_us_ >= kObserveUs) p->Observe(now);
}
