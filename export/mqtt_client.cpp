#include "export/mqtt_client.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <future>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "export/mqtt_topics.h"

namespace mqtt {
namespace {

constexpr size_t kHeldLimit = 4096;  // events and state kept through an outage
constexpr int kPollMs = 500;         // keep-alive housekeeping at least this often
constexpr int kStopWaitMs = 2000;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::once_flag g_lib_init;

bool Readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

}  // namespace

bool ParseBrokerUrl(const std::string& url, BrokerAddress* out, std::string* error) {
    BrokerAddress a;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        a.port = 1883;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        a.port = 8883;
        a.tls = true;
    } else {
        *error = "the broker must be mqtt://host:port or mqtts://host:port, not \"" + url + "\"";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string port;
    if (!rest.empty() && rest.front() == '[') {  // [::1]:1883
        const size_t close = rest.find(']');
        if (close == std::string::npos) {
            *error = "missing \"]\" in the broker address \"" + url + "\"";
            return false;
        }
        a.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                *error = "bad broker address \"" + url + "\"";
                return false;
            }
            port = rest.substr(close + 2);
            if (port.empty()) port = "-";
        }
    } else {
        const size_t colon = rest.rfind(':');
        a.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            port = rest.substr(colon + 1);
            if (port.empty()) port = "-";
        }
    }
    if (a.host.empty() || a.host.find_first_of("/@ ") != std::string::npos) {
        *error = "bad broker host in \"" + url + "\"";
        return false;
    }
    if (!port.empty()) {
        long p = 0;
        for (char c : port) {
            if (c < '0' || c > '9' || p > 65535) {
                p = -1;
                break;
            }
            p = p * 10 + (c - '0');
        }
        if (p < 1 || p > 65535) {
            *error = "bad broker port \"" + port + "\"";
            return false;
        }
        a.port = static_cast<int>(p);
    }
    *out = a;
    return true;
}

bool IsLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return false;
}

std::string BrokerWarnings(const BrokerOptions& options) {
    std::string out;
    BrokerAddress a;
    std::string ignored;
    if (ParseBrokerUrl(options.url, &a, &ignored) && !a.tls && !IsLoopbackHost(a.host))
        out = a.host + " is plain mqtt://, not encrypted; use mqtts:// beyond this machine";
    struct stat st {};
    if (!options.password_file.empty() && stat(options.password_file.c_str(), &st) == 0 &&
        (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        if (!out.empty()) out += "; ";
        out += "the password file \"" + options.password_file +
               "\" can be read by others (chmod 600 it)";
    }
    return out;
}

int Client::BackoffMs(int failures) {
    if (failures < 1) failures = 1;
    if (failures > 6) return 30000;
    return std::min(1000 << (failures - 1), 30000);
}

namespace {
struct Item {
    std::string topic;
    std::string payload;
    Delivery delivery = Delivery::kValue;
};
// The broker answered the connect with a refusal (its reason code is in connack).
constexpr int kConnackRefused = -1000;
}  // namespace

struct Client::Shared {
    BrokerOptions options;
    BrokerAddress address;
    std::string password;
    size_t queue_limit = 64;
    std::string state_topic;
    std::vector<std::pair<std::string, int>> subscriptions;  // pattern, QoS
    int backoff_divisor = 1;

    std::mutex handler_mutex;  // a stop that leaves the thread behind clears the handlers
    MessageFn handler;
    std::function<void(const std::string&)> problem_handler;

    mutable std::mutex mutex;
    std::condition_variable wake_cv;
    std::deque<Item> queue;
    size_t values_queued = 0;
    bool stop = false;
    Status status;

    int wake_fd = -1;
    std::atomic<State> state{State::kStopped};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> acked{0};
    std::atomic<uint64_t> denied{0};
    std::atomic<bool> session_present{false};
    std::promise<void> exited;

    // Network thread only.
    int connack = -1;  // -1: none yet this connection
    std::string tls_error;
    int offline_mid = -1;
    bool offline_acked = false;
    std::unordered_map<int, std::string> awaiting;  // QoS 1 topics by message id
    std::string last_problem;

    // A failure for the problem handler, once until it changes.
    void Report(const std::string& problem) {
        if (problem == last_problem) return;
        last_problem = problem;
        std::lock_guard<std::mutex> lock(handler_mutex);
        if (problem_handler) problem_handler(problem);
    }
    // A QoS 1 publish; its topic is kept until the broker answers.
    int PublishAcked(mosquitto* mosq, const std::string& topic, const std::string& payload,
                     bool retain, int* mid_out = nullptr) {
        int mid = 0;
        const int rc = mosquitto_publish(
            mosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
        if (rc == MOSQ_ERR_SUCCESS) awaiting[mid] = topic;
        if (mid_out != nullptr) *mid_out = mid;
        return rc;
    }

    ~Shared() {
        if (wake_fd >= 0) close(wake_fd);
    }

    bool Stopping() {
        std::lock_guard<std::mutex> lock(mutex);
        return stop;
    }
    void SetStatus(State s, const std::string& reason) {
        std::lock_guard<std::mutex> lock(mutex);
        status.state = s;
        if (s != State::kConnected) status.reason = reason;
        state.store(s, std::memory_order_release);
    }
    void Wake() {
        const uint64_t one = 1;
        if (wake_fd >= 0) (void)!write(wake_fd, &one, sizeof one);
    }
    void DrainWake() {
        uint64_t n;
        if (wake_fd >= 0) (void)!read(wake_fd, &n, sizeof n);
    }
    // Waits ms unless a stop comes first; false at a stop.
    bool Sleep(int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        wake_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop; });
        return !stop;
    }
    std::string Describe(int rc, int err) const {
        if (!tls_error.empty()) return "TLS: " + tls_error;  // whatever the read made of it
        switch (rc) {
            case MOSQ_ERR_ERRNO:
                return err != 0 ? std::strerror(err) : "system error";
            case MOSQ_ERR_TLS:
            case MOSQ_ERR_TLS_HANDSHAKE:
                return tls_error.empty() ? "TLS handshake failed" : "TLS: " + tls_error;
            case MOSQ_ERR_EAI:
                return "unknown host \"" + address.host + "\"";
            case MOSQ_ERR_CONN_LOST:
                return "connection lost";
            case MOSQ_ERR_KEEPALIVE:
                return "no answer within the keep-alive";
            default:
                return mosquitto_strerror(rc);
        }
    }
};

namespace {

void OnConnect(mosquitto*, void* obj, int rc, int flags, const mosquitto_property*) {
    auto* s = static_cast<Client::Shared*>(obj);
    // CONNACK's flags: bit 0 is "session present".
    s->session_present.store(rc == 0 && (flags & 1) != 0, std::memory_order_relaxed);
    s->connack = rc;
}

void OnPublish(mosquitto*, void* obj, int mid, int reason, const mosquitto_property*) {
    auto* s = static_cast<Client::Shared*>(obj);
    if (mid == s->offline_mid) s->offline_acked = true;
    // Called for QoS 0 messages too, as they leave: only acknowledgements count.
    const auto it = s->awaiting.find(mid);
    if (it == s->awaiting.end()) return;
    const std::string topic = std::move(it->second);
    s->awaiting.erase(it);
    // MQTT 5 acknowledgements carry the broker's reason: 0x80 and above refuse.
    if (reason < 0x80) {
        s->acked.fetch_add(1, std::memory_order_relaxed);
        // The topic that was refused is taken now (the ACL changed).
        std::lock_guard<std::mutex> lock(s->mutex);
        const std::string& d = s->status.denied;
        if (d.size() > topic.size() && d.compare(d.size() - topic.size(), topic.size(), topic) == 0)
            s->status.denied.clear();
        return;
    }
    s->denied.fetch_add(1, std::memory_order_relaxed);
    std::string why = mosquitto_reason_string(reason);
    if (!why.empty()) why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
    const std::string denied = why + " for " + topic;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->status.denied = denied;
    }
    s->Report("denied: " + denied);
}

void OnMessage(mosquitto*, void* obj, const mosquitto_message* m, const mosquitto_property*) {
    auto* s = static_cast<Client::Shared*>(obj);
    std::lock_guard<std::mutex> lock(s->handler_mutex);
    if (s->handler)
        s->handler(m->topic, static_cast<const char*>(m->payload),
                   static_cast<size_t>(m->payloadlen), m->retain);
}

// Which check of a TLS handshake failed, in words: OpenSSL's own reason says only
// "certificate verify failed", the handshake's verify result says why; an alert from
// the broker about a certificate is about ours.
std::string TlsReason(const char* openssl, void* ssl, const std::string& host) {
    const long v = ssl != nullptr ? SSL_get_verify_result(static_cast<SSL*>(ssl)) : X509_V_OK;
    const std::string failed = "certificate verify failed: ";
    switch (v) {
        case X509_V_OK:
            break;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return failed + "unknown CA (the broker's certificate is not signed by the CA file)";
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return failed + "certificate has expired";
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return failed + "certificate is not yet valid";
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return failed + "name mismatch (the certificate is not for " + host + ")";
        default:
            return failed + X509_verify_cert_error_string(v);
    }
    const std::string_view text = openssl;
    if (text.find("alert") != std::string_view::npos &&
        (text.find("certificate") != std::string_view::npos ||
         text.find("unknown ca") != std::string_view::npos ||
         text.find("unknown CA") != std::string_view::npos))
        return "client certificate refused (" + std::string(text) + ")";
    return std::string(text);
}

int TlsIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// With TLS 1.3 a refused client certificate comes as the broker's alert after the
// handshake: the alert, not the read's error, says what happened.
void OnTlsInfo(const SSL* ssl, int where, int alert) {
    if ((where & SSL_CB_READ_ALERT) == 0 || (alert >> 8) != SSL3_AL_FATAL) return;
    auto* s = static_cast<Client::Shared*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), TlsIndex()));
    if (s != nullptr && s->tls_error.empty())
        s->tls_error =
            TlsReason((std::string("alert ") + SSL_alert_desc_string_long(alert)).c_str(), nullptr,
                      s->address.host);
}

void OnLog(mosquitto* mosq, void* obj, int level, const char* text) {
    // OpenSSL's reason ends the line: "OpenSSL Error[0]: error:0A000086:SSL
    // routines::certificate verify failed". The handshake is still there to ask.
    if (level != MOSQ_LOG_ERR || std::strstr(text, "OpenSSL Error") == nullptr) return;
    auto* s = static_cast<Client::Shared*>(obj);
    const char* reason = std::strrchr(text, ':');
    s->tls_error =
        TlsReason(reason != nullptr ? reason + 1 : text, mosquitto_ssl_get(mosq), s->address.host);
}

}  // namespace

Client::Client(BrokerOptions options, size_t queue_limit) : shared_(std::make_shared<Shared>()) {
    shared_->options = std::move(options);
    shared_->queue_limit = queue_limit == 0 ? 1 : queue_limit;
}

Client::~Client() {
    if (!thread_.joinable()) return;
    std::future<void> exited = shared_->exited.get_future();
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stop = true;
    }
    shared_->wake_cv.notify_all();
    shared_->Wake();
    if (exited.wait_for(std::chrono::milliseconds(kStopWaitMs + 500)) ==
        std::future_status::ready) {
        thread_.join();
        return;
    }
    // A connect the network does not answer: the thread keeps its own state and ends
    // when the connect gives up; nothing of ours is reached from it any more.
    {
        std::lock_guard<std::mutex> lock(shared_->handler_mutex);
        shared_->handler = nullptr;
        shared_->problem_handler = nullptr;
    }
    thread_.detach();
}

void Client::SetStateTopic(const std::string& topic) { shared_->state_topic = topic; }
void Client::Subscribe(const std::string& pattern, int qos) {
    shared_->subscriptions.emplace_back(pattern, qos);
}
void Client::SetMessageHandler(MessageFn fn) {
    std::lock_guard<std::mutex> lock(shared_->handler_mutex);
    shared_->handler = std::move(fn);
}
void Client::SetProblemHandler(std::function<void(const std::string&)> fn) {
    std::lock_guard<std::mutex> lock(shared_->handler_mutex);
    shared_->problem_handler = std::move(fn);
}
void Client::SetBackoffDivisorForTesting(int d) { shared_->backoff_divisor = d < 1 ? 1 : d; }

bool Client::Start(std::string* error) {
    if (thread_.joinable()) return true;
    Shared& s = *shared_;
    if (!ParseBrokerUrl(s.options.url, &s.address, error)) return false;
    if (s.options.keepalive_s < 5 || s.options.keepalive_s > 65535) {
        *error = "keep-alive must be 5 to 65535 s";
        return false;
    }
    for (const std::string* f : {&s.options.ca_file, &s.options.cert_file, &s.options.key_file}) {
        if (!f->empty() && !Readable(*f)) {
            *error = "cannot read \"" + *f + "\": " + std::strerror(errno);
            return false;
        }
    }
    if (s.options.keep_session && s.options.client_id.empty()) {
        *error = "a kept session needs a client id";
        return false;
    }
    if (!s.options.client_id.empty() &&
        (s.options.client_id.size() > 65535 ||
         mosquitto_validate_utf8(s.options.client_id.c_str(),
                                 static_cast<int>(s.options.client_id.size())) != 0)) {
        *error = "the client id \"" + s.options.client_id + "\" is not valid UTF-8";
        return false;
    }
    if (s.options.cert_file.empty() != s.options.key_file.empty()) {
        *error = "a client certificate needs both the certificate and the key file";
        return false;
    }
    if (!s.options.password_file.empty()) {
        std::ifstream in(s.options.password_file);
        if (!in) {
            *error = "cannot read the password file \"" + s.options.password_file +
                     "\": " + std::strerror(errno);
            return false;
        }
        std::getline(in, s.password);
        if (!s.password.empty() && s.password.back() == '\r') s.password.pop_back();
        if (s.options.username.empty()) {
            *error = "a password file needs a user name";
            return false;
        }
    }
    s.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.wake_fd < 0) {
        *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    std::call_once(g_lib_init, [] { mosquitto_lib_init(); });
    s.SetStatus(State::kConnecting, std::string());
    thread_ = std::thread(&Client::Run, shared_);
    return true;
}

void Client::Publish(const std::string& topic, std::string payload, Delivery delivery) {
    Shared& s = *shared_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (delivery == Delivery::kValue) {
            if (s.values_queued >= s.queue_limit) {
                for (auto it = s.queue.begin(); it != s.queue.end(); ++it) {
                    if (it->delivery == Delivery::kValue) {
                        s.queue.erase(it);
                        --s.values_queued;
                        s.dropped.fetch_add(1, std::memory_order_relaxed);
                        break;
                    }
                }
            }
            ++s.values_queued;
        } else if (s.queue.size() - s.values_queued >= kHeldLimit) {
            for (auto it = s.queue.begin(); it != s.queue.end(); ++it) {
                if (it->delivery != Delivery::kValue) {
                    s.queue.erase(it);
                    s.dropped.fetch_add(1, std::memory_order_relaxed);
                    break;
                }
            }
        }
        s.queue.push_back(Item{topic, std::move(payload), delivery});
    }
    s.Wake();
}

Client::Status Client::GetStatus() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->status;
}
bool Client::Connected() const {
    return shared_->state.load(std::memory_order_acquire) == State::kConnected;
}
bool Client::SessionPresent() const {
    return shared_->session_present.load(std::memory_order_relaxed);
}
uint64_t Client::Dropped() const { return shared_->dropped.load(std::memory_order_relaxed); }
uint64_t Client::Sent() const { return shared_->sent.load(std::memory_order_relaxed); }
uint64_t Client::Connections() const {
    return shared_->connections.load(std::memory_order_relaxed);
}
uint64_t Client::Acknowledged() const { return shared_->acked.load(std::memory_order_relaxed); }
uint64_t Client::Denied() const { return shared_->denied.load(std::memory_order_relaxed); }
size_t Client::Queued() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->queue.size();
}

namespace {

// One poll round on the connection: read, write, keep-alive. MOSQ_ERR_SUCCESS or the
// failure that ended the connection.
int Pump(mosquitto* mosq, int wake_fd, int timeout_ms, bool* woken) {
    const int sock = mosquitto_socket(mosq);
    if (sock < 0) return MOSQ_ERR_NO_CONN;
    pollfd fds[2] = {
        {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0},
        {wake_fd, POLLIN, 0}};
    const int n = poll(fds, 2, timeout_ms);
    if (n < 0 && errno != EINTR) return MOSQ_ERR_ERRNO;
    int rc = MOSQ_ERR_SUCCESS;
    if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
        rc = mosquitto_loop_read(mosq, 1);
        if (rc != MOSQ_ERR_SUCCESS) return rc;
    }
    if (mosquitto_want_write(mosq)) {
        rc = mosquitto_loop_write(mosq, 1);
        if (rc != MOSQ_ERR_SUCCESS) return rc;
    }
    if (n > 0 && (fds[1].revents & POLLIN)) *woken = true;
    return mosquitto_loop_misc(mosq);
}

}  // namespace

void Client::Run(std::shared_ptr<Shared> shared) {
    Shared& s = *shared;
    mosquitto* mosq =
        mosquitto_new(s.options.client_id.empty() ? nullptr : s.options.client_id.c_str(),
                      !s.options.keep_session, &s);
    if (mosq == nullptr) {
        s.SetStatus(State::kRetrying, "out of memory");
        s.exited.set_value();
        return;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Small messages go out at once instead of waiting for the last one's ACK.
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(mosq, OnConnect);
    mosquitto_publish_v5_callback_set(mosq, OnPublish);
    mosquitto_message_v5_callback_set(mosq, OnMessage);
    mosquitto_log_callback_set(mosq, OnLog);
    std::string setup_error;
    if (!s.options.username.empty() &&
        mosquitto_username_pw_set(mosq, s.options.username.c_str(),
                                  s.options.password_file.empty() ? nullptr : s.password.c_str()) !=
            0)
        setup_error = "bad user name";
    if (s.address.tls && setup_error.empty()) {
        const bool system_store = s.options.ca_file.empty();
        if (system_store) mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        const int rc = mosquitto_tls_set(
            mosq, system_store ? nullptr : s.options.ca_file.c_str(),
            system_store ? "/etc/ssl/certs" : nullptr,
            s.options.cert_file.empty() ? nullptr : s.options.cert_file.c_str(),
            s.options.key_file.empty() ? nullptr : s.options.key_file.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            setup_error = std::string("TLS set-up: ") + mosquitto_strerror(rc);
    }
    if (!s.state_topic.empty()) {
        const std::string will = StateJson(false, 0);
        mosquitto_will_set(mosq, s.state_topic.c_str(), static_cast<int>(will.size()), will.data(),
                           1, true);
    }
    if (!setup_error.empty()) {
        s.SetStatus(State::kRetrying, setup_error);
        mosquitto_destroy(mosq);
        s.exited.set_value();
        return;
    }

    // Nothing we take is larger than kMaxPacket: the broker drops a larger message for
    // us instead of making this thread read (and hold) all of it.
    mosquitto_property* connect_properties = nullptr;
    mosquitto_property_add_int32(&connect_properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, kMaxPacket);
    // MQTT 5 ends a session at the disconnect unless it is given an expiry: this one
    // never expires (the broker's own limit, persistent_client_expiration, still holds).
    if (s.options.keep_session)
        mosquitto_property_add_int32(&connect_properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                     UINT32_MAX);

    int failures = 0;
    std::string reason;
    std::vector<Item> batch;
    while (!s.Stopping()) {
        s.connack = -1;
        s.tls_error.clear();
        errno = 0;
        int rc = mosquitto_connect_bind_v5(mosq, s.address.host.c_str(), s.address.port,
                                           s.options.keepalive_s, nullptr, connect_properties);
        int err = errno;
        bool connected = false;
        // libmosquitto keeps its TLS context across attempts: from the next one on, an
        // alert during the handshake reaches OnTlsInfo too.
        if (auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(mosq)); ssl != nullptr) {
            SSL_CTX* context = SSL_get_SSL_CTX(ssl);
            SSL_CTX_set_ex_data(context, TlsIndex(), &s);
            SSL_CTX_set_info_callback(context, OnTlsInfo);
            SSL_set_info_callback(ssl, OnTlsInfo);
        }
        // Hands the queue over only while the socket keeps up, so the bound holds; at a
        // stop, all of it.
        auto hand_over = [&](bool all) {
            while (all || !mosquitto_want_write(mosq)) {
                Item item;
                {
                    std::lock_guard<std::mutex> lock(s.mutex);
                    if (s.queue.empty()) break;
                    item = std::move(s.queue.front());
                    s.queue.pop_front();
                    if (item.delivery == Delivery::kValue) --s.values_queued;
                }
                const int prc = item.delivery == Delivery::kValue
                                    ? mosquitto_publish(mosq, nullptr, item.topic.c_str(),
                                                        static_cast<int>(item.payload.size()),
                                                        item.payload.data(), 0, false)
                                    : s.PublishAcked(mosq, item.topic, item.payload,
                                                     item.delivery == Delivery::kState);
                if (prc == MOSQ_ERR_SUCCESS) {
                    s.sent.fetch_add(1, std::memory_order_relaxed);
                } else if (item.delivery != Delivery::kValue) {
                    std::lock_guard<std::mutex> lock(s.mutex);
                    s.queue.push_front(std::move(item));  // kept for the next connection
                    break;
                }
            }
        };
        while (rc == MOSQ_ERR_SUCCESS) {
            bool woken = false;
            rc = Pump(mosq, s.wake_fd, kPollMs, &woken);
            err = errno;
            if (woken) s.DrainWake();
            if (rc != MOSQ_ERR_SUCCESS) break;
            if (s.Stopping()) break;
            if (s.connack > 0) {
                rc = kConnackRefused;
                break;
            }
            if (s.connack != 0) continue;
            if (!connected) {
                connected = true;
                failures = 0;
                s.connections.fetch_add(1, std::memory_order_relaxed);
                s.awaiting.clear();
                s.last_problem.clear();
                {
                    std::lock_guard<std::mutex> lock(s.mutex);
                    s.status.denied.clear();
                }
                if (!s.state_topic.empty())
                    s.PublishAcked(mosq, s.state_topic, StateJson(true, NowUs()), true);
                for (const auto& [pattern, qos] : s.subscriptions)
                    mosquitto_subscribe(mosq, nullptr, pattern.c_str(), qos);
                s.SetStatus(State::kConnected, std::string());
            }
            hand_over(false);
        }
        if (s.Stopping()) {
            if (connected && mosquitto_socket(mosq) >= 0) {
                // What was queued before the stop (a closed window's emptied alarm list,
                // its last events) goes first, in order, ahead of the offline state.
                hand_over(true);
                // A clean stop says so at once instead of leaving it to the will.
                if (!s.state_topic.empty()) {
                    s.offline_acked = false;
                    if (s.PublishAcked(mosq, s.state_topic, StateJson(false, NowUs()), true,
                                       &s.offline_mid) == MOSQ_ERR_SUCCESS) {
                        const auto until = std::chrono::steady_clock::now() +
                                           std::chrono::milliseconds(kStopWaitMs / 2);
                        bool woken = false;
                        while (!s.offline_acked && std::chrono::steady_clock::now() < until &&
                               Pump(mosq, s.wake_fd, 50, &woken) == MOSQ_ERR_SUCCESS) {
                        }
                    }
                }
                mosquitto_disconnect(mosq);
                bool woken = false;
                for (int i = 0; i < 20 && mosquitto_want_write(mosq) &&
                                Pump(mosq, s.wake_fd, 50, &woken) == MOSQ_ERR_SUCCESS;
                     ++i) {
                }
            }
            break;
        }
        // A refusal ends the connection with a protocol error; its reason says more.
        // A TLS connection the broker ends before answering, its alert lost to the
        // closing socket: a refused client certificate is what does that.
        if (s.address.tls && !connected && s.connack < 0 && s.tls_error.empty() &&
            rc == MOSQ_ERR_ERRNO && (err == EPROTO || err == ECONNRESET || err == EPIPE))
            s.tls_error =
                "client certificate refused or missing (the broker ended the "
                "connection after the handshake)";
        const bool refused = rc == kConnackRefused || s.connack > 0;
        if (refused)
            reason = mosquitto_reason_string(s.connack);
        else
            reason = s.Describe(rc, err);
        if (connected)
            s.Report(reason);
        else if (!s.tls_error.empty())
            s.Report("refused: " + s.tls_error);
        else if (refused || rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE)
            s.Report("refused: " + reason);
        else
            s.Report("cannot reach the broker: " + reason);
        if (mosquitto_socket(mosq) >= 0) mosquitto_disconnect(mosq);
        s.SetStatus(State::kRetrying, reason);
        ++failures;
        if (!s.Sleep(BackoffMs(failures) / s.backoff_divisor)) break;
    }
    mosquitto_property_free_all(&connect_properties);
    mosquitto_destroy(mosq);
    s.SetStatus(State::kStopped, reason);
    s.exited.set_value();
}

}  // namespace mqtt
