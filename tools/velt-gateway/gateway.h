// velt-gateway's work: what the monitors publish on the broker, as HL7 messages to a
// hospital's interface engine over MLLP. The broker's messages arrive in the client's
// network thread and wait in an inbox under a lock; everything else (the monitors'
// last values, the messages, the queue, the engine's connection) belongs to the one
// thread that runs Run. Qt-free.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "export/hl7_message.h"
#include "export/hl7_mllp.h"
#include "export/mqtt_client.h"
#include "tools/velt-gateway/disk_queue.h"

struct ssl_ctx_st;
struct ssl_st;

namespace gateway {

struct Options {
    mqtt::BrokerOptions broker;
    std::string mllp;          // host:port of the engine
    std::string mllp_ca_file;  // MLLP over TLS, the engine's certificate checked against it
    int interval_s = 60;
    std::string facility;
    std::string queue_dir;
    uint64_t queue_bytes = 100ull << 20;
    int ack_timeout_s = 30;
    int max_backoff_s = 30;  // the engine's reconnect back-off doubles from 1 s up to this
    std::string stats;       // at exit: counts and delays to this file (benchmarks)
};

// Reads argv (after the [gateway] section of --config FILE, which the command line
// overrides). 0 to run, or the exit status (with the message printed: 0 for --help).
// The broker session is kept under --client-id, "velt-gateway-<host>" by default.
int ParseOptions(int argc, char** argv, Options* options);

// "2026-12-09T21:52:00.125+01:00" (as the monitors write it) to microseconds since
// the epoch; false for anything else.
bool ParseIsoTime(const std::string& text, int64_t* unix_us);

class Gateway {
public:
    explicit Gateway(Options options);
    ~Gateway();

    // Until stop is set: false with the reason when it cannot start (queue directory,
    // broker options).
    bool Run(const std::atomic<bool>& stop, std::string* error);

    // --stats: what went how, and each acknowledged observation's delay from the
    // values' publication (their time) to the acknowledgement.
    struct Counts {
        uint64_t acknowledged = 0;
        uint64_t errors = 0;    // AE: dropped
        uint64_t rejected = 0;  // AR: sent again
        std::vector<int> delays_ms;
    };

private:
    struct Monitor {
        hl7::Device device;
        hl7::Vitals vitals;
        bool has_values = false;
        int64_t received_us = 0;  // when its last values came
        int64_t reported_us = 0;  // the time of the values last reported
    };
    void OnMessage(const char* topic, const char* payload, size_t size);
    void TakeInbox(int64_t now_us);
    void Enqueue(const std::string& message);
    std::string NextControlId(int64_t now_us) const;
    void Tick(int64_t now_us);

    // The engine's connection.
    enum class Link { kIdle, kConnecting, kHandshake, kAwaiting, kBackoff };
    void Deliver(int64_t now_ms);
    void StartConnect(int64_t now_ms);
    void OnConnected(int64_t now_ms);
    void Handshake(int64_t now_ms);
    void CloseLink();
    // send and recv, through TLS when it is on: -1 with errno EAGAIN when they would block.
    ssize_t Send(const char* data, size_t size);
    ssize_t Recv(char* data, size_t size);
    int Backoff() const;  // ms, after failures_
    void Fail(int64_t now_ms, const std::string& why);
    void ReadAcks(int64_t now_ms);
    void Log(const std::string& line);

    Options options_;
    std::string host_;
    int port_ = 0;

    std::mutex inbox_mutex_;
    std::vector<std::pair<std::string, std::string>> inbox_;  // topic, payload
    uint64_t inbox_dropped_ = 0;                              // at its bound, under the lock
    uint64_t inbox_dropped_logged_ = 0;

    std::map<std::string, Monitor> monitors_;  // by "<monitor>/<port>" as published
    DiskQueue queue_;
    int64_t next_tick_us_ = 0;

    Link link_ = Link::kIdle;
    int fd_ = -1;
    ssl_ctx_st* tls_ = nullptr;  // with --mllp-ca-file
    ssl_st* ssl_ = nullptr;
    bool want_write_ = false;  // TLS waits until the socket takes bytes
    int failures_ = 0;
    int64_t deadline_ms_ = 0;   // of the connect, the acknowledgement or the back-off
    std::string out_;           // bytes of the message in flight not yet written
    std::string in_flight_id_;  // its control id
    hl7::MllpDecoder decoder_;
    std::string last_log_;
    uint64_t dropped_logged_ = 0;
    Counts counts_;
    std::map<std::string, int64_t> observed_us_;  // --stats: control id -> values' time
    void WriteStats() const;
};

}  // namespace gateway
