// Publishing to an MQTT broker from velt-monitoring: one publisher per open monitoring
// window (its port), fed from a 250 ms timer in the GUI thread (values once a second,
// events, plethysmogram chunks) and, for the plethysmogram, from the samples the
// shared measurement sees as each link's records are interpreted. The status bar's "MQTT" pane
// shows how the connections fare.
#pragma once

#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <memory>
#include <vector>

#include "link/configuration.h"

class CVELTMonitoringApp;
class CVELTMonitoringView;
class COximeter;
struct PacketRecord;
namespace processing {
struct CurrentSample;
}
namespace mqtt {
class MonitorPublisher;
}

class Publishing : public QObject {
    Q_OBJECT
public:
    static constexpr int kTickMs = 250;

    explicit Publishing(CVELTMonitoringApp* app, QObject* parent = nullptr);
    ~Publishing() override;

    // Takes new settings (start-up, the dialog): every publisher starts again.
    void Apply(const config::PublishSettings& settings);
    const config::PublishSettings& Settings() const { return settings_; }
    // Option > "Publish..": the dialog; accepted settings are written and applied.
    void RunDialog(QWidget* parent);

    // The pane's text: "MQTT: connected", "MQTT: retrying (reason)", empty when off.
    QString PaneText() const;
    QLabel* Pane() const { return pane_; }
    // The monitor name in the topics: the setting, or the escaped host name.
    std::string MonitorName() const;
    // A setting that cannot start (bad broker URL, unreadable file), empty otherwise.
    QString Problem() const { return problem_; }

    // One timer round, also for tests.
    void Tick();
    size_t PublisherCount() const { return entries_.size(); }
    mqtt::MonitorPublisher* PublisherFor(CVELTMonitoringView* view) const;
    // A mark made in a window (at_us: platform::MonotonicMicroseconds() of its key
    // press) goes onto its monitor's events topic.
    void Marked(CVELTMonitoringView* view, uint64_t at_us, const std::string& text);

private:
    struct Entry {
        Publishing* owner = nullptr;
        QPointer<CVELTMonitoringView> view;
        COximeter* link = nullptr;
        std::string port;
        std::unique_ptr<mqtt::MonitorPublisher> publisher;
        int64_t alarm_clock_zero_us = 0;  // the window's alarm clock's zero, wall time
    };
    // All links interpret into one measurement: a link's record names the publisher
    // that the sample seen next belongs to.
    static void OnRecord(void* context, const PacketRecord& record);
    static void OnSample(void* context, const processing::CurrentSample& sample,
                         const uint8_t* ecg);
    void WatchSamples(bool on);
    void Detach(Entry& e);
    // A publisher's stop may wait on the network: it runs on a thread of its own,
    // which the destructor waits for (bounded).
    void Retire(std::unique_ptr<mqtt::MonitorPublisher> publisher);
    struct Retiring;
    void UpdatePane();

    CVELTMonitoringApp* app_;
    config::PublishSettings settings_;
    QString problem_;
    QTimer timer_;
    QLabel* pane_ = nullptr;
    std::vector<std::unique_ptr<Entry>> entries_;
    std::shared_ptr<Retiring> retiring_;
    bool warned_ = false;  // plain mqtt:// or a password file others can read
    bool watching_samples_ = false;
    mqtt::MonitorPublisher* sample_owner_ = nullptr;
};
