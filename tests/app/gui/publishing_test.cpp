// velt-monitoring publishing to a real broker: settings read at start, the pane, the
// dialog's refusals, values and events of a window, offline when the window closes.
#include "app/gui/publishing.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/gui/publish_dialog.h"
#include "display/monitoring_view.h"
#include "export/mqtt_client.h"
#include "export/mqtt_topics.h"
#include "platform/profile.h"
#include "tests/app/gui/shell_fixture.h"
#include "tests/support/test_broker.h"

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

    Area()->subWindowList()[0]->close();
    ASSERT_TRUE(
        WaitFor([&] { return ward.Count(base + "state", "\"offline\",\"since\":\"") == 1; }));
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
    dialog.broker->setText("mqtt://localhost:1883");
    dialog.monitor->setText("ward/3");
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_NE(dialog.error->text().indexOf("monitor name"), -1);
    dialog.monitor->setText("bed#3");
    EXPECT_FALSE(dialog.Check().isEmpty());
    dialog.monitor->setText("bed 3");
    dialog.broker->setText("http://localhost");
    EXPECT_FALSE(dialog.Check().isEmpty());
    dialog.broker->setText("mqtts://broker.example:8883");
    dialog.password_file->setText("/tmp/pw");
    EXPECT_EQ(dialog.Check(), "A password file needs a user name.");
    dialog.username->setText("monitor");
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

}  // namespace
