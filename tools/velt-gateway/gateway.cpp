#include "tools/velt-gateway/gateway.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "export/broker_options.h"
#include "export/json_reader.h"
#include "export/mqtt_topics.h"
#include "platform/profile.h"

namespace gateway {

namespace {

const char* const kUsage =
    "usage: velt-gateway --broker URL [--ca-file F] [--cert-file F] [--key-file F]\n"
    "                    [--username U] [--password-file F] --mllp HOST:PORT\n"
    "                    [--mllp-ca-file F]\n"
    "                    [--interval SECONDS] [--facility NAME] [--queue DIR]\n"
    "                    [--queue-size MB] [--ack-timeout SECONDS] [--max-backoff SECONDS]\n"
    "                    [--client-id ID] [--config FILE]\n"
    "Forwards what the monitors publish on the broker to an HL7 interface engine over\n"
    "MLLP: their values as ORU^R01 (IHE PCD-01) every interval, their alarms' starts,\n"
    "ends and acknowledgements as ORU^R40 (PCD-04).\n"
    "%s"
    "  --mllp HOST:PORT     the interface engine ([v6 address]:port for IPv6)\n"
    "  --mllp-ca-file F     MLLP over TLS: the engine's certificate is checked against\n"
    "                       this CA and its host name\n"
    "  --interval SECONDS   between two observation reports of a monitor (60)\n"
    "  --facility NAME      the sending facility (MSH-4) and the location's facility\n"
    "  --queue DIR          where messages wait for the engine's acknowledgement\n"
    "                       ($STATE_DIRECTORY/queue, else ~/.local/state/velt-gateway/queue)\n"
    "  --queue-size MB      the queue's bound; the oldest messages go first (100)\n"
    "  --ack-timeout SECONDS  how long to wait for an acknowledgement (30)\n"
    "  --max-backoff SECONDS  the longest wait before the engine is tried again (30)\n"
    "  --client-id ID       the broker session, kept while the gateway is stopped so that\n"
    "                       no alarm published meanwhile is missed (velt-gateway-<host>)\n"
    "  --config FILE        an INI file whose [gateway] section holds the same settings\n"
    "                       (broker, ca_file, …, mllp, mllp_ca_file, interval, facility, queue,\n"
    "                       queue_size, ack_timeout, max_backoff, client_id); the command\n"
    "                       line overrides it\n"
    "  --stats FILE         at exit, the messages acknowledged, refused and dropped and\n"
    "                       the observations' delays from publication to acknowledgement\n"
    "                       (ms: p50, p99, max) to FILE\n";

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A whole positive number within [lo, hi]; false otherwise.
bool ParseCount(const std::string& text, long lo, long hi, long* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool SplitHostPort(const std::string& text, std::string* host, int* port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    *host = text.substr(0, colon);
    if (host->size() > 2 && host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    long p = 0;
    if (!ParseCount(text.substr(colon + 1), 1, 65535, &p)) return false;
    *port = static_cast<int>(p);
    return true;
}

std::string DefaultQueueDir() {
    if (const char* state = std::getenv("STATE_DIRECTORY"); state && *state) {
        std::string dir = state;
        const size_t colon = dir.find(':');  // systemd lists several with ':'
        return dir.substr(0, colon) + "/queue";
    }
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg)
        return std::string(xdg) + "/velt-gateway/queue";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "/tmp") + "/.local/state/velt-gateway/queue";
}

}  // namespace

int ParseOptions(int argc, char** argv, Options* o) {
    // The file first, so that the command line overrides it.
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--config") == 0) {
            const std::string path = argv[i + 1];
            if (access(path.c_str(), R_OK) != 0) {
                std::fprintf(stderr, "velt-gateway: cannot read %s: %s\n", path.c_str(),
                             std::strerror(errno));
                return 2;
            }
            mqtt::ReadBrokerOptions("gateway", path, &o->broker);
            auto get = [&](const char* key, std::string* field) {
                std::string v = platform::GetPrivateProfileString("gateway", key, "", path);
                if (!v.empty()) *field = v;
            };
            std::string interval, size, timeout, backoff;
            get("mllp", &o->mllp);
            get("client_id", &o->broker.client_id);
            get("max_backoff", &backoff);
            get("mllp_ca_file", &o->mllp_ca_file);
            get("facility", &o->facility);
            get("queue", &o->queue_dir);
            get("interval", &interval);
            get("queue_size", &size);
            get("ack_timeout", &timeout);
            long v = 0;
            if (!interval.empty() && !ParseCount(interval, 1, 86400, &v)) {
                std::fprintf(stderr, "velt-gateway: %s: interval \"%s\" is not 1 to 86400 s\n",
                             path.c_str(), interval.c_str());
                return 2;
            }
            if (!interval.empty()) o->interval_s = static_cast<int>(v);
            if (!size.empty() && !ParseCount(size, 1, 1 << 20, &v)) {
                std::fprintf(stderr, "velt-gateway: %s: queue_size \"%s\" is not 1 to 1048576 MB\n",
                             path.c_str(), size.c_str());
                return 2;
            }
            if (!size.empty()) o->queue_bytes = static_cast<uint64_t>(v) << 20;
            if (!timeout.empty() && !ParseCount(timeout, 1, 3600, &v)) {
                std::fprintf(stderr, "velt-gateway: %s: ack_timeout \"%s\" is not 1 to 3600 s\n",
                             path.c_str(), timeout.c_str());
                return 2;
            }
            if (!timeout.empty()) o->ack_timeout_s = static_cast<int>(v);
            if (!backoff.empty() && !ParseCount(backoff, 1, 3600, &v)) {
                std::fprintf(stderr, "velt-gateway: %s: max_backoff \"%s\" is not 1 to 3600 s\n",
                             path.c_str(), backoff.c_str());
                return 2;
            }
            if (!backoff.empty()) o->max_backoff_s = static_cast<int>(v);
        }
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf(kUsage, mqtt::kBrokerOptionsUsage);
            return -1;
        }
        if (a == "--version") {
            std::printf("velt-gateway %s\n", VELT_VERSION);
            return -1;
        }
        std::string interval, size, timeout, backoff, config;
        std::string* target = mqtt::BrokerOptionField(&o->broker, a);
        if (a == "--mllp")
            target = &o->mllp;
        else if (a == "--mllp-ca-file")
            target = &o->mllp_ca_file;
        else if (a == "--facility")
            target = &o->facility;
        else if (a == "--queue")
            target = &o->queue_dir;
        else if (a == "--interval")
            target = &interval;
        else if (a == "--queue-size")
            target = &size;
        else if (a == "--ack-timeout")
            target = &timeout;
        else if (a == "--max-backoff")
            target = &backoff;
        else if (a == "--client-id")
            target = &o->broker.client_id;
        else if (a == "--config")
            target = &config;
        else if (a == "--stats")
            target = &o->stats;
        if (target == nullptr) {
            std::fprintf(stderr, "velt-gateway: unknown option %s\n", a.c_str());
            std::fprintf(stderr, kUsage, mqtt::kBrokerOptionsUsage);
            return 2;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "velt-gateway: %s needs a value\n", a.c_str());
            return 2;
        }
        *target = argv[++i];
        long v = 0;
        if ((a == "--interval" && !ParseCount(interval, 1, 86400, &v)) ||
            (a == "--queue-size" && !ParseCount(size, 1, 1 << 20, &v)) ||
            (a == "--ack-timeout" && !ParseCount(timeout, 1, 3600, &v)) ||
            (a == "--max-backoff" && !ParseCount(backoff, 1, 3600, &v))) {
            std::fprintf(stderr, "velt-gateway: %s \"%s\" is out of range\n", a.c_str(), argv[i]);
            return 2;
        }
        if (a == "--interval")
            o->interval_s = static_cast<int>(v);
        else if (a == "--queue-size")
            o->queue_bytes = static_cast<uint64_t>(v) << 20;
        else if (a == "--ack-timeout")
            o->ack_timeout_s = static_cast<int>(v);
        else if (a == "--max-backoff")
            o->max_backoff_s = static_cast<int>(v);
    }
    if (o->broker.url.empty() || o->mllp.empty()) {
        std::fprintf(stderr, "velt-gateway: --broker and --mllp are needed\n");
        return 2;
    }
    mqtt::BrokerAddress address;
    std::string error;
    if (!mqtt::ParseBrokerUrl(o->broker.url, &address, &error)) {
        std::fprintf(stderr, "velt-gateway: %s\n", error.c_str());
        return 2;
    }
    std::string host;
    int port = 0;
    if (!SplitHostPort(o->mllp, &host, &port)) {
        std::fprintf(stderr, "velt-gateway: --mllp \"%s\" is not HOST:PORT\n", o->mllp.c_str());
        return 2;
    }
    if (o->queue_dir.empty()) o->queue_dir = DefaultQueueDir();
    // A session of its own that the broker keeps: alarms published while the gateway is
    // stopped wait there for it.
    o->broker.keep_session = true;
    if (o->broker.client_id.empty()) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
            std::strcpy(host, "localhost");
        o->broker.client_id = std::string("velt-gateway-") + host;
    }
    return 0;
}

bool ParseIsoTime(const std::string& text, int64_t* unix_us) {
    int y, mo, d, h, mi, s;
    int n = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &n) != 6)
        return false;
    const char* p = text.c_str() + n;
    int64_t us = 0;
    if (*p == '.') {
        int64_t scale = 100000;
        for (++p; *p >= '0' && *p <= '9'; ++p, scale /= 10) us += (*p - '0') * scale;
    }
    int offset_s = 0;
    if (*p == 'Z') {
        ++p;
    } else if (*p == '+' || *p == '-') {
        int oh, om;
        if (std::sscanf(p + 1, "%2d:%2d", &oh, &om) != 2) return false;
        offset_s = (*p == '-' ? -1 : 1) * (oh * 3600 + om * 60);
        p += 6;
    } else {
        return false;
    }
    if (*p != '\0') return false;
    tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    *unix_us = (static_cast<int64_t>(timegm(&t)) - offset_s) * 1000000 + us;
    return true;
}

Gateway::Gateway(Options options) : options_(std::move(options)) {
    SplitHostPort(options_.mllp, &host_, &port_);
}

Gateway::~Gateway() {
    CloseLink();
    if (tls_) SSL_CTX_free(tls_);
}

void Gateway::CloseLink() {
    if (ssl_) SSL_free(ssl_);
    ssl_ = nullptr;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    want_write_ = false;
    decoder_.Reset();
}

ssize_t Gateway::Send(const char* data, size_t size) {
    if (!ssl_) return send(fd_, data, size, MSG_NOSIGNAL);
    const int n = SSL_write(ssl_, data, static_cast<int>(std::min<size_t>(size, 1 << 20)));
    if (n > 0) {
        want_write_ = false;
        return n;
    }
    const int e = SSL_get_error(ssl_, n);
    want_write_ = e == SSL_ERROR_WANT_WRITE;
    errno = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
    return -1;
}

ssize_t Gateway::Recv(char* data, size_t size) {
    if (!ssl_) return recv(fd_, data, size, 0);
    const int n = SSL_read(ssl_, data, static_cast<int>(size));
    if (n > 0) return n;
    const int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        want_write_ = e == SSL_ERROR_WANT_WRITE;
        errno = EAGAIN;
        return -1;
    }
    if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0)) return 0;
    errno = ECONNRESET;
    return -1;
}

void Gateway::Log(const std::string& line) {
    if (line == last_log_) return;
    last_log_ = line;
    std::fprintf(stderr, "velt-gateway: %s\n", line.c_str());
}

void Gateway::OnMessage(const char* topic, const char* payload, size_t size) {
    std::lock_guard<std::mutex> lock(inbox_mutex_);
    // A gateway that stalls must not grow without end: 100 monitors send about 200
    // messages a second, so this is minutes of them. Beyond it only values and states
    // go (the next ones replace them); events carry the alarms, which the broker
    // counts as delivered once they are here.
    const size_t n = std::strlen(topic);
    if (inbox_.size() >= 100000 && (n < 7 || std::strcmp(topic + n - 7, "/events") != 0)) {
        ++inbox_dropped_;
        return;
    }
    inbox_.emplace_back(topic, std::string(payload, size));
}

std::string Gateway::NextControlId(int64_t now_us) const {
    // The queue's number keeps it unique within the queue, the moment across a queue
    // that was emptied by hand.
    return std::to_string(now_us / 1000) + "." + std::to_string(queue_.NextSeq());
}

void Gateway::Enqueue(const std::string& message) {
    std::string error;
    if (!queue_.Push(message, &error)) {
        Log("queue: " + error + "; message dropped");
        return;
    }
    if (queue_.Dropped() != dropped_logged_) {
        dropped_logged_ = queue_.Dropped();
        Log("queue full (" + std::to_string(options_.queue_bytes >> 20) +
            " MB): " + std::to_string(dropped_logged_) + " oldest messages dropped so far");
    }
}

void Gateway::TakeInbox(int64_t now_us) {
    std::vector<std::pair<std::string, std::string>> batch;
    uint64_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(inbox_mutex_);
        batch.swap(inbox_);
        dropped = inbox_dropped_;
    }
    if (dropped != inbox_dropped_logged_) {
        inbox_dropped_logged_ = dropped;
        Log("falling behind the broker: " + std::to_string(dropped) +
            " values and states not taken so far");
    }
    for (const auto& [topic, payload] : batch) {
        mqtt::TopicParts parts;
        if (!mqtt::ParseTopic(topic, &parts) || payload.size() > mqtt::MaxPayload(parts.leaf))
            continue;
        const std::string key = std::string(parts.monitor) + "/" + std::string(parts.port);
        json::Value v;
        std::string error;
        if (!json::Parse(payload, &v, &error) || v.type != json::Value::Type::kObject) {
            // Nothing to forward; said once until it changes, as the ward shows such a
            // monitor as doubtful.
            Log(topic + ": unreadable (" + (error.empty() ? "not an object" : error) +
                "); not forwarded");
            continue;
        }
        if (parts.leaf == mqtt::Leaf::kState) {
            if (v.String("state").value_or("") == "offline") monitors_.erase(key);
            continue;
        }
        Monitor& m = monitors_[key];
        if (m.device.monitor.empty())
            m.device = {mqtt::UnescapeTopicName(parts.monitor),
                        mqtt::UnescapeTopicName(parts.port)};
        int64_t at = now_us;
        if (auto t = v.String("time")) ParseIsoTime(*t, &at);
        if (parts.leaf == mqtt::Leaf::kValues) {
            auto sign = [&](const char* name) -> std::optional<double> {
                const json::Value* s = v.Get(name);
                return s ? s->Number("value") : std::nullopt;
            };
            m.vitals = {at, sign("spo2"), sign("pulse"), sign("perfusion")};
            m.has_values = true;
            m.received_us = now_us;
        } else if (parts.leaf == mqtt::Leaf::kEvents && v.String("event") == "alarm") {
            hl7::AlarmReport a;
            a.unix_us = at;
            a.what = v.String("alarm").value_or("");
            a.name = v.String("name").value_or("");
            if (a.name.empty() ||
                (a.what != "start" && a.what != "end" && a.what != "acknowledged"))
                continue;
            a.priority = v.String("priority").value_or("");
            a.latched = v.String("state") == "latched";
            a.since_us = at;
            if (auto since = v.String("since")) ParseIsoTime(*since, &a.since_us);
            a.code = static_cast<int>(v.Number("code").value_or(0));
            a.mdc = v.String("mdc").value_or("");
            a.value = v.Number("value");
            a.limit = v.Number("limit");
            a.text = v.String("text").value_or("");
            const hl7::Header h{options_.facility, NextControlId(now_us), now_us};
            Enqueue(hl7::AlarmMessage(h, m.device, a));
        }
    }
}

void Gateway::Tick(int64_t now_us) {
    for (auto& [key, m] : monitors_) {
        // Only what a monitor shows now: one that stopped publishing is not reported
        // with its last values, nor one second twice (an interval shorter than the
        // monitor's own second).
        if (!m.has_values || now_us - m.received_us > 3000000 || m.vitals.unix_us == m.reported_us)
            continue;
        m.reported_us = m.vitals.unix_us;
        const hl7::Header h{options_.facility, NextControlId(now_us), now_us};
        if (!options_.stats.empty()) observed_us_[h.control_id] = m.vitals.unix_us;
        Enqueue(hl7::ObservationMessage(h, m.device, m.vitals));
    }
}

int Gateway::Backoff() const {
    return std::min(mqtt::Client::BackoffMs(failures_), options_.max_backoff_s * 1000);
}

void Gateway::Fail(int64_t now_ms, const std::string& why) {
    CloseLink();
    out_.clear();
    ++failures_;
    const int wait = Backoff();
    Log("engine " + options_.mllp + ": " + why + "; trying again (back-off up to " +
        std::to_string(options_.max_backoff_s) + " s)");
    link_ = Link::kBackoff;
    deadline_ms_ = now_ms + wait;
}

void Gateway::StartConnect(int64_t now_ms) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const std::string port = std::to_string(port_);
    const int rc = getaddrinfo(host_.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) {
        Fail(now_ms, std::string("cannot resolve ") + host_ + ": " + gai_strerror(rc));
        return;
    }
    fd_ = socket(res->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        freeaddrinfo(res);
        Fail(now_ms, std::string("socket: ") + std::strerror(errno));
        return;
    }
    const int r = connect(fd_, res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    if (r != 0 && errno != EINPROGRESS) {
        Fail(now_ms, std::string("cannot connect: ") + std::strerror(errno));
        return;
    }
    link_ = Link::kConnecting;
    deadline_ms_ = now_ms + 10000;
}

void Gateway::OnConnected(int64_t now_ms) {
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (tls_ == nullptr) {
        Log("engine " + options_.mllp + ": connected");
        link_ = Link::kIdle;
        return;
    }
    ssl_ = SSL_new(tls_);
    SSL_set_fd(ssl_, fd_);
    SSL_set_tlsext_host_name(ssl_, host_.c_str());
    // The certificate must name the host (or the address) the engine was given as.
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host_.c_str()) != 1)
        SSL_set1_host(ssl_, host_.c_str());
    link_ = Link::kHandshake;
    deadline_ms_ = now_ms + 10000;
    Handshake(now_ms);
}

void Gateway::Handshake(int64_t now_ms) {
    ERR_clear_error();
    const int r = SSL_connect(ssl_);
    if (r == 1) {
        want_write_ = false;
        Log("engine " + options_.mllp + ": connected (TLS)");
        link_ = Link::kIdle;
        return;
    }
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        want_write_ = e == SSL_ERROR_WANT_WRITE;
        return;
    }
    const long verify = SSL_get_verify_result(ssl_);
    std::string why = verify != X509_V_OK ? X509_verify_cert_error_string(verify) : "";
    if (why.empty()) {
        char buf[256] = "the connection closed";
        if (const unsigned long code = ERR_get_error()) ERR_error_string_n(code, buf, sizeof buf);
        why = buf;
    }
    Fail(now_ms, "TLS handshake failed: " + why);
}

void Gateway::Deliver(int64_t now_ms) {
    if (link_ == Link::kBackoff && now_ms >= deadline_ms_) link_ = Link::kIdle;
    if (link_ != Link::kIdle || queue_.Count() == 0) return;
    if (fd_ < 0) {
        StartConnect(now_ms);
        return;
    }
    std::string message;
    if (!queue_.Front(&message)) return;
    // The control id is MSH-10: the tenth field, the ninth after "MSH|".
    size_t pos = 0;
    for (int i = 0; i < 9 && pos != std::string::npos; ++i) pos = message.find('|', pos + 1);
    const size_t end = pos == std::string::npos ? pos : message.find('|', pos + 1);
    in_flight_id_ = pos == std::string::npos ? "" : message.substr(pos + 1, end - pos - 1);
    out_.clear();
    hl7::AppendMllpFrame(out_, message);
    link_ = Link::kAwaiting;
    deadline_ms_ = now_ms + options_.ack_timeout_s * 1000;
}

void Gateway::ReadAcks(int64_t now_ms) {
    char buf[4096];
    for (;;) {
        const ssize_t n = Recv(buf, sizeof buf);
        if (n > 0) {
            decoder_.Feed(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0 && errno == EINTR) continue;
        if (link_ == Link::kAwaiting) {
            Fail(now_ms, n == 0 ? "connection closed before the acknowledgement"
                                : std::string("connection lost: ") + std::strerror(errno));
        } else {
            // Closed while nothing was in flight: connect again when there is.
            CloseLink();
        }
        return;
    }
    std::string reply;
    while (decoder_.Next(&reply)) {
        hl7::Ack ack;
        std::string error;
        if (!hl7::ParseAck(reply, &ack, &error)) {
            Log("engine " + options_.mllp + ": unreadable answer: " + error);
            continue;
        }
        if (link_ != Link::kAwaiting || ack.control_id != in_flight_id_)
            continue;  // late answer to a message given up on: it is sent again
        const std::string text = ack.text.empty() ? "" : ": " + ack.text;
        switch (ack.kind) {
            case hl7::Ack::Kind::kAccepted:
                queue_.Pop();
                ++counts_.acknowledged;
                if (auto it = observed_us_.find(in_flight_id_); it != observed_us_.end()) {
                    if (counts_.delays_ms.size() < 10000000)
                        counts_.delays_ms.push_back(
                            static_cast<int>((NowUs() - it->second) / 1000));
                    observed_us_.erase(it);
                }
                failures_ = 0;
                link_ = Link::kIdle;
                Log("engine " + options_.mllp + ": delivering");
                break;
            case hl7::Ack::Kind::kError:
                // The engine found fault with the message itself: sending it again
                // would fail again and hold up everything behind it.
                queue_.Pop();
                ++counts_.errors;
                link_ = Link::kIdle;
                Log("engine " + options_.mllp + ": " + ack.code + " for " + in_flight_id_ + text +
                    "; message dropped");
                break;
            case hl7::Ack::Kind::kRejected:
                ++counts_.rejected;
                ++failures_;
                link_ = Link::kBackoff;
                deadline_ms_ = now_ms + Backoff();
                Log("engine " + options_.mllp + ": " + ack.code + " for " + in_flight_id_ + text +
                    "; sending it again");
                break;
        }
    }
}

bool Gateway::Run(const std::atomic<bool>& stop, std::string* error) {
    if (!queue_.Open(options_.queue_dir, options_.queue_bytes, error)) return false;
    if (!options_.mllp_ca_file.empty()) {
        tls_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION);
        SSL_CTX_set_verify(tls_, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_mode(tls_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        if (SSL_CTX_load_verify_locations(tls_, options_.mllp_ca_file.c_str(), nullptr) != 1) {
            *error = "--mllp-ca-file " + options_.mllp_ca_file + ": no CA certificate there";
            return false;
        }
    }
    if (queue_.Count() > 0)
        Log("queue " + options_.queue_dir + ": " + std::to_string(queue_.Count()) +
            " messages from before");
    // Reset before the inbox is emptied a last time: nothing the broker handed over (and
    // was told was taken) is left behind in it.
    auto owned = std::make_unique<mqtt::Client>(options_.broker);
    mqtt::Client& client = *owned;
    // Events (the alarms among them) at QoS 1: the broker keeps them while the gateway
    // is away. Values are reported as they are now, and the states come retained.
    client.Subscribe(std::string(mqtt::kTopicRoot) + "+/+/events", 1);
    for (const char* leaf : {"values", "state"})
        client.Subscribe(std::string(mqtt::kTopicRoot) + "+/+/" + leaf);
    client.SetMessageHandler([this](const char* topic, const char* payload, size_t size, bool) {
        OnMessage(topic, payload, size);
    });
    client.SetProblemHandler([](const std::string& problem) {
        std::fprintf(stderr, "velt-gateway: broker: %s\n", problem.c_str());
    });
    const std::string warnings = mqtt::BrokerWarnings(options_.broker);
    if (!warnings.empty()) std::fprintf(stderr, "velt-gateway: %s\n", warnings.c_str());
    if (!client.Start(error)) return false;
    const int64_t interval_us = int64_t{options_.interval_s} * 1000000;
    next_tick_us_ = (NowUs() / interval_us + 1) * interval_us;
    bool was_connected = false;
    while (!stop.load()) {
        const int64_t now_us = NowUs();
        const int64_t now_ms = MonotonicMs();
        if (client.Connected() != was_connected) {
            was_connected = !was_connected;
            std::fprintf(stderr, "velt-gateway: broker %s: %s\n", options_.broker.url.c_str(),
                         !was_connected ? "away; waiting for it"
                         : client.SessionPresent()
                             ? "connected (session kept: what came meanwhile follows)"
                             : "connected (new session: nothing kept from before)");
        }
        TakeInbox(now_us);
        if (now_us >= next_tick_us_) {
            Tick(now_us);
            // A clock that jumped (or a long stall) does not make a burst of reports.
            next_tick_us_ = (now_us / interval_us + 1) * interval_us;
        }
        Deliver(now_ms);
        pollfd p{fd_, 0, 0};
        if (fd_ >= 0)
            p.events = static_cast<short>(
                link_ == Link::kHandshake
                    ? (want_write_ ? POLLOUT : POLLIN)
                    : POLLIN | (link_ == Link::kConnecting || !out_.empty() || want_write_ ? POLLOUT
                                                                                           : 0));
        int timeout = 100;
        if (link_ != Link::kIdle)
            timeout = static_cast<int>(
                std::max<int64_t>(0, std::min<int64_t>(timeout, deadline_ms_ - now_ms)));
        const int r = poll(&p, fd_ >= 0 ? 1 : 0, timeout);
        const int64_t after_ms = MonotonicMs();
        if (r < 0 && errno != EINTR) {
            *error = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        if (link_ == Link::kConnecting) {
            if (p.revents != 0) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0)
                    Fail(after_ms, std::string("cannot connect: ") + std::strerror(err));
                else
                    OnConnected(after_ms);
            } else if (after_ms >= deadline_ms_) {
                Fail(after_ms, "no answer to the connection in 10 s");
            }
            continue;
        }
        if (link_ == Link::kHandshake) {
            if (p.revents != 0)
                Handshake(after_ms);
            else if (after_ms >= deadline_ms_)
                Fail(after_ms, "no TLS handshake in 10 s");
            continue;
        }
        if (fd_ >= 0 && (p.revents & POLLOUT) && !out_.empty()) {
            const ssize_t n = Send(out_.data(), out_.size());
            if (n > 0)
                out_.erase(0, static_cast<size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                Fail(after_ms, std::string("connection lost: ") + std::strerror(errno));
                continue;
            }
        }
        if (fd_ >= 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) ReadAcks(after_ms);
        if (link_ == Link::kAwaiting && after_ms >= deadline_ms_)
            Fail(after_ms,
                 "no acknowledgement in " + std::to_string(options_.ack_timeout_s) + " s");
    }
    owned.reset();
    TakeInbox(NowUs());
    std::fprintf(stderr, "velt-gateway: stopping; %zu messages wait in %s\n", queue_.Count(),
                 options_.queue_dir.c_str());
    if (!options_.stats.empty()) WriteStats();
    return true;
}

void Gateway::WriteStats() const {
    std::vector<int> d = counts_.delays_ms;
    std::sort(d.begin(), d.end());
    auto at = [&](double q) {
        return d.empty() ? -1 : d[std::min(d.size() - 1, static_cast<size_t>(q * d.size()))];
    };
    std::FILE* f = std::fopen(options_.stats.c_str(), "w");
    if (f == nullptr) {
        std::fprintf(stderr, "velt-gateway: cannot write %s: %s\n", options_.stats.c_str(),
                     std::strerror(errno));
        return;
    }
    std::fprintf(f,
                 "acknowledged %llu\nerrors %llu\nrejected %llu\nqueued %zu\ndropped %llu\n"
                 "observations %zu\ndelay_ms_p50 %d\ndelay_ms_p99 %d\ndelay_ms_max %d\n",
                 static_cast<unsigned long long>(counts_.acknowledged),
                 static_cast<unsigned long long>(counts_.errors),
                 static_cast<unsigned long long>(counts_.rejected), queue_.Count(),
                 static_cast<unsigned long long>(queue_.Dropped()), d.size(), at(0.5), at(0.99),
                 d.empty() ? -1 : d.back());
    std::fclose(f);
}

}  // namespace gateway
