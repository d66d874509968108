// What the ward knows of every monitor and port: filled from the broker's messages
// in the GUI thread, read by the tiles. Kept apart from the painting so that a
// thousand monitors cost one lookup and a few copies per message.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct TileData {
    QString key;      // "<monitor>/<port>" as in the topic, for sorting and lookup
    QString monitor;  // unescaped, for display
    QString port;
    QString spo2 = "x";
    QString pulse = "x";
    QString perfusion = "x";
    QString status;
    QString link_state;
    uint64_t frames = 0;
    uint64_t bad = 0;
    uint64_t lost = 0;
    QString last_time;           // HH:MM:SS of the last values, as the monitor stamped them
    int64_t last_values_ms = 0;  // the ward's clock when the last values came
    int64_t value_time_ms = 0;   // the monitor's stamp of the last values
    bool offline = false;
    QString offline_since;  // HH:MM:SS
    bool stale = false;     // greyed: no values for kStaleMs
    // The plethysmogram: the newest samples in a ring.
    static constexpr int kPleth = 256;
    std::array<uint16_t, kPleth> pleth{};
    int pleth_count = 0;
    int pleth_head = 0;
    bool has_pleth = false;
    uint64_t last_event_seq = 0;
    QString last_event;
};

// What the broker connection's thread hands to the window. A message larger than any
// monitor sends for its leaf is refused unread (and counted); the inbox is bounded in
// count and bytes, so a flood or a window that falls behind cannot grow memory: the
// oldest go first, counted.
class WardInbox {
public:
    static constexpr size_t kMaxMessages = 20000;
    static constexpr size_t kMaxBytes = 4 << 20;
    struct Message {
        std::string topic;
        QByteArray payload;
    };

    // Network thread. True when the inbox was empty before: the window needs waking.
    bool Put(const char* topic, const char* payload, size_t size);
    // GUI thread: all that came meanwhile.
    void Take(std::deque<Message>* out);

    uint64_t Refused() const { return refused_.load(std::memory_order_relaxed); }
    uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::mutex mutex_;
    std::deque<Message> messages_;
    size_t bytes_ = 0;
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> dropped_{0};
};

class WardModel {
public:
    static constexpr int64_t kStaleMs = 5000;
    // Texts longer than a tile can show are cut to these many characters ("…" last).
    static constexpr int kNameChars = 48;
    static constexpr int kStatusChars = 32;
    static constexpr int kWordChars = 16;
    static constexpr int kEventChars = 64;

    // One message; now_ms the ward's clock. Returns the tile's index, or -1 for a topic
    // or payload it does not take. *added is set when the message made a new tile
    // (indexes of later tiles then move: the order is by key).
    int OnMessage(const QString& topic, const QByteArray& payload, int64_t now_ms, bool* added);

    // Greys out tiles without values for kStaleMs; returns the indexes that changed.
    std::vector<int> CheckStale(int64_t now_ms);

    int Count() const { return static_cast<int>(tiles_.size()); }
    const TileData& At(int i) const { return tiles_[static_cast<size_t>(i)]; }
    int IndexOf(const QString& key) const;

    // "HH:MM:SS" from an ISO 8601 time ("2026-12-09T21:52:00.125+01:00"), as stamped.
    static QString ClockOf(const QString& iso);
    // The stamp as milliseconds since 1970, 0 when it cannot be read.
    static int64_t MillisOf(const QString& iso);

private:
    int Find(const QString& key, bool* added, const QString& monitor, const QString& port);

    std::vector<TileData> tiles_;  // sorted by key
};
