// What the ward knows of every monitor and port: filled from the broker's messages
// in the GUI thread, read by the tiles. Kept apart from the painting so that a
// thousand monitors cost one lookup and a few copies per message.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "processing/alarms.h"

// An alarm a tile shows: one a monitor published, or the ward's own offline alarm.
struct TileAlarm {
    QString name;  // "spo2-low", …; "offline" for the ward's own
    alarms::Priority priority = alarms::Priority::kNone;
    bool latched = false;  // ended, waiting for an acknowledgement at the monitor
    QString text;          // "** SpO2 86 < 90", "** bed-1 offline"
    int64_t since_ms = 0;  // when it started (ms since 1970); 0 when not known
};

struct TileData {
    QString key;      // "<monitor>/<port>" as in the topic, for sorting and lookup
    QString monitor;  // unescaped, for display
    QString port;
    QString spo2 = "x";
    QString pulse = "x";
    QString perfusion = "x";
    QString status;
    QString link_state;
    // The link's counts; none ("?") when the message's was no count.
    std::optional<uint64_t> frames = 0;
    std::optional<uint64_t> bad = 0;
    std::optional<uint64_t> lost = 0;
    QString last_time;           // HH:MM:SS of the last values, as the monitor stamped them
    int64_t last_values_ms = 0;  // the ward's clock when the last values came
    int64_t value_time_ms = 0;   // the monitor's stamp of the last values
    bool offline = false;
    // "since 21:53:10" when the monitor said when; a last will has no time: "since
    // before 08:01:02" (when it reached the ward, nothing heard before it) or "last
    // heard 08:00:50" (the ward's clock at the monitor's last message before it).
    QString offline_since;
    int64_t last_heard_ms = 0;  // the ward's clock at the last message of any kind
    bool stale = false;         // greyed: no values for kStaleMs
    // The plethysmogram: the newest samples in a ring.
    static constexpr int kPleth = 256;
    std::array<uint16_t, kPleth> pleth{};
    int pleth_count = 0;
    int pleth_head = 0;
    bool has_pleth = false;
    // The monitor's alarms as it published them (highest first), and the ward's own
    // offline alarm: an "offline" state, a last will, or no values for kOfflineMs.
    std::vector<TileAlarm> alarms;
    bool offline_alarm = false;
    int64_t offline_alarm_ms = 0;  // the ward's clock when it started
    int64_t first_heard_ms = 0;
    // The alarm the tile shows: the ward's offline alarm (what a monitor that is gone
    // published is old news), else the monitor's highest active alarm, else its
    // highest latched one; priority kNone when there is none.
    TileAlarm Alarm() const;
    uint64_t last_event_seq = 0;
    QString last_event;
    // The fields of the last message of each kind that were not what a monitor
    // sends (wrong type, out of range): shown as "?", the tile marked doubtful.
    QStringList doubt_values;
    QStringList doubt_state;
    QStringList doubt_pleth;
    QStringList doubt_alarms;
    QStringList Doubt() const { return doubt_values + doubt_state + doubt_pleth + doubt_alarms; }
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

    // monitors: the shell patterns (fnmatch) of the monitor names shown, all when empty;
    // other monitors' messages are not taken at all.
    explicit WardInbox(std::vector<std::string> monitors = {}) : monitors_(std::move(monitors)) {}
    // "bed-1, bed-2 icu-*": the patterns of a monitors= setting.
    static std::vector<std::string> Patterns(const std::string& list);
    bool Shows(std::string_view monitor) const;

    // Network thread. True when the inbox was empty before: the window needs waking.
    bool Put(const char* topic, const char* payload, size_t size);
    // GUI thread: all that came meanwhile.
    void Take(std::deque<Message>* out);

    uint64_t Refused() const { return refused_.load(std::memory_order_relaxed); }
    uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    const std::vector<std::string> monitors_;
    std::mutex mutex_;
    std::deque<Message> messages_;
    size_t bytes_ = 0;
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> dropped_{0};
};

class WardModel {
public:
    static constexpr int64_t kStaleMs = 5000;
    // A monitor silent this long is offline to the ward: a distributed alarm system
    // alarms when it can no longer deliver.
    static constexpr int64_t kOfflineMs = 30000;
    static constexpr size_t kMaxAlarms = 16;  // a monitor has seven at most
    // Texts longer than a tile can show are cut to these many characters ("…" last).
    static constexpr int kNameChars = 48;
    static constexpr int kStatusChars = 32;
    static constexpr int kEventChars = 64;

    // One message; now_ms the ward's clock. Returns the tile's index, or -1 for a topic
    // or payload it does not take. *added is set when the message made a new tile
    // (indexes of later tiles then move: the order is by key).
    int OnMessage(const QString& topic, const QByteArray& payload, int64_t now_ms, bool* added);

    // Greys out tiles without values for kStaleMs; returns the indexes that changed.
    std::vector<int> CheckStale(int64_t now_ms);
    // Raises the ward's offline alarm of a tile offline or without values for
    // kOfflineMs, and ends it when values come again; returns the indexes that changed.
    std::vector<int> CheckOffline(int64_t now_ms);
    // The highest active alarm on the ward (what it sounds).
    alarms::Priority Highest() const;
    // Counts every alarm that started on the ward (a change tells the sound).
    uint32_t AlarmStarts() const { return alarm_starts_; }
    // The tiles' indexes in the order shown: by name, or with alarms_first the tiles
    // with an alarm first, highest first (active before latched), then by name.
    std::vector<int> Order(bool alarms_first) const;

    int Count() const { return static_cast<int>(tiles_.size()); }
    const TileData& At(int i) const { return tiles_[static_cast<size_t>(i)]; }
    int IndexOf(const QString& key) const;

    // A monitor's name or port from its escaped topic level, as a tile shows it: only
    // what escaping makes is decoded; control, invisible and bidirectional characters
    // are shown as "<U+XXXX>", so that no name can pass for another.
    static QString ShownName(std::string_view level);

    void Remove(const QString& key);
    // Removes a tile until its monitor publishes again (an "offline" state, retained or
    // not, leaves it hidden).
    void Forget(const QString& key);

private:
    int Find(const QString& key, bool* added, const QString& monitor, const QString& port);

    void TakeAlarms(TileData& d, const QJsonObject& o);

    QSet<QString> forgotten_;
    std::vector<TileData> tiles_;  // sorted by key
    uint32_t alarm_starts_ = 0;
    int64_t now_ms_ = 0;  // of the message being taken
};
