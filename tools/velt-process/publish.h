// velt-process --publish: what the headless view shows goes to an MQTT broker as
// velt-monitoring publishes it (state, values once a second, events, the alarms a
// window with the given alarm settings raises, and with --waveform the
// plethysmogram), optionally paced in device time (one framed record
// per 20 ms) for a bedside box or a load test.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "export/monitor_publisher.h"
#include "export/mqtt_client.h"
#include "processing/alarms.h"

class COximeter;
class ILinkView;
struct PacketRecord;
namespace processing {
struct CurrentSample;
}

struct HeadlessPublishOptions {
    mqtt::BrokerOptions broker;  // broker.url empty: no publishing
    std::string monitor;         // empty: the host name
    std::string port;            // the topic's port level (the input's name)
    bool pace = false;
    bool waveform = false;
    alarms::Settings alarm_settings = alarms::Settings::Defaults();
};

class HeadlessPublisher {
public:
    // Checks the options and connects; null with *error when it cannot start.
    static std::unique_ptr<HeadlessPublisher> Start(const HeadlessPublishOptions& options,
                                                    COximeter& link, ILinkView& view,
                                                    std::string* error);
    // The last values (the link "closed"), then waits (at most 3 s) until the queue is
    // sent. False when nothing processed reached the broker: it was never connected, or
    // refused every message it acknowledged (each failure went to stderr as it came).
    bool End();
    // End() when not called, and ends the connection cleanly (the state turns "offline").
    ~HeadlessPublisher();

    uint64_t Records() const { return records_; }

private:
    HeadlessPublisher(const HeadlessPublishOptions& options, COximeter& link, ILinkView& view,
                      std::string monitor);
    // Records pace the stream and time the values; the plethysmogram comes from the
    // samples the interpretation sees.
    static void OnRecord(void* context, const PacketRecord& record);
    static void OnSample(void* context, const processing::CurrentSample& sample,
                         const uint8_t* ecg);
    void Observe(int64_t now_us);
    // The alarms over what the view shows at the stream's device time (one record per
    // 20 ms), evaluated as often as a window does.
    void EvaluateAlarms();
    void PublishAlarms(int64_t now_us);
    static void OnAlarmEvent(void* context, const alarms::Event& event);

    HeadlessPublishOptions options_;
    COximeter& link_;
    ILinkView& view_;
    mqtt::MonitorPublisher publisher_;
    std::chrono::steady_clock::time_point start_;
    int64_t start_unix_us_ = 0;  // the device time's zero on the wall clock
    uint64_t records_ = 0;
    int64_t last_observed_us_ = 0;
    bool streaming_ = false;  // records come: the link is "connected"
    alarms::AlarmMonitor alarms_;
    uint64_t alarm_ms_ = 0;  // the device time the alarms were last evaluated at
    bool alarms_changed_ = false;
    bool ended_ = false;
};
