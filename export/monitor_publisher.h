// What one monitoring window (or headless pipeline) publishes for one port: its state,
// the values once a second, events when the link or the status word changes, its
// alarms (retained) with an event for each start, end and acknowledgement, marks, and,
// when asked for, the plethysmogram in chunks of about 250 ms. Fed by whoever holds the
// view; the network work happens in the client's own thread. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "export/mqtt_client.h"
#include "export/mqtt_topics.h"
#include "export/second_values.h"

namespace mqtt {

class MonitorPublisher {
public:
    static constexpr int kPlethRateHz = 50;  // one record per 20 ms
    static constexpr size_t kPlethChunk = 64;

    // monitor and port as they will stand in the topics (valid or escaped already).
    MonitorPublisher(const BrokerOptions& options, std::string monitor, std::string port,
                     bool waveform, size_t queue_limit = 64);

    bool Start(std::string* error) { return client_.Start(error); }

    // Every snapshot: events for what changed since the last one (the first one only
    // sets the baseline); values when the snapshot's second differs from the last
    // values published.
    void Observe(const data_export::SecondValues& v);

    // One IR sample of a record (GUI thread, per record): a copy into a fixed buffer.
    void AddPlethSample(uint16_t ir) {
        if (!waveform_) return;
        if (pleth_count_ == 0) pleth_first_us_ = NowUs();
        pleth_[pleth_count_++] = ir;
        if (pleth_count_ == kPlethChunk) FlushPleth();
    }
    // The samples gathered so far as one pleth message (nothing when there are none).
    void FlushPleth();

    // The window's alarms now, active and latched, highest first: published (retained)
    // when they differ from the last published, and always the first time, so that a
    // list left on the broker by an earlier run goes. The caller owns the alarms.
    void ObserveAlarms(int64_t unix_us, const AlarmInfo* alarms, size_t count);
    // An alarm's start, end or acknowledgement (what: "start", "end", "acknowledged").
    void AlarmEvent(int64_t unix_us, const char* what, const AlarmInfo& alarm);
    // A mark set by the user: {"time":…,"event":"mark","text":…} on events.
    void Mark(int64_t unix_us, const std::string& text) { Event(unix_us, "mark", text); }
    // An empty alarm list (retained): before a clean stop, so that the broker keeps no
    // alarms of a monitor that has gone.
    void ClearAlarms(int64_t unix_us) { ObserveAlarms(unix_us, nullptr, 0); }

    const std::string& Monitor() const { return monitor_; }
    const std::string& Port() const { return port_; }
    bool Waveform() const { return waveform_; }
    Client& Connection() { return client_; }
    const Client& Connection() const { return client_; }

    static int64_t NowUs();

private:
    void Event(int64_t unix_us, const char* kind, const std::string& text);

    std::string monitor_;
    std::string port_;
    bool waveform_;
    std::string values_topic_;
    std::string events_topic_;
    std::string pleth_topic_;
    std::string alarms_topic_;
    std::vector<AlarmInfo> last_alarms_;  // the last alarms published
    bool alarms_published_ = false;
    bool have_last_ = false;
    data_export::LinkState last_link_ = data_export::LinkState::kClosed;
    std::string last_status_;
    int64_t last_values_second_ = INT64_MIN;
    std::string buffer_;
    uint16_t pleth_[kPlethChunk] = {};
    size_t pleth_count_ = 0;
    int64_t pleth_first_us_ = 0;
    Client client_;
};

}  // namespace mqtt
