// One connection to an MQTT broker (libmosquitto), for the monitors' publishers and
// the ward's subscription. The network loop runs in a thread of its own; the callers'
// threads only put messages into a bounded queue under a short lock, so publishing
// never waits for the network. A broker that is away is tried again with a back-off
// from 1 s doubling to 30 s. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace mqtt {

struct BrokerOptions {
    std::string url;        // mqtt://host[:port] (1883) or mqtts://host[:port] (8883)
    std::string ca_file;    // mqtts: the broker's CA; the system store when empty
    std::string cert_file;  // client certificate (with key_file), optional
    std::string key_file;
    std::string username;
    std::string password_file;  // first line is the password; never stored elsewhere
    int keepalive_s = 10;
    // A session the broker keeps while this client is away (clean start off, no expiry):
    // what comes for its QoS 1 subscriptions meanwhile waits at the broker. Needs a
    // client id of its own; two clients with one id push each other off.
    std::string client_id;  // empty: the broker gives one
    bool keep_session = false;
};

struct BrokerAddress {
    std::string host;
    int port = 0;
    bool tls = false;
};

// False with a reason ("unknown scheme \"http\"", "bad port \"x\"", …).
bool ParseBrokerUrl(const std::string& url, BrokerAddress* out, std::string* error);
// True for "localhost", 127.0.0.0/8 and ::1: plain mqtt:// to anything else is worth a
// warning.
bool IsLoopbackHost(const std::string& host);

// What is worth a warning, once, before connecting: plain mqtt:// to a host that is
// not this machine ("bed.example is plain mqtt://, not encrypted; use mqtts:// beyond
// this machine"), a password file that others can read. Empty when nothing is.
std::string BrokerWarnings(const BrokerOptions& options);

// How a message travels: values and pleth are QoS 0 and the first to be dropped when
// the queue is full; events are QoS 1; state is QoS 1 and retained. Neither of the
// latter is dropped for values.
enum class Delivery { kValue, kEvent, kState };

class Client {
public:
    enum class State { kStopped, kConnecting, kConnected, kRetrying };
    struct Status {
        State state = State::kStopped;
        std::string reason;  // why the last attempt or connection failed
        // The broker's last refusal of a message on this connection ("not authorized
        // for velt/v1/bed-2/COM1/state"); empty while it takes what comes.
        std::string denied;
    };
    // Called in the network thread for each message received; must be quick.
    using MessageFn =
        std::function<void(const char* topic, const char* payload, size_t size, bool retained)>;

    // queue_limit: values held at most (events and state are held up to a much larger
    // bound so that a long outage cannot grow memory without end).
    explicit Client(BrokerOptions options, size_t queue_limit = 64);
    // Stops the thread: a clean disconnect, publishing the offline message first when
    // one is set. Waits at most about 2 s for a network that does not answer.
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Before Start. The monitor's state topic: {"state":"online"} (retained, QoS 1) on
    // every connection, {"state":"offline"} as the last will and on a clean stop.
    void SetStateTopic(const std::string& topic);
    // Before Start; subscribed again on every connection. With a kept session, QoS 1
    // is what the broker holds for this client while it is away.
    void Subscribe(const std::string& pattern, int qos = 0);
    void SetMessageHandler(MessageFn fn);
    // Before Start. Called in the network thread with each failure as it happens, once
    // until it changes: "refused: Not authorized", "cannot reach the broker: Connection
    // refused", "denied: not authorized for velt/v1/…", "connection lost" (after a
    // connection). A headless publisher prints them.
    void SetProblemHandler(std::function<void(const std::string&)> fn);

    // Checks the options (URL, readable files) and starts the thread. False with a
    // reason when it cannot start; a broker that is away is not a failure.
    bool Start(std::string* error);

    // Any thread; never blocks on the network.
    void Publish(const std::string& topic, std::string payload, Delivery delivery);

    Status GetStatus() const;
    bool Connected() const;
    // Whether the broker still had this client's session at the last connection (what
    // came while it was away follows); false for a new one.
    bool SessionPresent() const;
    uint64_t Dropped() const;       // messages dropped at the queue bound
    uint64_t Sent() const;          // messages handed to the connection
    uint64_t Connections() const;   // successful connections so far
    uint64_t Acknowledged() const;  // QoS 1 messages the broker took
    uint64_t Denied() const;        // QoS 1 messages the broker refused (an ACL)
    size_t Queued() const;

    // Back-off after the n-th failure in a row (1-based): 1, 2, 4, 8, 16, 30, 30 … s.
    static int BackoffMs(int failures);

    // Test seam: the back-off is divided by this (tests wait less).
    void SetBackoffDivisorForTesting(int d);

    struct Shared;  // the thread's state; a stop that has to leave the thread keeps it

private:
    static void Run(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace mqtt
