#include "app/gui/publishing.h"

#include <QMessageBox>
#include <QStatusBar>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "app/gui/application.h"
#include "app/gui/document.h"
#include "app/gui/publish_dialog.h"
#include "display/alarm_watch.h"
#include "display/main_frame.h"
#include "display/monitoring_view.h"
#include "display/pane_label.h"
#include "export/monitor_publisher.h"
#include "export/mqtt_topics.h"
#include "link/oximeter.h"
#include "link/packet_record.h"
#include "platform/system_info.h"
#include "platform/tick.h"
#include "processing/interpretation.h"
#include "processing/measurement.h"
#include "sessions/alarm_report.h"
#include "sessions/second_snapshot.h"

struct Publishing::Retiring {
    std::mutex mutex;
    std::condition_variable done;
    int running = 0;
};

namespace {

constexpr int kRetireWaitMs = 3000;

}  // namespace

Publishing::Publishing(CVELTMonitoringApp* app, QObject* parent)
    : QObject(parent), app_(app), retiring_(std::make_shared<Retiring>()) {
    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, &Publishing::Tick);
    if (CMainFrame* frame = app_->MainFrame()) {
        pane_ = new PaneLabel(frame->statusBar());
        pane_->setObjectName("mqttPane");
        pane_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane_->setVisible(false);
        frame->statusBar()->insertPermanentWidget(0, pane_);
    }
}

Publishing::~Publishing() {
    timer_.stop();
    WatchSamples(false);
    for (auto& e : entries_) {
        Detach(*e);
        Retire(std::move(e->publisher));
    }
    entries_.clear();
    // The offline messages of a clean exit get their chance, within bounds.
    std::unique_lock<std::mutex> lock(retiring_->mutex);
    retiring_->done.wait_for(lock, std::chrono::milliseconds(kRetireWaitMs),
                             [this] { return retiring_->running == 0; });
}

std::string Publishing::MonitorName() const {
    if (!settings_.monitor.empty()) return settings_.monitor;
    return mqtt::EscapeTopicName(platform::ComputerName());
}

void Publishing::Apply(const config::PublishSettings& settings) {
    for (auto& e : entries_) {
        Detach(*e);
        Retire(std::move(e->publisher));
    }
    entries_.clear();
    settings_ = settings;
    problem_.clear();
    WatchSamples(settings_.enabled && settings_.waveform);
    if (settings_.enabled) {
        mqtt::BrokerAddress address;
        std::string error;
        if (!mqtt::ParseBrokerUrl(settings_.broker, &address, &error))
            problem_ = QString::fromStdString(error);
        else if (!settings_.monitor.empty() && !mqtt::ValidMonitorName(settings_.monitor))
            problem_ = QString("the monitor name %1").arg(mqtt::kMonitorNameRule);
        mqtt::BrokerOptions options;
        options.url = settings_.broker;
        options.password_file = settings_.password_file;
        const std::string warning = mqtt::BrokerWarnings(options);
        if (problem_.isEmpty() && !warning.empty() && !warned_ && app_->MainFrame() != nullptr) {
            warned_ = true;
            app_->MainFrame()->statusBar()->showMessage("MQTT: " + QString::fromStdString(warning),
                                                        15000);
        }
        timer_.start();
        Tick();
    } else {
        timer_.stop();
    }
    UpdatePane();
}

void Publishing::RunDialog(QWidget* parent) {
    PublishDialog dialog(settings_, parent);
    if (dialog.exec() != QDialog::Accepted) return;
    const config::PublishSettings s = dialog.Settings();
    if (!config::WritePublishSettings(s)) {
        QMessageBox::warning(parent, "VELT Monitoring",
                             QString("The publish settings could not be saved in\n%1\n\n%2")
                                 .arg(QString::fromStdString(config::ConfigPath()),
                                      QString::fromLocal8Bit(std::strerror(errno))));
    }
    Apply(s);
}

void Publishing::WatchSamples(bool on) {
    processing::Measurement* m = app_->Measurement();
    if (m == nullptr || on == watching_samples_) return;
    if (on) {
        watching_samples_ = m->AddSampleObserver(&Publishing::OnSample, this);
    } else {
        m->RemoveSampleObserver(this);
        watching_samples_ = false;
    }
    sample_owner_ = nullptr;
}

void Publishing::OnRecord(void* context, const PacketRecord& record) {
    Entry* e = static_cast<Entry*>(context);
    // A record too short to interpret shows no sample, so it names no owner either.
    e->owner->sample_owner_ =
        record.length >= processing::kCommonBlockLength ? e->publisher.get() : nullptr;
}

void Publishing::OnSample(void* context, const processing::CurrentSample& sample, const uint8_t*) {
    auto* self = static_cast<Publishing*>(context);
    // Only the sample of the record just named: links that publish nothing (a second
    // window on a published port) interpret into the same measurement.
    if (self->sample_owner_ != nullptr) self->sample_owner_->AddPlethSample(sample.sIR);
    self->sample_owner_ = nullptr;
}

void Publishing::Detach(Entry& e) {
    if (e.view && e.view->GetLink() == e.link && e.link != nullptr)
        e.link->SetRecordObserver(nullptr, nullptr);
    if (e.view && e.view->Alarms() != nullptr) e.view->Alarms()->SetEventObserver(nullptr);
    // The broker keeps no alarms of a window that publishes no more.
    if (e.publisher) e.publisher->ClearAlarms(mqtt::MonitorPublisher::NowUs());
    if (sample_owner_ == e.publisher.get()) sample_owner_ = nullptr;
}

void Publishing::Retire(std::unique_ptr<mqtt::MonitorPublisher> publisher) {
    if (!publisher) return;
    std::shared_ptr<Retiring> r = retiring_;
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        ++r->running;
    }
    std::thread([r, p = std::move(publisher)]() mutable {
        p.reset();
        std::lock_guard<std::mutex> lock(r->mutex);
        --r->running;
        r->done.notify_all();
    }).detach();
}

void Publishing::Marked(CVELTMonitoringView* view, uint64_t at_us, const std::string& text) {
    mqtt::MonitorPublisher* publisher = PublisherFor(view);
    if (publisher == nullptr) return;
    const uint64_t ago = platform::MonotonicMicroseconds() - at_us;
    publisher->Mark(mqtt::MonitorPublisher::NowUs() - static_cast<int64_t>(ago), text);
}

mqtt::MonitorPublisher* Publishing::PublisherFor(CVELTMonitoringView* view) const {
    for (const auto& e : entries_)
        if (e->view == view) return e->publisher.get();
    return nullptr;
}

void Publishing::Tick() {
    if (!settings_.enabled || !problem_.isEmpty()) {
        UpdatePane();
        return;
    }
    // The open views, each with its link's port (escaped: a USB name holds '#').
    std::vector<std::pair<CVELTMonitoringView*, std::string>> views;
    for (CVELTMonitoringDoc* doc : app_->Documents()) {
        for (CChildFrame* frame : doc->Frames()) {
            CVELTMonitoringView* view = CVELTMonitoringDoc::ViewOf(frame);
            if (view == nullptr || view->GetLink() == nullptr) continue;
            std::string port = mqtt::EscapeTopicName(view->GetLink()->PortName());
            bool taken = false;  // one publisher per port: a second window on it shows nothing
            for (const auto& v : views) taken = taken || v.second == port;
            if (!taken) views.emplace_back(view, std::move(port));
        }
    }
    // Publishers of closed windows, replaced links or changed ports go.
    for (size_t i = 0; i < entries_.size();) {
        Entry& e = *entries_[i];
        bool keep = false;
        for (const auto& v : views)
            keep =
                keep || (e.view == v.first && e.link == v.first->GetLink() && e.port == v.second);
        if (keep) {
            ++i;
            continue;
        }
        Detach(e);
        Retire(std::move(e.publisher));
        entries_.erase(entries_.begin() + static_cast<long>(i));
    }
    const std::string monitor = MonitorName();
    for (const auto& [view, port] : views) {
        if (PublisherFor(view) != nullptr) continue;
        auto e = std::make_unique<Entry>();
        e->owner = this;
        e->view = view;
        e->link = view->GetLink();
        e->port = port;
        e->publisher = std::make_unique<mqtt::MonitorPublisher>(BrokerOptionsOf(settings_), monitor,
                                                                port, settings_.waveform);
        std::string error;
        if (!e->publisher->Start(&error)) {
            problem_ = QString::fromStdString(error);
            e->publisher.reset();
            UpdatePane();
            return;
        }
        if (settings_.waveform) e->link->SetRecordObserver(&Publishing::OnRecord, e.get());
        if (AlarmWatch* watch = view->Alarms()) {
            e->alarm_clock_zero_us =
                mqtt::MonitorPublisher::NowUs() - static_cast<int64_t>(watch->NowMs()) * 1000;
            watch->SetEventObserver([p = e->publisher.get(),
                                     zero = e->alarm_clock_zero_us](const alarms::Event& event) {
                p->AlarmEvent(mqtt::MonitorPublisher::NowUs(), alarms::EventName(event.what),
                              AlarmInfoOf(event.alarm, zero));
            });
        }
        entries_.push_back(std::move(e));
    }
    const int64_t now = mqtt::MonitorPublisher::NowUs();
    for (auto& e : entries_) {
        e->publisher->Observe(TakeSecondValues(*e->view, e->view->GetLink(), now));
        e->publisher->FlushPleth();
        if (const AlarmWatch* watch = e->view->Alarms()) {
            alarms::Entry list[alarms::kKindCount];
            mqtt::AlarmInfo infos[alarms::kKindCount];
            const size_t n = watch->List(list, alarms::kKindCount);
            for (size_t i = 0; i < n; ++i) infos[i] = AlarmInfoOf(list[i], e->alarm_clock_zero_us);
            e->publisher->ObserveAlarms(now, infos, n);
        }
    }
    UpdatePane();
}

QString Publishing::PaneText() const {
    if (!settings_.enabled) return QString();
    if (!problem_.isEmpty()) return QString("MQTT: off (%1)").arg(problem_);
    QString retrying;
    QString denied;
    bool connecting = entries_.empty();
    for (const auto& e : entries_) {
        const mqtt::Client::Status s = e->publisher->Connection().GetStatus();
        if (s.state == mqtt::Client::State::kRetrying && retrying.isEmpty())
            retrying = QString::fromStdString(s.reason);
        else if (s.state != mqtt::Client::State::kConnected)
            connecting = true;
        else if (!s.denied.empty() && denied.isEmpty())
            denied = QString::fromStdString(s.denied);
    }
    if (!retrying.isEmpty()) return QString("MQTT: retrying (%1)").arg(retrying);
    // Connected, but the broker refuses what is published (its ACL).
    if (!denied.isEmpty()) return QString("MQTT: denied (%1)").arg(denied);
    if (connecting) return "MQTT: connecting";
    return "MQTT: connected";
}

void Publishing::UpdatePane() {
    if (pane_ == nullptr) return;
    const QString text = PaneText();
    if (pane_->text() != text) pane_->setText(text);
    pane_->setVisible(!text.isEmpty());
}
