// The broker connection against a real mosquitto on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "export/monitor_publisher.h"
#include "export/mqtt_client.h"
#include "export/mqtt_topics.h"
#include "tests/support/test_broker.h"

namespace mqtt {
namespace {

using testing_support::TestBroker;

// Bounded wait: true as soon as ready() holds, false after timeout_ms.
bool WaitFor(const std::function<bool()>& ready, int timeout_ms = 15000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready();
}

struct Received {
    std::string topic;
    std::string payload;
    bool retained;
};

// A ward-side subscriber that keeps everything it receives.
class Inbox {
public:
    bool Start(const BrokerOptions& options) {
        client_ = std::make_unique<Client>(options);
        client_->Subscribe(kSubscribeAll);
        client_->SetMessageHandler([this](const char* topic, const char* p, size_t n, bool r) {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back({topic, std::string(p, n), r});
        });
        std::string error;
        return client_->Start(&error);
    }
    std::vector<Received> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    int Count(const std::string& topic, const std::string& part = "") {
        int n = 0;
        for (const Received& m : Messages())
            if (m.topic == topic && m.payload.find(part) != std::string::npos) ++n;
        return n;
    }
    Client& client() { return *client_; }

private:
    std::mutex mutex_;
    std::vector<Received> messages_;
    std::unique_ptr<Client> client_;
};

BrokerOptions Options(const TestBroker& b, const std::string& user) {
    BrokerOptions o;
    o.url = b.Url();
    o.username = user;
    o.password_file = b.PasswordFile();
    o.keepalive_s = 5;
    return o;
}

// A monitor in a process of its own (mqtt_test_publisher), to be killed.
pid_t SpawnPublisher(const TestBroker& broker, std::string state_topic) {
    std::string url = broker.Url(), password = broker.PasswordFile(), bin = MQTT_TEST_PUBLISHER;
    char* argv[] = {bin.data(), url.data(), password.data(), state_topic.data(), nullptr};
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    return child;
}

const std::string kState = Topic("bed-1", "COM1", Leaf::kState);
const std::string kValues = Topic("bed-1", "COM1", Leaf::kValues);
const std::string kEvents = Topic("bed-1", "COM1", Leaf::kEvents);

TEST(MqttBroker, PublishesValuesAndARetainedOnlineStateThatLateSubscribersSee) {
    TestBroker broker;
    ASSERT_TRUE(broker.Start()) << broker.Error();
    Inbox early;
    ASSERT_TRUE(early.Start(Options(broker, "ward")));
    ASSERT_TRUE(WaitFor([&] { return early.client().Connected(); }));

    Client monitor(Options(broker, "monitor"));
    monitor.SetStateTopic(kState);
    std::string error;
    ASSERT_TRUE(monitor.Start(&error)) << error;
    ASSERT_TRUE(WaitFor([&] { return monitor.Connected(); }));
    EXPECT_EQ(monitor.GetStatus().state, Client::State::kConnected);
    monitor.Publish(kValues, "{\"n\":1}", Delivery::kValue);
    monitor.Publish(kEvents, "{\"event\":\"lost\"}", Delivery::kEvent);
    ASSERT_TRUE(WaitFor([&] { return early.Count(kValues, "\"n\":1") == 1; }));
    ASSERT_TRUE(WaitFor([&] { return early.Count(kEvents, "lost") == 1; }));
    EXPECT_EQ(early.Count(kState, "\"online\""), 1);

    // Someone who subscribes later still learns that the monitor is online.
    Inbox late;
    ASSERT_TRUE(late.Start(Options(broker, "ward")));
    ASSERT_TRUE(WaitFor([&] { return late.Count(kState, "\"online\"") == 1; }));
    EXPECT_TRUE(late.Messages().front().retained);
    EXPECT_EQ(late.Count(kValues), 0);  // values are not retained
}

TEST(MqttBroker, ACleanStopSaysOfflineAndAKilledPublisherLeavesItsLastWill) {
    TestBroker broker;
    ASSERT_TRUE(broker.Start()) << broker.Error();
    Inbox ward;
    ASSERT_TRUE(ward.Start(Options(broker, "ward")));
    ASSERT_TRUE(WaitFor([&] { return ward.client().Connected(); }));
    {
        Client monitor(Options(broker, "monitor"));
        monitor.SetStateTopic(kState);
        std::string error;
        ASSERT_TRUE(monitor.Start(&error));
        ASSERT_TRUE(WaitFor([&] { return monitor.Connected(); }));
    }
    ASSERT_TRUE(WaitFor([&] { return ward.Count(kState, "\"offline\",\"since\":\"") == 1; }));

    // A publisher in a process of its own, killed without a word.
    const std::string killed = Topic("bed-2", "COM1", Leaf::kState);
    const pid_t child = SpawnPublisher(broker, killed);
    ASSERT_GE(child, 0);
    ASSERT_TRUE(WaitFor([&] { return ward.Count(killed, "\"online\"") == 1; }));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(
        WaitFor([&] { return ward.Count(killed, "{\"state\":\"offline\",\"since\":null}") == 1; }));
}

// A ward's broker bridged to a central one as docs/ward.md shows: a monitor on the
// first is seen on the second, its last will included.
TEST(MqttBroker, ABridgeCarriesAMonitorToTheCentralBrokerItsLastWillIncluded) {
    TestBroker central;
    ASSERT_TRUE(central.Start()) << central.Error();
    TestBroker ward_broker(
        false, {},
        "connection central\naddress 127.0.0.1:" + std::to_string(central.Port()) +
            "\nbridge_protocol_version mqttv50\ntopic velt/v1/# out 1\n"
            "remote_username ward\nremote_password secret\n"
            "notifications true\nnotification_topic velt/v1/bridge/central/state\n");
    ASSERT_TRUE(ward_broker.Start()) << ward_broker.Error();
    Inbox station;
    ASSERT_TRUE(station.Start(Options(central, "ward")));
    // A bridge forwards only what is published while it is up.
    ASSERT_TRUE(WaitFor([&] { return station.Count("velt/v1/bridge/central/state", "1") > 0; }));
    const std::string state = Topic("bed-3", "COM1", Leaf::kState);
    const pid_t child = SpawnPublisher(ward_broker, state);
    const bool online = WaitFor([&] { return station.Count(state, "\"online\"") == 1; });
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(online);
    EXPECT_TRUE(WaitFor([&] { return station.Count(state, "\"since\":null") == 1; }));
}

TEST(MqttBroker, ABrokerThatGoesAwayIsRetriedAndEventsOfTheOutageArriveAfterIt) {
    TestBroker broker;
    ASSERT_TRUE(broker.Start()) << broker.Error();
    Inbox ward;
    BrokerOptions wo = Options(broker, "ward");
    ASSERT_TRUE(ward.Start(wo));
    // The ward comes back quickly (every 0.3 s at most), the monitor at 1 s, then 2 s
    // later: events published before the ward subscribes again would reach no one.
    ward.client().SetBackoffDivisorForTesting(100);
    Client monitor(Options(broker, "monitor"), 4);
    monitor.SetStateTopic(kState);
    std::string error;
    ASSERT_TRUE(monitor.Start(&error));
    ASSERT_TRUE(WaitFor([&] { return monitor.Connected() && ward.client().Connected(); }));

    broker.Stop();
    ASSERT_TRUE(WaitFor([&] { return monitor.GetStatus().state == Client::State::kRetrying; }));
    EXPECT_FALSE(monitor.GetStatus().reason.empty());
    // Meanwhile publishing never waits; values beyond the bound drop the oldest first,
    // events are all kept.
    const auto before = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
        monitor.Publish(kValues, "{\"n\":" + std::to_string(i) + "}", Delivery::kValue);
    monitor.Publish(kEvents, "{\"event\":\"no data\"}", Delivery::kEvent);
    monitor.Publish(kEvents, "{\"event\":\"back\"}", Delivery::kEvent);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_EQ(monitor.Dropped(), 6u);
    EXPECT_EQ(monitor.Queued(), 6u);

    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the first retry
    ASSERT_TRUE(broker.Start()) << broker.Error();
    ASSERT_TRUE(
        WaitFor([&] { return monitor.Connections() == 2 && ward.client().Connections() == 2; }));
    ASSERT_TRUE(WaitFor([&] { return ward.Count(kEvents, "back") == 1; }));
    EXPECT_EQ(ward.Count(kEvents, "no data"), 1);
    // The newest values were kept, the oldest dropped.
    EXPECT_EQ(ward.Count(kValues, "\"n\":0"), 0);
    EXPECT_TRUE(WaitFor([&] { return ward.Count(kValues, "\"n\":9") == 1; }));
}

TEST(MqttBroker, AWrongPasswordIsNamedAndNothingElseBreaks) {
    TestBroker broker;
    ASSERT_TRUE(broker.Start()) << broker.Error();
    Inbox ward;
    ASSERT_TRUE(ward.Start(Options(broker, "ward")));
    BrokerOptions o = Options(broker, "monitor");
    o.password_file = broker.File("wrong.txt");
    {
        std::FILE* f = std::fopen(o.password_file.c_str(), "w");
        std::fputs("not-it\n", f);
        std::fclose(f);
    }
    Client monitor(o);
    std::string error;
    ASSERT_TRUE(monitor.Start(&error));
    ASSERT_TRUE(WaitFor([&] { return monitor.GetStatus().state == Client::State::kRetrying; }));
    EXPECT_EQ(monitor.GetStatus().reason, "Not authorized");
    monitor.Publish(kValues, "{}", Delivery::kValue);
    EXPECT_TRUE(WaitFor([&] { return ward.client().Connected(); }));

    // A password file that cannot be read is refused before anything starts.
    o.password_file = broker.File("missing.txt");
    Client unreadable(o);
    EXPECT_FALSE(unreadable.Start(&error));
    EXPECT_NE(error.find("cannot read the password file"), std::string::npos) << error;
}

TEST(MqttBroker, TlsChecksTheBrokersCertificateAndPresentsTheClients) {
    TestBroker broker(true,
                      "user monitor\ntopic write velt/v1/bed-1/#\nuser ward\ntopic write #\n");
    ASSERT_TRUE(broker.Start()) << broker.Error();
    BrokerOptions o = Options(broker, "monitor");
    o.url = broker.TlsUrl();
    o.ca_file = broker.CaFile();
    o.cert_file = broker.ClientCert();
    o.key_file = broker.ClientKey();
    Client good(o);
    good.SetStateTopic(kState);
    std::string error;
    ASSERT_TRUE(good.Start(&error)) << error;
    ASSERT_TRUE(WaitFor([&] { return good.Connected(); })) << good.GetStatus().reason;

    o.ca_file = broker.WrongCaFile();
    Client wrong(o);
    ASSERT_TRUE(wrong.Start(&error));
    ASSERT_TRUE(WaitFor([&] { return wrong.GetStatus().state == Client::State::kRetrying; }));
    EXPECT_NE(wrong.GetStatus().reason.find("certificate verify failed: unknown CA"),
              std::string::npos)
        << wrong.GetStatus().reason;
    // The certificate is the account: the monitor's, with the ward's name and password,
    // still writes only as the monitor.
    o.ca_file = broker.CaFile();
    o.username = "ward";
    Client claimed(o);
    claimed.SetStateTopic(Topic("bed-2", "COM1", Leaf::kState));
    ASSERT_TRUE(claimed.Start(&error));
    EXPECT_TRUE(WaitFor([&] { return !claimed.GetStatus().denied.empty(); }));
    // Without a client certificate the broker refuses, and the reason says which check.
    o.cert_file = o.key_file = "";
    Client anonymous(o);
    ASSERT_TRUE(anonymous.Start(&error));
    EXPECT_TRUE(WaitFor([&] {
        return anonymous.GetStatus().reason.find("client certificate refused") != std::string::npos;
    })) << anonymous.GetStatus().reason;
    EXPECT_TRUE(good.Connected());
}

TEST(MqttBroker, AMonitorPublishesValuesEachSecondEventsOnChangesAndPlethChunks) {
    TestBroker broker;
    ASSERT_TRUE(broker.Start()) << broker.Error();
    Inbox ward;
    ASSERT_TRUE(ward.Start(Options(broker, "ward")));
    ASSERT_TRUE(WaitFor([&] { return ward.client().Connected(); }));
    MonitorPublisher monitor(Options(broker, "monitor"), "bed-1", "COM1", true);
    std::string error;
    ASSERT_TRUE(monitor.Start(&error)) << error;
    ASSERT_TRUE(WaitFor([&] { return monitor.Connection().Connected(); }));

    using data_export::LinkState;
    data_export::SecondValues v;
    v.unix_us = 1796849520000000;
    v.spo2 = "97.0";
    v.status = "OK";
    v.link = LinkState::kConnected;
    monitor.Observe(v);  // the baseline: values, no event
    v.unix_us += 250000;
    v.spo2 = "96.0";
    monitor.Observe(v);  // same second: nothing
    v.unix_us += 250000;
    v.status = "Finger?";
    monitor.Observe(v);  // a status word change
    v.unix_us += 750000;
    v.link = LinkState::kLost;
    v.status = "*** Connection lost (error 5), reconnecting..";
    monitor.Observe(v);  // a new second and a lost link
    v.unix_us += 1000000;
    v.link = LinkState::kConnected;
    v.status = "Connected..";
    monitor.Observe(v);
    v.unix_us += 1000000;
    v.link = LinkState::kNoData;
    v.status = "*** No data";
    monitor.Observe(v);
    for (uint16_t i = 0; i < 13; ++i) monitor.AddPlethSample(static_cast<uint16_t>(1000 + i));
    monitor.FlushPleth();
    monitor.FlushPleth();  // nothing gathered: nothing sent

    ASSERT_TRUE(WaitFor([&] { return ward.Count(kEvents, "\"no data\"") == 1; }));
    ASSERT_TRUE(WaitFor([&] { return ward.Count(Topic("bed-1", "COM1", Leaf::kPleth)) == 1; }));
    ASSERT_TRUE(WaitFor([&] { return ward.Count(kValues) == 4; }));
    std::vector<std::string> values, events;
    std::string pleth;
    for (const Received& m : ward.Messages()) {
        if (m.topic == kValues) values.push_back(m.payload);
        if (m.topic == kEvents) events.push_back(m.payload);
        if (m.topic == Topic("bed-1", "COM1", Leaf::kPleth)) pleth = m.payload;
    }
    ASSERT_EQ(events.size(), 4u);
    EXPECT_NE(events[0].find("\"event\":\"status\",\"text\":\"Finger?\""), std::string::npos);
    EXPECT_NE(events[1].find("\"event\":\"lost\""), std::string::npos);
    EXPECT_NE(events[2].find("\"event\":\"back\""), std::string::npos);
    EXPECT_NE(events[3].find("\"event\":\"no data\""), std::string::npos);
    EXPECT_NE(values.at(0).find("\"value\":97,"), std::string::npos) << values[0];
    EXPECT_NE(pleth.find("\"rate\":50,\"ir\":[1000,1001,1002,1003,1004,1005,1006,1007,1008,1009,"
                         "1010,1011,1012]"),
              std::string::npos)
        << pleth;
}

TEST(MqttBroker, BadOptionsAreRefusedPlainly) {
    BrokerAddress a;
    std::string error;
    ASSERT_TRUE(ParseBrokerUrl("mqtt://localhost", &a, &error));
    EXPECT_EQ(a.port, 1883);
    EXPECT_FALSE(a.tls);
    ASSERT_TRUE(ParseBrokerUrl("mqtts://broker.example:9000", &a, &error));
    EXPECT_EQ(a.host, "broker.example");
    EXPECT_EQ(a.port, 9000);
    EXPECT_TRUE(a.tls);
    ASSERT_TRUE(ParseBrokerUrl("mqtt://[::1]:1884", &a, &error));
    EXPECT_EQ(a.host, "::1");
    EXPECT_EQ(a.port, 1884);
    EXPECT_FALSE(ParseBrokerUrl("http://host", &a, &error));
    EXPECT_FALSE(ParseBrokerUrl("mqtt://host:0", &a, &error));
    EXPECT_FALSE(ParseBrokerUrl("mqtt://host:70000", &a, &error));
    EXPECT_FALSE(ParseBrokerUrl("mqtt://host:", &a, &error));
    EXPECT_FALSE(ParseBrokerUrl("mqtt://", &a, &error));
    EXPECT_FALSE(ParseBrokerUrl("mqtt://user@host", &a, &error));
    EXPECT_TRUE(IsLoopbackHost("127.0.0.1"));
    EXPECT_TRUE(IsLoopbackHost("localhost"));
    EXPECT_FALSE(IsLoopbackHost("10.0.0.1"));
    EXPECT_EQ(Client::BackoffMs(1), 1000);
    EXPECT_EQ(Client::BackoffMs(2), 2000);
    EXPECT_EQ(Client::BackoffMs(5), 16000);
    EXPECT_EQ(Client::BackoffMs(6), 30000);
    EXPECT_EQ(Client::BackoffMs(60), 30000);
}

}  // namespace
}  // namespace mqtt
