// What the ward knows of every monitor and port: filled from the broker's messages
// in the GUI thread, read by the tiles. Kept apart from the painting so that a
// thousand monitors cost one lookup and a few copies per message.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
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

class WardModel {
public:
    static constexpr int64_t kStaleMs = 5000;

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
