// velt-monitoring publishing to a real broker: settings read at start, the pane, the
// dialog's refusals, values and events of a window, offline when the window closes.
#include "app/gui/publishing.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/gui/command_ids.h"
#include "app/gui/publish_dialog.h"
#include "display/monitoring_view.h"
#include "export/mqtt_client.h"
#include "export/mqtt_topics.h"
#include "platform/profile.h"
#include "processing/measurement.h"
#include "tests/app/gui/shell_fixture.h"
#include "tests/link/pty.h"
#include "tests/support/test_broker.h"
#include "tools/oximeter-sim/device_model.h"
#include "tools/oximeter-sim/wire_encoder.h"

namespace {

bool WaitFor(const std::function<bool()>& ready, int timeout_ms = 15000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        QApplication::processEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready();
}

class Ward {
public:
    explicit Ward(const testing_support::TestBroker& broker) {
        mqtt::BrokerOptions o;
        o.url = broker.Url();
        o.username = "ward";
        o.password_file = broker.PasswordFile();
        client_ = std::make_unique<mqtt::Client>(o);
        client_->Subscribe(mqtt::kSubscribeAll);
        client_->SetMessageHandler([this](const char* t, const char* p, size_t n, bool) {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.emplace_back(t, std::string(p, n));
        });
        std::string error;
        client_->Start(&error);
    }
    std::string Last(const std::string& topic) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = messages_.rbegin(); it != messages_.rend(); ++it)
            if (it->first == topic) return it->second;
        return std::string();
    }
    // The IR samples of every plethysmogram chunk on the topic, in the order they came.
    std::vector<int> PlethSamples(const std::string& topic) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<int> out;
        for (const auto& m : messages_) {
            if (m.first != topic) continue;
            size_t at = m.second.find("\"ir\":[");
            if (at == std::string::npos) continue;
            at += 6;
            while (at < m.second.size() && m.second[at] != ']') {
                size_t end = at;
                out.push_back(std::stoi(m.second.substr(at), &end));
                at += end;
                if (at < m.second.size() && m.second[at] == ',') ++at;
            }
        }
        return out;
    }
    int Count(const std::string& topic, const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& m : messages_)
            if (m.first == topic && m.second.find(part) != std::string::npos) ++n;
        return n;
    }
    mqtt::Client& client() { return *client_; }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> messages_;
    std::unique_ptr<mqtt::Client> client_;
};

class PublishingTest : public ShellTest {
protected:
    void WritePublish(const std::string& broker, const std::string& monitor) {
        const std::string ini = dir_.File("configuration/VELTMonitoring.ini");
        platform::WritePrivateProfileString("publish", "enabled", "1", ini);
        platform::WritePrivateProfileString("publish", "broker", broker.c_str(), ini);
        platform::WritePrivateProfileString("publish", "username", "monitor", ini);
        platform::WritePrivateProfileString("publish", "password_file",
                                            dir_.File("password.txt").c_str(), ini);
        if (!monitor.empty())
            platform::WritePrivateProfileString("publish", "monitor", monitor.c_str(), ini);
    }
    testing_support::TestBroker broker_;
};

TEST_F(PublishingTest, AWindowPublishesWhatItShowsAndGoesOfflineWhenClosed) {
    ASSERT_TRUE(broker_.Start()) << broker_.Error();
    dir_.Write("password.txt", "secret\n");
    Ward ward(broker_);
    WritePublish(broker_.Url(), "bed-7");
    Start();
    auto* publishing = new Publishing(app_.get(), app_->MainFrame());
    publishing->Apply(config::ReadPublishSettings());
    EXPECT_EQ(publishing->Settings().keepalive, 10);
    EXPECT_FALSE(publishing->Settings().waveform);
    ASSERT_TRUE(WaitFor([&] { return publishing->PaneText() == "MQTT: connected"; }))
        << publishing->PaneText().toStdString();
    EXPECT_TRUE(publishing->Pane()->isVisibleTo(app_->MainFrame()));

    const std::string base = "velt/v1/bed-7/COM1/";
    ASSERT_TRUE(WaitFor([&] { return ward.Count(base + "state", "\"online\"") == 1; }));
    CVELTMonitoringView* view = app_->ActiveView();
    view->SetFieldText(Spo2, "97.0");
    view->SetFieldText(Pulse, "72.0");
    view->SetFieldText(StatusText, "Finger?");
    ASSERT_TRUE(WaitFor([&] { return ward.Count(base + "values", "\"value\":97,") > 0; }));
    const std::string values = ward.Last(base + "values");
    EXPECT_NE(values.find("\"pulse\":{\"value\":72,\"unit\":\"bpm\",\"code\":149530"),
              std::string::npos)
        << values;
    EXPECT_NE(values.find("\"status\":\"Finger?\""), std::string::npos);
    EXPECT_NE(values.find("\"perfusion\":{\"value\":null"), std::string::npos);
    ASSERT_TRUE(WaitFor([&] { return ward.Count(base + "events", "Finger?") == 1; }));
    // The window's alarms: a desaturation starts after its 5 s, as an event and in the
    // retained list.
    view->SetFieldText(Spo2, "80.0");
    ASSERT_TRUE(WaitFor([&] {
        return ward.Count(base + "events", R"("alarm":"start","name":"spo2-desat")") == 1;
    }));
    ASSERT_TRUE(WaitFor([&] {
        return ward.Count(base + "alarms",
                          R"([{"name":"spo2-desat","priority":"high","state":"active")") > 0;
    }));

    // Edit > Mark.. goes onto the events topic.
    app_->on_marked = [publishing](CVELTMonitoringView* v, uint64_t at, const std::string& text) {
        publishing->Marked(v, at, text);
    };
    QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->findChild<QComboBox*>("mark-text")->setCurrentText("Suction");
        dialog->accept();
    });
    app_->MainFrame()->Command(cmd::kMark)->trigger();
    EXPECT_TRUE(WaitFor([&] { return ward.Count(base + "events", R"("mark")") == 1; }));
    EXPECT_NE(ward.Last(base + "events").find("Suction"), std::string::npos);

    Area()->subWindowList()[0]->close();
    ASSERT_TRUE(
        WaitFor([&] { return ward.Count(base + "state", "\"offline\",\"since\":\"") == 1; }));
    // The list is a topic of its own: it may come after the state.
    EXPECT_TRUE(WaitFor([&] {
        return ward.Last(base + "alarms").find(R"("alarms":[])") != std::string::npos;
    })) << ward.Last(base + "alarms");
}

TEST_F(PublishingTest, ABrokerThatIsAwayShowsRetryingWithTheReason) {
    dir_.Write("password.txt", "secret\n");
    WritePublish("mqtt://127.0.0.1:" + std::to_string(testing_support::TestBroker::FreePort()), "");
    Start();
    auto* publishing = new Publishing(app_.get(), app_->MainFrame());
    publishing->Apply(config::ReadPublishSettings());
    ASSERT_TRUE(WaitFor([&] {
        return publishing->PaneText() == "MQTT: retrying (Connection refused)";
    })) << publishing->PaneText().toStdString();
    // Without a setting the host name is the monitor.
    EXPECT_EQ(publishing->MonitorName(), mqtt::EscapeTopicName(platform::ComputerName()));

    // Off: no pane.
    config::PublishSettings off = publishing->Settings();
    off.enabled = false;
    publishing->Apply(off);
    EXPECT_EQ(publishing->PaneText(), QString());
    EXPECT_FALSE(publishing->Pane()->isVisibleTo(app_->MainFrame()));
    EXPECT_EQ(publishing->PublisherCount(), 0u);
}

TEST_F(PublishingTest, TheDialogRefusesNamesThatWouldBreakTopicsAndWritesWhatItTakes) {
    Start();
    config::PublishSettings s;
    PublishDialog dialog(s);
    dialog.enabled->setChecked(true);
    dialog.fields->broker->setText("mqtt://localhost:1883");
    dialog.monitor->setText("ward/3");
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_NE(dialog.error->text().indexOf("monitor name"), -1);
    dialog.monitor->setText("bed#3");
    EXPECT_FALSE(dialog.Check().isEmpty());
    dialog.monitor->setText("bed 3");
    dialog.fields->broker->setText("http://localhost");
    EXPECT_FALSE(dialog.Check().isEmpty());
    dialog.fields->broker->setText("mqtts://broker.example:8883");
    dialog.fields->password_file->setText("/tmp/pw");
    EXPECT_EQ(dialog.Check(), "A password file needs a user name.");
    dialog.fields->username->setText("monitor");
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);

    ASSERT_TRUE(config::WritePublishSettings(dialog.Settings()));
    const config::PublishSettings read = config::ReadPublishSettings();
    EXPECT_TRUE(read.enabled);
    EXPECT_EQ(read.broker, "mqtts://broker.example:8883");
    EXPECT_EQ(read.monitor, "bed 3");
    EXPECT_EQ(read.username, "monitor");
    EXPECT_EQ(read.password_file, "/tmp/pw");
    EXPECT_EQ(read.keepalive, 10);
    // The password itself is never in the file.
    const std::string ini = dir_.Read("configuration/VELTMonitoring.ini");
    EXPECT_EQ(ini.find("password="), std::string::npos);
}

// The device's side of a link: the simulator's records every 20 ms whatever the
// answers do, as a device sends them, and each answer timed from its frame's
// write, in the phase the test was in when the frame went out. Answers come in the
// order of the frames, so a stall delays every frame sent meanwhile.
class TimedDevice {
public:
    struct Answer {
        int phase;
        double ms;  // negative: never answered (a later frame was answered first)
    };
    explicit TimedDevice(PtyDevice& pty) : pty_(pty), model_(sim::Options()) {}
    ~TimedDevice() { Stop(); }
    void Start() {
        writer_ = std::thread([this] { Write(); });
        reader_ = std::thread([this] { Read(); });
    }
    // Stops sending, then waits a moment for the last answers.
    void Stop() {
        stop_writing_ = true;
        if (writer_.joinable()) writer_.join();
        for (int i = 0; i < 300 && Waiting() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop_reading_ = true;
        if (reader_.joinable()) reader_.join();
    }
    void SetPhase(int phase) { phase_ = phase; }
    size_t Waiting() {
        std::lock_guard<std::mutex> lock(mutex_);
        return waiting_.size();
    }
    std::vector<Answer> Answers() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Answer> out = answers_;
        for (const Sent& w : waiting_) out.push_back({w.phase, -1.0});
        return out;
    }
    std::vector<int> IrSent() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ir_;
    }

private:
    struct Sent {
        uint8_t sequence;
        int phase;
        std::chrono::steady_clock::time_point at;
    };
    void Write() {
        auto next = std::chrono::steady_clock::now();
        uint8_t sequence = 0;
        while (!stop_writing_) {
            uint8_t type = 0;
            const std::vector<uint8_t> payload = model_.NextPayload(&type);
            {
                // Noted before the write, so that the answer never comes first.
                std::lock_guard<std::mutex> lock(mutex_);
                waiting_.push_back({sequence, phase_, std::chrono::steady_clock::now()});
                ir_.push_back(payload[2] | payload[3] << 8);
            }
            pty_.Write(sim::EncodeFrame(sequence, type, payload));
            sequence = static_cast<uint8_t>((sequence + 1) & 0x7F);
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
        }
    }
    void Read() {
        std::vector<uint8_t> bytes;
        while (!stop_reading_) {
            const std::vector<uint8_t> got = pty_.Read(1, 50);
            const auto now = std::chrono::steady_clock::now();
            bytes.insert(bytes.end(), got.begin(), got.end());
            while (bytes.size() >= 3) {
                if (bytes[0] != 0xFD || bytes[2] != 0xFB) {  // not an answer of a good frame
                    bytes.erase(bytes.begin());
                    continue;
                }
                const uint8_t sequence = bytes[1];
                bytes.erase(bytes.begin(), bytes.begin() + 3);
                std::lock_guard<std::mutex> lock(mutex_);
                while (!waiting_.empty() && waiting_.front().sequence != sequence) {
                    answers_.push_back({waiting_.front().phase, -1.0});
                    waiting_.pop_front();
                }
                if (waiting_.empty()) continue;
                answers_.push_back(
                    {waiting_.front().phase,
                     std::chrono::duration<double, std::milli>(now - waiting_.front().at).count()});
                waiting_.pop_front();
            }
        }
    }

    PtyDevice& pty_;
    sim::DeviceModel model_;
    std::atomic<bool> stop_writing_{false};
    std::atomic<bool> stop_reading_{false};
    std::atomic<int> phase_{0};
    std::mutex mutex_;
    std::deque<Sent> waiting_;
    std::vector<Answer> answers_;
    std::vector<int> ir_;
    std::thread writer_;
    std::thread reader_;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// A broker that hangs and then dies must not be felt by the device: publishing with
// the plethysmogram, every frame is answered during the outage as quickly as while
// the broker was healthy, the window goes on interpreting, and publishing comes back
// by itself once the broker runs again.
TEST_F(PublishingTest, AHangingThenRestartedBrokerDelaysNoAnswerToTheDevice) {
    ASSERT_TRUE(broker_.Start()) << broker_.Error();
    dir_.Write("password.txt", "secret\n");
    PtyDevice pty;
    ASSERT_TRUE(pty.ok());
    const std::string entry = dir_.File("configuration/dosdevices/com1");
    ASSERT_EQ(unlink(entry.c_str()), 0);
    ASSERT_EQ(symlink(pty.slave_path().c_str(), entry.c_str()), 0);
    WritePublish(broker_.Url(), "bed-3");
    const std::string ini = dir_.File("configuration/VELTMonitoring.ini");
    platform::WritePrivateProfileString("publish", "waveform", "1", ini);
    platform::WritePrivateProfileString("publish", "keepalive", "5", ini);
    platform::WritePrivateProfileString("recording", "enabled", "0", ini);
    Ward ward(broker_);
    Start();
    app_->Measurement()->SetLogging(false);
    auto* publishing = new Publishing(app_.get(), app_->MainFrame());
    publishing->Apply(config::ReadPublishSettings());
    ASSERT_TRUE(WaitFor([&] { return publishing->PaneText() == "MQTT: connected"; }))
        << publishing->PaneText().toStdString();
    const std::string base = "velt/v1/bed-3/COM1/";
    ASSERT_TRUE(WaitFor([&] { return ward.Count(base + "state", "\"online\"") == 1; }));

    TimedDevice device(pty);
    device.Start();
    // The GUI thread's turns, longest per phase: a publish that waited on the network
    // would show here as well as in the records it could not take in time.
    double longest_turn[3] = {0, 0, 0};
    int phase = 0;
    auto run_for = [&](int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            const auto t0 = std::chrono::steady_clock::now();
            QApplication::processEvents();
            const double turn =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count();
            longest_turn[phase] = std::max(longest_turn[phase], turn);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    run_for(3000);
    ASSERT_TRUE(WaitFor([&] { return ward.Count(base + "pleth", "\"ir\":[") >= 4; }));
    // The published plethysmogram is the IR samples the device sent, none lost or
    // repeated, none of another channel.
    const std::vector<int> published = ward.PlethSamples(base + "pleth");
    const std::vector<int> sent = device.IrSent();
    ASSERT_GE(published.size(), 50u);
    EXPECT_NE(std::search(sent.begin(), sent.end(), published.begin(), published.end()),
              sent.end());

    // Hung for longer than the keep-alive allows: the publisher gives the connection up
    // and its next attempt hangs as well.
    phase = 1;
    device.SetPhase(1);
    broker_.Pause();
    run_for(12000);
    broker_.Kill();
    ASSERT_TRUE(broker_.Start()) << broker_.Error();
    const auto restarted_values = ward.Count(base + "values", "\"spo2\"");
    phase = 2;
    device.SetPhase(2);
    EXPECT_TRUE(
        WaitFor([&] { return ward.Count(base + "values", "\"spo2\"") > restarted_values; }, 20000));
    EXPECT_TRUE(WaitFor([&] { return publishing->PaneText() == "MQTT: connected"; }))
        << publishing->PaneText().toStdString();
    run_for(500);
    device.Stop();

    // A newcomer finds the state "online" retained again.
    mqtt::BrokerOptions o;
    o.url = broker_.Url();
    o.username = "ward";
    o.password_file = broker_.PasswordFile();
    mqtt::Client late(o);
    std::atomic<bool> online_retained{false};
    late.Subscribe(base + "state");
    late.SetMessageHandler([&](const char*, const char* p, size_t n, bool retained) {
        if (retained && std::string(p, n).find("\"online\"") != std::string::npos)
            online_retained = true;
    });
    std::string error;
    ASSERT_TRUE(late.Start(&error)) << error;
    EXPECT_TRUE(WaitFor([&] { return online_retained.load(); }));

    std::vector<double> ms[3];
    int unanswered = 0;
    const std::vector<TimedDevice::Answer> answers = device.Answers();
    for (const auto& a : answers) {
        if (a.ms < 0)
            ++unanswered;
        else
            ms[a.phase].push_back(a.ms);
    }
    EXPECT_EQ(unanswered, 0);
    ASSERT_GE(ms[0].size(), 100u);
    ASSERT_GE(ms[1].size(), 300u);
    const double healthy_p99 = Percentile(ms[0], 0.99);
    const double outage_p99 = Percentile(ms[1], 0.99);
    const double outage_max = Percentile(ms[1], 1.0);
    RecordProperty("healthy_p99_ms", std::to_string(healthy_p99));
    RecordProperty("hung_broker_p99_ms", std::to_string(outage_p99));
    std::printf(
        "answers healthy p50 %.2f p99 %.2f max %.2f ms; broker hung p50 %.2f p99 %.2f "
        "max %.2f ms; GUI turn longest %.1f / %.1f ms\n",
        Percentile(ms[0], 0.5), healthy_p99, Percentile(ms[0], 1.0), Percentile(ms[1], 0.5),
        outage_p99, outage_max, longest_turn[0], longest_turn[1]);
    // A stalled publish would hold its thread for seconds (the keep-alive is 5 s) and
    // delay every frame sent meanwhile: the bounds are far above what a busy machine
    // adds to a few answers, far below that.
    EXPECT_LE(outage_p99, std::max(250.0, 4 * healthy_p99));
    EXPECT_LE(Percentile(ms[1], 0.5), std::max(20.0, 4 * Percentile(ms[0], 0.5)));
    EXPECT_LE(longest_turn[1], std::max(1000.0, 4 * longest_turn[0]));
    // Every record the device sent was interpreted: none dropped at the queue's bound.
    EXPECT_TRUE(WaitFor([&] {
        return app_->Measurement()->lSample == static_cast<uint32_t>(answers.size());
    })) << app_->Measurement()->lSample
        << " of " << answers.size();
}

}  // namespace
