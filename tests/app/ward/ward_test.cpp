// velt-ward: the model of the tiles, and the window against a real broker.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "app/ward/ward_model.h"
#include "app/ward/ward_window.h"
#include "export/monitor_publisher.h"
#include "export/mqtt_topics.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_broker.h"

namespace {

bool WaitFor(const std::function<bool()>& ready, int timeout_ms = 15000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        QApplication::processEvents();
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready();
}

const QByteArray kValues =
    R"({"time":"2026-12-09T21:52:00.125+01:00","spo2":{"value":97.5,"unit":"%"},)"
    R"("pulse":{"value":null},"perfusion":{"value":0.09},"rhbco":{"value":null},)"
    R"("status":"Finger?","link":{"state":"connected","frames":3036,"bad":1,"lost":2}})";

TEST(WardModel, TilesAreSortedByNameAndShowTheValuesOfTheirMessages) {
    WardModel m;
    bool added = false;
    EXPECT_EQ(m.OnMessage("velt/v1/bed-2/COM1/values", kValues, 1000, &added), 0);
    EXPECT_TRUE(added);
    EXPECT_EQ(m.OnMessage("velt/v1/bed-1/FT232R%23A5/values", kValues, 1000, &added), 0);
    EXPECT_TRUE(added);
    ASSERT_EQ(m.Count(), 2);
    EXPECT_EQ(m.At(0).monitor, "bed-1");
    EXPECT_EQ(m.At(0).port, "FT232R#A5");
    EXPECT_EQ(m.At(1).monitor, "bed-2");
    const TileData& d = m.At(1);
    EXPECT_EQ(d.spo2, "97.5");
    EXPECT_EQ(d.pulse, "x");
    EXPECT_EQ(d.status, "Finger?");
    EXPECT_EQ(d.link_state, "connected");
    EXPECT_EQ(d.bad, 1u);
    EXPECT_EQ(d.lost, 2u);
    EXPECT_EQ(d.last_time, "21:52:00");
    EXPECT_EQ(d.value_time_ms, 1796849520125);
    // Not ours, or not JSON: nothing happens.
    EXPECT_EQ(m.OnMessage("other/topic", kValues, 1000, &added), -1);
    EXPECT_EQ(m.OnMessage("velt/v1/bed-3/COM1/values", "{not json", 1000, &added), -1);
    EXPECT_EQ(m.OnMessage("velt/v1/bed-3/COM1/values", "[1,2]", 1000, &added), -1);
    EXPECT_EQ(m.Count(), 2);
}

TEST(WardModel, ATileGreysOutAfterFiveSecondsAndTurnsRedWhenOffline) {
    WardModel m;
    bool added = false;
    m.OnMessage("velt/v1/bed-1/COM1/values", kValues, 10000, &added);
    EXPECT_TRUE(m.CheckStale(15000).empty());
    const std::vector<int> changed = m.CheckStale(15001);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_TRUE(m.At(0).stale);
    EXPECT_EQ(m.At(0).spo2, "x");
    EXPECT_TRUE(m.CheckStale(20000).empty());  // once
    m.OnMessage("velt/v1/bed-1/COM1/values", kValues, 21000, &added);
    EXPECT_FALSE(m.At(0).stale);
    EXPECT_EQ(m.At(0).spo2, "97.5");

    m.OnMessage("velt/v1/bed-1/COM1/state",
                R"({"state":"offline","since":"2026-12-09T21:53:10.000+01:00"})", 22000, &added);
    EXPECT_TRUE(m.At(0).offline);
    EXPECT_EQ(m.At(0).offline_since, "since 21:53:10");
    // A last will has no time: the ward says what it knows.
    const int64_t when = QDateTime(QDate(2026, 12, 9), QTime(8, 1, 2)).toMSecsSinceEpoch();
    m.OnMessage("velt/v1/bed-1/COM1/state", R"({"state":"offline","since":null})", when, &added);
    EXPECT_EQ(m.At(0).offline_since,
              "last heard " + QDateTime::fromMSecsSinceEpoch(22000).toString("HH:mm:ss"));
    m.OnMessage("velt/v1/bed-2/COM1/state", R"({"state":"offline","since":null})", when, &added);
    EXPECT_EQ(m.At(1).offline_since, "since before 08:01:02");
    m.OnMessage("velt/v1/bed-1/COM1/state", R"({"state":"online","since":null})", when, &added);
    EXPECT_FALSE(m.At(0).offline);
}

TEST(WardModel, PlethSamplesGoIntoTheTilesRing) {
    WardModel m;
    bool added = false;
    m.OnMessage("velt/v1/bed-1/COM1/pleth", R"({"time":null,"rate":50,"ir":[1,2,3]})", 0, &added);
    EXPECT_TRUE(m.At(0).has_pleth);
    EXPECT_EQ(m.At(0).pleth_count, 3);
    EXPECT_EQ(m.At(0).pleth[2], 3);
}

// A name shows as published: only what escaping makes is decoded, anything that could
// pass for another name is shown escaped, and a publisher refuses to type it.
TEST(WardModel, NamesShowAsPublishedAndFieldsOutOfRangeAsDoubtful) {
    const struct {
        const char *level, *shown;
        bool typed;                             // a publisher takes it as a monitor name
    } names[] = {// clang-format off
        {"bed-1", "bed-1", true}, {"Station \u00fc", "Station \u00fc", true},
        {"bed%2D1", "bed%2D1", false}, {"bed%0A1", "bed<U+000A>1", false},
        {"\u200f3-deb", "<U+200F>3-deb", false}, {"a\u200bb\u2028", "a<U+200B>b<U+2028>", false},
        {"a\xc2\x85", "a<U+0085>", false}, {"a\xff", "a\ufffd", false}};  // clang-format on
    for (const auto& n : names) {
        EXPECT_EQ(WardModel::ShownName(n.level), QString::fromUtf8(n.shown)) << n.level;
        EXPECT_EQ(mqtt::ValidMonitorName(n.level), n.typed) << n.level;
    }

    const struct {
        const char *leaf, *payload, *field, *shown;
        bool doubtful;
    } fields[] = {
        {"values", R"({"spo2":{"value":250}})", "spo2", "?", true},
        {"values", R"({"pulse":{"value":-40}})", "pulse", "?", true},
        {"values", R"({"link":{"frames":-5}})", "frames", "?", true},
        {"values", R"({"link":{"state":"exploded"}})", "link", "?", true},
        {"values", R"({"time":"HACKED!"})", "time", "?", true},
        {"values", R"({"status":7})", "status", "?", true},
        {"values", R"({"status":"A status far longer than a tile can show"})", "status",
         "A status far longer than a tile\u2026", false},
        {"state", R"({"state":"offline","since":"HACKED!"})", "since", "since ?", true},
        {"pleth", R"({"ir":[1,70000,-1,2.5]})", "pleth", "1", true},
    };
    WardModel m;
    for (const auto& f : fields) {
        bool added = false;
        const int i = m.OnMessage(QString("velt/v1/m%1/p/%2").arg(m.Count()).arg(f.leaf), f.payload,
                                  0, &added);
        ASSERT_GE(i, 0);
        const TileData& d = m.At(i);
        const QString frames = d.frames ? QString::number(*d.frames) : "?";
        const QHash<QString, QString> shown{
            {"spo2", d.spo2},           {"pulse", d.pulse},
            {"frames", frames},         {"link", d.link_state},
            {"time", d.last_time},      {"status", d.status},
            {"since", d.offline_since}, {"pleth", QString::number(d.pleth_count)}};
        EXPECT_EQ(shown.value(f.field), QString::fromUtf8(f.shown)) << f.payload;
        EXPECT_EQ(d.Doubt().contains(f.field), f.doubtful) << f.payload;
    }
}

// Five tiles in a 1000x650 window are 333x300: the offline text stays inside the tile.
TEST(WardTile, TheOfflineTextFitsATileOfFive) {
    TileData d;
    d.offline = true;
    d.offline_since = "since before 08:01:02";
    QImage image(333, 300, QImage::Format_RGB32);
    QPainter p(&image);
    PaintTile(p, image.rect(), d, false, QRegion(image.rect()));
    p.end();
    // Text too wide is cut at the inner edges (8, 324): no ink (white on red) there.
    for (int y = 4; y < image.height() - 4; ++y)
        for (int x : {8, 324}) ASSERT_LT(image.pixelColor(x, y).green(), 100) << x << "," << y;
}

// A forgotten tile stays away through its retained "offline" and comes back with its
// monitor; monitors= keeps other names out of the inbox, which drops the oldest when full.
TEST(WardModel, AForgottenTileStaysAwayAndTheInboxTakesOnlyWhatItShould) {
    WardModel m;
    bool added = false;
    const QByteArray offline = R"({"state":"offline","since":null})";
    m.OnMessage("velt/v1/bed-1/COM1/state", offline, 0, &added);
    m.Forget("bed-1/COM1");
    EXPECT_EQ(m.OnMessage("velt/v1/bed-1/COM1/state", offline, 0, &added), -1);
    EXPECT_EQ(m.Count(), 0);
    EXPECT_EQ(m.OnMessage("velt/v1/bed-1/COM1/values", kValues, 0, &added), 0);
    const WardInbox shown(WardInbox::Patterns("bed-1, icu-*"));
    EXPECT_TRUE(shown.Shows("icu-7") && shown.Shows("bed-1"));
    EXPECT_FALSE(shown.Shows("bed-10") || shown.Shows("x"));

    WardInbox inbox;
    const std::string big(5000, ' ');
    const size_t n = WardInbox::kMaxBytes / big.size() + 10;
    for (size_t i = 0; i < n; ++i) {
        const std::string numbered = std::to_string(i) + big;
        EXPECT_EQ(inbox.Put("velt/v1/a/b/pleth", numbered.data(), big.size()), i == 0);
    }
    std::deque<WardInbox::Message> got;
    inbox.Take(&got);
    EXPECT_EQ(got.size() + inbox.Dropped(), n);
    EXPECT_TRUE(got.back().payload.startsWith(std::to_string(n - 1).c_str()));  // newest kept
}

mqtt::BrokerOptions Options(const testing_support::TestBroker& b, const char* user) {
    mqtt::BrokerOptions o;
    o.url = b.Url();
    o.username = user;
    o.password_file = b.PasswordFile();
    o.keepalive_s = 5;
    return o;
}

// The ward's broker dialog: the broker fields and checks the monitor's publish dialog
// has too; the ward cannot do without a broker.
TEST(WardSettingsDialog, TakesTheBrokerFieldsAndRefusesWhatCannotConnect) {
    WardSettings given;
    given.broker.url = "mqtts://ward.example:8883";
    given.broker.ca_file = "/etc/velt/ca.crt";
    given.broker.username = "ward";
    given.broker.password_file = "/etc/velt/ward.pw";
    WardSettingsDialog dialog(given);
    dialog.fields->cert_file->setText(" /etc/velt/ward.crt ");
    EXPECT_EQ(dialog.Check(), "A client certificate needs both the certificate and the key file.");
    dialog.fields->key_file->setText("/etc/velt/ward.key");
    EXPECT_EQ(dialog.Check(), QString());
    const WardSettings taken = dialog.Settings();
    EXPECT_EQ(taken.broker.url, "mqtts://ward.example:8883");
    EXPECT_EQ(taken.broker.ca_file, "/etc/velt/ca.crt");
    EXPECT_EQ(taken.broker.cert_file, "/etc/velt/ward.crt");
    EXPECT_EQ(taken.broker.key_file, "/etc/velt/ward.key");
    EXPECT_EQ(taken.broker.username, "ward");
    EXPECT_EQ(taken.broker.password_file, "/etc/velt/ward.pw");
    // Tiles in alarm first: the dialog's box, kept as [ward] alarms_first.
    EXPECT_FALSE(taken.alarms_first);
    dialog.alarms_first->setChecked(true);
    testing_support::TempDir dir;
    ASSERT_TRUE(WriteWardSettings(dir.File("velt-ward.ini"), dialog.Settings()));
    EXPECT_TRUE(ReadWardSettings(dir.File("velt-ward.ini")).alarms_first);

    dialog.fields->broker->clear();
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_FALSE(dialog.error->text().isEmpty());
    dialog.fields->broker->setText("mqtt://localhost");
    dialog.fields->username->clear();
    EXPECT_EQ(dialog.Check(), "A password file needs a user name.");
}

TEST(WardWindow, ShowsEveryMonitorAndComesBackAfterTheBrokerRestarts) {
    testing_support::TestBroker broker;
    ASSERT_TRUE(broker.Start()) << broker.Error();
    WardSettings s;
    s.broker = Options(broker, "ward");
    WardWindow window(s, std::string());
    window.resize(800, 600);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return window.StatusText().startsWith("MQTT: connected"); }))
        << window.StatusText().toStdString();

    mqtt::MonitorPublisher a(Options(broker, "monitor"), "bed-b", "COM1", true);
    auto b = std::make_unique<mqtt::MonitorPublisher>(Options(broker, "monitor"), "bed-a", "COM2",
                                                      false);
    std::string error;
    ASSERT_TRUE(a.Start(&error));
    ASSERT_TRUE(b->Start(&error));
    data_export::SecondValues v;
    v.unix_us = mqtt::MonitorPublisher::NowUs();
    v.spo2 = "98.0";
    v.pulse = "61.0";
    v.status = "OK";
    v.link = data_export::LinkState::kConnected;
    ASSERT_TRUE(WaitFor([&] { return a.Connection().Connected() && b->Connection().Connected(); }));
    a.Observe(v);
    b->Observe(v);
    for (int i = 0; i < 20; ++i) a.AddPlethSample(static_cast<uint16_t>(i * 100));
    a.FlushPleth();
    ASSERT_TRUE(WaitFor([&] {
        return window.Model().Count() == 2 && window.Model().At(1).has_pleth &&
               window.Model().At(0).spo2 == "98.0";
    }));
    EXPECT_EQ(window.Model().At(0).monitor, "bed-a");
    EXPECT_EQ(window.Model().At(1).pulse, "61.0");
    // The tiles fill the window: across its width, and down its height.
    TileGrid* grid = window.Grid();
    const int rows = (2 + grid->Columns() - 1) / grid->Columns();
    EXPECT_GE(grid->Columns() * grid->TileRect(0).width(), grid->width() - grid->Columns());
    EXPECT_GE(rows * grid->TileRect(0).height(), grid->height() - rows);
    EXPECT_GT(grid->TileRect(0).width(), 300);
    // A wide window puts them side by side.
    window.resize(1600, 400);
    QApplication::processEvents();
    EXPECT_EQ(grid->Columns(), 2);
    // They get painted, and the latency from the publisher's stamp is measured.
    ASSERT_TRUE(WaitFor([&] { return window.Grid()->Latencies().size() >= 2; }));
    EXPECT_GE(window.Grid()->Latencies()[0], 0);

    // Double-click opens the large view of that monitor.
    const QPoint centre = window.Grid()->TileRect(1).center();
    QString opened;
    QObject::connect(window.Grid(), &TileGrid::tileDoubleClicked,
                     [&](const QString& key) { opened = key; });
    QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(centre), QPointF(centre),
                      window.Grid()->mapToGlobal(QPointF(centre)), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(window.Grid(), &click);
    EXPECT_EQ(opened, "bed-b/COM1");
    LargeTile* large = window.OpenLarge(opened);
    ASSERT_NE(large, nullptr);
    EXPECT_TRUE(large->isVisible());
    EXPECT_EQ(large->Key(), "bed-b/COM1");

    broker.Stop();
    ASSERT_TRUE(WaitFor([&] { return window.StatusText().startsWith("MQTT: retrying ("); }))
        << window.StatusText().toStdString();
    ASSERT_TRUE(broker.Start()) << broker.Error();
    // Back by itself within the back-off (first retry after 1 s, then 2 s).
    ASSERT_TRUE(WaitFor([&] { return window.StatusText().startsWith("MQTT: connected"); }, 20000))
        << window.StatusText().toStdString();
    ASSERT_TRUE(WaitFor([&] { return a.Connection().Connected(); }, 20000));
    v.unix_us = mqtt::MonitorPublisher::NowUs() + 1000000;
    v.spo2 = "91.0";
    a.Observe(v);
    ASSERT_TRUE(WaitFor([&] { return window.Model().At(1).spo2 == "91.0"; }, 20000));

    // A monitor that stops says offline: its tile turns red.
    b.reset();
    ASSERT_TRUE(WaitFor([&] { return window.Model().At(0).offline; }));
    EXPECT_FALSE(window.Model().At(0).offline_since.isEmpty());
}

long RssKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

// A publisher gone wrong: one 100 MB message, then 1 MB messages on every leaf for
// 4 s. A thread pings through the GUI thread all the while.
TEST(WardWindow, AFloodOfHugeMessagesNeitherFreezesTheWindowNorHoldsItsMemory) {
    testing_support::TestBroker broker;
    ASSERT_TRUE(broker.Start()) << broker.Error();
    WardSettings s;
    s.broker = Options(broker, "ward");
    WardWindow window(s, std::string());
    window.resize(1000, 650);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return window.StatusText().startsWith("MQTT: connected"); }));
    QProcess flood;
    flood.start(MQTT_TEST_PUBLISHER, {QString::fromStdString(broker.Url()),
                                      QString::fromStdString(broker.PasswordFile()), "--flood",
                                      "velt/v1/bed-1/COM1", "4"});
    std::atomic<bool> done{false};
    // And in the GUI thread's CPU time: a busy machine stretches only the wall clock.
    clockid_t gui_clock;
    ASSERT_EQ(pthread_getcpuclockid(pthread_self(), &gui_clock), 0);
    auto ms = [](clockid_t c) {
        timespec t{};
        clock_gettime(c, &t);
        return t.tv_sec * 1000L + t.tv_nsec / 1000000;
    };
    std::atomic<long> worst_ms{0}, worst_gui_ms{0}, peak_kb{0};
    std::thread pinger([&] {
        while (!done) {
            const long sent = ms(CLOCK_MONOTONIC), gui = ms(gui_clock);
            auto answered = std::make_shared<std::atomic<bool>>(false);
            QMetaObject::invokeMethod(
                &window, [answered] { *answered = true; }, Qt::QueuedConnection);
            while (!*answered && !done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            worst_ms = std::max(worst_ms.load(), ms(CLOCK_MONOTONIC) - sent);
            worst_gui_ms = std::max(worst_gui_ms.load(), ms(gui_clock) - gui);
            peak_kb = std::max(peak_kb.load(), RssKb());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const bool shown = WaitFor(
        [&] { return window.Model().Count() == 1 && window.Model().At(0).status == "AAA"; }, 60000);
    done = true;
    pinger.join();
    flood.close();  // killed, and waited for
    std::printf("flood: worst ping %ld ms (GUI thread CPU %ld ms), peak VmRSS %ld kB\n",
                worst_ms.load(), worst_gui_ms.load(), peak_kb.load());
    EXPECT_TRUE(shown) << window.StatusText().toStdString();
    EXPECT_LT(worst_gui_ms, 100);
    EXPECT_LT(peak_kb, 100 * 1024);
    EXPECT_TRUE(window.StatusText().contains(" too large")) << window.StatusText().toStdString();
}

// The ward's own offline alarm after 30 s without values, and the tiles' order.
TEST(WardModel, ASilentMonitorIsOfflineAfter30sAndTilesInAlarmSortFirst) {
    WardModel m;
    bool added = false;
    m.OnMessage("velt/v1/bed-1/COM1/values", kValues, 1000, &added);
    m.OnMessage("velt/v1/bed-2/COM1/values", kValues, 1000, &added);
    m.OnMessage("velt/v1/bed-2/COM1/alarms",
                R"({"time":null,"alarms":[{"name":"spo2-low","priority":"medium","state":"active",)"
                R"("since":null,"text":"** SpO2 86 < 90"}]})",
                1000, &added);
    EXPECT_EQ(m.Order(false), (std::vector<int>{0, 1}));
    EXPECT_EQ(m.Order(true), (std::vector<int>{1, 0}));
    EXPECT_EQ(m.At(1).Alarm().text, "** SpO2 86 < 90");
    EXPECT_TRUE(m.CheckOffline(30999).empty());
    m.OnMessage("velt/v1/bed-2/COM1/values", kValues, 30000, &added);
    EXPECT_EQ(m.CheckOffline(31000), std::vector<int>{0});
    EXPECT_EQ(m.At(0).Alarm().text, "** bed-1 offline");
    EXPECT_EQ(m.Highest(), alarms::Priority::kMedium);
    EXPECT_EQ(m.AlarmStarts(), 2u);
    m.OnMessage("velt/v1/bed-1/COM1/values", kValues, 32000, &added);
    EXPECT_EQ(m.CheckOffline(32000), std::vector<int>{0});
    EXPECT_EQ(m.At(0).Alarm().priority, alarms::Priority::kNone);
}

// Pulses of sound in a burst: runs of non-zero samples at least 50 ms apart.
int Pulses(const std::vector<int16_t>& samples, int rate) {
    int pulses = 0, quiet = rate;
    for (int16_t v : samples) {
        if (v != 0 && quiet >= rate / 20) ++pulses;
        quiet = v != 0 ? 0 : quiet + 1;
    }
    return pulses;
}

// A paced desaturation through velt-process into the ward: the tile alarms in the
// bedside's colour and the ward sounds its burst; when the publisher is killed, the
// ward's own offline alarm follows. A mark goes to events.
TEST(WardWindow, ShowsAndSoundsAMonitorsAlarmAndItsOwnOfflineAlarm) {
    testing_support::TestBroker broker;
    ASSERT_TRUE(broker.Start()) << broker.Error();
    ASSERT_EQ(chmod(broker.PasswordFile().c_str(), 0600), 0);
    WardSettings s;
    s.broker = Options(broker, "ward");
    s.alarms_first = true;
    WardWindow window(s, std::string());
    window.show();
    ASSERT_TRUE(WaitFor([&] { return window.StatusText().startsWith("MQTT: connected"); }));
    std::mutex mutex;
    std::string marks;
    mqtt::Client listener(Options(broker, "ward"));
    listener.Subscribe("velt/v1/+/+/events");
    listener.SetMessageHandler([&](const char*, const char* p, size_t n, bool) {
        std::lock_guard<std::mutex> lock(mutex);
        marks.append(p, n);
    });
    std::string error;
    ASSERT_TRUE(listener.Start(&error)) << error;

    testing_support::TempDir dir;
    const std::string raw = dir.File("desaturation.raw");
    ASSERT_EQ(QProcess::execute(OXIMETER_SIM_BIN,
                                {"--protocol", "1", "--scenario",
                                 VELT_SOURCE_DIR "/tests/data/scenarios/desaturation.scn",
                                 "--output", QString::fromStdString(raw), "--seconds", "60"}),
              0);
    QProcess publisher;
    publisher.start(VELT_PROCESS_BIN,
                    {"--log-dir", QString::fromStdString(dir.path()), "--publish",
                     QString::fromStdString(broker.Url()), "--monitor", "bed-1", "--pace",
                     "--username", "monitor", "--password-file",
                     QString::fromStdString(broker.PasswordFile()), QString::fromStdString(raw)});
    ASSERT_TRUE(publisher.waitForStarted());
    {
        mqtt::MonitorPublisher other(Options(broker, "monitor"), "bed-0", "COM1", false);
        ASSERT_TRUE(other.Start(&error));
        ASSERT_TRUE(WaitFor([&] { return other.Connection().Connected(); }));
        other.Mark(mqtt::MonitorPublisher::NowUs(), "Arterial sample taken");
        ASSERT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return marks.find(R"("event":"mark","text":"Arterial sample taken")") !=
                   std::string::npos;
        }));
    }
    window.Forget("bed-0/COM1");  // gone: its offline alarm is not this test's

    // SpO2 ramps below 90 % from about 23 s; the alarm starts 10 s later.
    const auto tile = [&] { return window.Model().IndexOf("bed-1/desaturation.raw"); };
    ASSERT_TRUE(
        WaitFor([&] { return tile() >= 0 && window.Model().At(tile()).Alarm().name == "spo2-low"; },
                50000));
    const TileAlarm alarm = window.Model().At(tile()).Alarm();
    EXPECT_EQ(alarm.priority, alarms::Priority::kMedium);
    EXPECT_TRUE(alarm.text.startsWith("** SpO2 8")) << alarm.text.toStdString();
    EXPECT_EQ(window.Model().At(tile()).last_event, "alarm");
    // The colour and flash of the bedside: yellow from the start, dark 715 ms later.
    EXPECT_EQ(TileAlarmColour(alarm, alarm.since_ms), QColor(255, 230, 0));
    EXPECT_FALSE(TileAlarmColour(alarm, alarm.since_ms + 800).isValid());
    QImage image(300, 200, QImage::Format_RGB32);
    QPainter painter(&image);
    PaintTile(painter, image.rect(), window.Model().At(tile()), false, QRegion(image.rect()),
              alarm.since_ms + 100);
    painter.end();
    EXPECT_EQ(image.pixelColor(10, 150), QColor(255, 230, 0));
    // The ward sounds the medium burst: three pulses, again every 15 s.
    ASSERT_TRUE(WaitFor([&] { return window.LastBurst() == alarms::Priority::kMedium; }));
    EXPECT_EQ(Pulses(window.Tone(alarms::Priority::kMedium), 22050), 3);
    EXPECT_EQ(Pulses(window.Tone(alarms::Priority::kHigh), 22050), 10);
    window.PauseAudio();
    EXPECT_TRUE(window.PauseAction()->text().startsWith("Audio paused 2:00"));
    const uint64_t bursts = window.Bursts();

    // Killed: the broker sends its last will, and the ward raises its own alarm.
    publisher.kill();
    publisher.waitForFinished();
    ASSERT_TRUE(WaitFor([&] { return window.Model().At(tile()).offline_alarm; }));
    EXPECT_EQ(window.Model().At(tile()).Alarm().text, "** bed-1 offline");
    EXPECT_EQ(window.Model().Highest(), alarms::Priority::kMedium);
    EXPECT_EQ(window.Bursts(), bursts);  // paused: no higher priority came
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_NE(marks.find(R"("event":"alarm","alarm":"start","name":"spo2-low")"),
              std::string::npos);
}

}  // namespace
