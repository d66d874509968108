#include "export/monitor_publisher.h"

#include <algorithm>
#include <chrono>

#include "export/mqtt_topics.h"

namespace mqtt {

using data_export::LinkState;

int64_t MonitorPublisher::NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

MonitorPublisher::MonitorPublisher(const BrokerOptions& options, std::string monitor,
                                   std::string port, bool waveform, size_t queue_limit)
    : monitor_(std::move(monitor)),
      port_(std::move(port)),
      waveform_(waveform),
      values_topic_(Topic(monitor_, port_, Leaf::kValues)),
      events_topic_(Topic(monitor_, port_, Leaf::kEvents)),
      pleth_topic_(Topic(monitor_, port_, Leaf::kPleth)),
      alarms_topic_(Topic(monitor_, port_, Leaf::kAlarms)),
      client_(options, queue_limit) {
    client_.SetStateTopic(Topic(monitor_, port_, Leaf::kState));
}

void MonitorPublisher::Event(int64_t unix_us, const char* kind, const std::string& text) {
    client_.Publish(events_topic_, EventJson(unix_us, kind, text), Delivery::kEvent);
}

void MonitorPublisher::Observe(const data_export::SecondValues& v) {
    if (have_last_) {
        if (v.link != last_link_) {
            if (v.link == LinkState::kLost)
                Event(v.unix_us, "lost", v.status);
            else if (v.link == LinkState::kNoData)
                Event(v.unix_us, "no data", v.status);
            else if (v.link == LinkState::kConnected &&
                     (last_link_ == LinkState::kLost || last_link_ == LinkState::kNoData))
                Event(v.unix_us, "back", v.status);
            else if (v.link == LinkState::kClosed)
                Event(v.unix_us, "closed", v.status);
            else
                Event(v.unix_us, "connected", v.status);
        } else if (v.status != last_status_) {
            Event(v.unix_us, "status", v.status);
        }
    }
    have_last_ = true;
    last_link_ = v.link;
    last_status_ = v.status;
    const int64_t second = v.unix_us / 1000000;
    if (second != last_values_second_) {
        last_values_second_ = second;
        ValuesJson(v, buffer_);
        client_.Publish(values_topic_, buffer_, Delivery::kValue);
    }
}

void MonitorPublisher::ObserveAlarms(int64_t unix_us, const AlarmInfo* alarms, size_t count) {
    // An unchanged list is not sent again.
    if (alarms_published_ &&
        std::equal(alarms, alarms + count, last_alarms_.begin(), last_alarms_.end()))
        return;
    alarms_published_ = true;
    last_alarms_.assign(alarms, alarms + count);
    AlarmsJson(unix_us, alarms, count, buffer_);
    client_.Publish(alarms_topic_, buffer_, Delivery::kState);
}

void MonitorPublisher::AlarmEvent(int64_t unix_us, const char* what, const AlarmInfo& alarm) {
    client_.Publish(events_topic_, AlarmEventJson(unix_us, what, alarm), Delivery::kEvent);
}

void MonitorPublisher::FlushPleth() {
    if (pleth_count_ == 0) return;
    PlethJson(pleth_first_us_, kPlethRateHz, pleth_, pleth_count_, buffer_);
    pleth_count_ = 0;
    client_.Publish(pleth_topic_, buffer_, Delivery::kValue);
}

}  // namespace mqtt
