#include "app/ward/ward_model.h"

#include <fnmatch.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>

#include "export/mqtt_topics.h"

namespace {

// A long text cut to n characters, never inside a surrogate pair.
QString Cut(const QString& s, int n) {
    if (s.size() <= n) return s;
    int keep = n - 1;
    if (keep > 0 && s[keep - 1].isHighSurrogate()) --keep;
    return s.left(keep) + QChar(0x2026);
}

// A vital sign: "x" when the monitor has none, "?" (and a doubt) for a value that is
// no number in 0..hi.
QString Vital(const QJsonObject& o, const char* key, double hi, QStringList* doubt) {
    const QJsonValue sign = o.value(key);
    if (sign.isUndefined() || sign.isNull()) return "x";
    const QJsonValue v = sign.toObject().value("value");
    if (sign.isObject() && (v.isUndefined() || v.isNull())) return "x";
    if (v.isDouble() && v.toDouble() >= 0 && v.toDouble() <= hi)
        return QString::number(v.toDouble(), 'f', 1);
    doubt->append(key);
    return "?";
}

// A count: a whole number from 0 to 2^53 (what a JSON number holds exactly).
std::optional<uint64_t> LinkCount(const QJsonObject& link, const char* key, QStringList* doubt) {
    const QJsonValue v = link.value(key);
    const double x = v.toDouble(-1);
    if (v.isDouble() && x >= 0 && x <= 9007199254740992.0 && x == std::floor(x))
        return static_cast<uint64_t>(x);
    doubt->append(key);
    return std::nullopt;
}

// A time as monitors stamp it (ISO 8601 with its offset): its clock reading
// "HH:MM:SS" in that offset and milliseconds since 1970. Null gives "" (the monitor
// could not tell); anything else "?" and a doubt.
QString Stamp(const QJsonValue& v, const char* key, int64_t* ms, QStringList* doubt) {
    *ms = 0;
    if (v.isNull() || v.isUndefined()) return QString();
    const QDateTime t = v.isString() && v.toString().size() <= 40
                            ? QDateTime::fromString(v.toString(), Qt::ISODateWithMs)
                            : QDateTime();
    if (!t.isValid()) {
        doubt->append(key);
        return "?";
    }
    *ms = t.toMSecsSinceEpoch();
    return t.time().toString("HH:mm:ss");
}

// A text field: a string cut to n characters; another type is "?" and a doubt.
QString Text(const QJsonValue& v, const char* key, int n, QStringList* doubt) {
    if (v.isUndefined() || v.isString()) return Cut(v.toString(), n);
    doubt->append(key);
    return "?";
}

alarms::Priority PriorityNamed(const QString& name) {
    for (alarms::Priority p :
         {alarms::Priority::kLow, alarms::Priority::kMedium, alarms::Priority::kHigh})
        if (name == alarms::PriorityName(p)) return p;
    return alarms::Priority::kNone;
}

// Which of two alarms a tile shows first: the higher, the active before the latched.
bool ShownBefore(const TileAlarm& a, const TileAlarm& b) {
    if (a.priority != b.priority) return a.priority > b.priority;
    return !a.latched && b.latched;
}

}  // namespace

TileAlarm TileData::Alarm() const {
    if (offline_alarm)
        return {"offline", alarms::Priority::kMedium, false,
                QString("%1 %2 offline")
                    .arg(alarms::PriorityPrefix(alarms::Priority::kMedium), monitor),
                0};
    TileAlarm best;
    if (offline) return best;
    for (const TileAlarm& a : alarms)
        if (best.priority == alarms::Priority::kNone || ShownBefore(a, best)) best = a;
    return best;
}

std::vector<std::string> WardInbox::Patterns(const std::string& list) {
    std::vector<std::string> out;
    std::string word;
    for (const char c : list + ' ') {
        if (c != ',' && c != ' ' && c != '\t') {
            word += c;
        } else if (!word.empty()) {
            out.push_back(word);
            word.clear();
        }
    }
    return out;
}

bool WardInbox::Shows(std::string_view monitor) const {
    if (monitors_.empty()) return true;
    const std::string name = mqtt::UnescapeTopicName(monitor);
    for (const std::string& pattern : monitors_)
        if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
    return false;
}

bool WardInbox::Put(const char* topic, const char* payload, size_t size) {
    mqtt::TopicParts parts;
    if (!mqtt::ParseTopic(topic, &parts) || parts.leaf == mqtt::Leaf::kUnknown ||
        !Shows(parts.monitor))
        return false;
    if (size > mqtt::MaxPayload(parts.leaf)) {
        refused_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    Message m{topic, QByteArray(payload, static_cast<qsizetype>(size))};
    const size_t bytes = m.topic.size() + size;
    std::lock_guard<std::mutex> lock(mutex_);
    const bool first = messages_.empty();
    while (!messages_.empty() && (messages_.size() >= kMaxMessages || bytes_ + bytes > kMaxBytes)) {
        bytes_ -= messages_.front().topic.size() + messages_.front().payload.size();
        messages_.pop_front();
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
    messages_.push_back(std::move(m));
    bytes_ += bytes;
    return first;
}

void WardInbox::Take(std::deque<Message>* out) {
    out->clear();
    std::lock_guard<std::mutex> lock(mutex_);
    out->swap(messages_);
    bytes_ = 0;
}

QString WardModel::ShownName(std::string_view level) {
    const QString name = QString::fromStdString(mqtt::UnescapeTopicName(level));
    QString shown;
    for (const char32_t c : name.toUcs4()) {
        const QChar::Category k = QChar::category(c);
        if (k == QChar::Other_Control || k == QChar::Other_Format || k == QChar::Separator_Line ||
            k == QChar::Separator_Paragraph)
            shown += QString("<U+%1>").arg(static_cast<uint>(c), 4, 16, QChar('0')).toUpper();
        else
            shown += QString::fromUcs4(&c, 1);
    }
    return Cut(shown, kNameChars);
}

int WardModel::IndexOf(const QString& key) const {
    auto it = std::lower_bound(tiles_.begin(), tiles_.end(), key,
                               [](const TileData& t, const QString& k) { return t.key < k; });
    if (it == tiles_.end() || it->key != key) return -1;
    return static_cast<int>(it - tiles_.begin());
}

int WardModel::Find(const QString& key, bool* added, const QString& monitor, const QString& port) {
    auto it = std::lower_bound(tiles_.begin(), tiles_.end(), key,
                               [](const TileData& t, const QString& k) { return t.key < k; });
    if (it != tiles_.end() && it->key == key) return static_cast<int>(it - tiles_.begin());
    TileData t;
    t.key = key;
    t.first_heard_ms = now_ms_;
    t.monitor = ShownName(monitor.toStdString());
    t.port = ShownName(port.toStdString());
    it = tiles_.insert(it, std::move(t));
    *added = true;
    return static_cast<int>(it - tiles_.begin());
}

int WardModel::OnMessage(const QString& topic, const QByteArray& payload, int64_t now_ms,
                         bool* added) {
    *added = false;
    now_ms_ = now_ms;
    const std::string t = topic.toStdString();
    mqtt::TopicParts parts;
    if (!mqtt::ParseTopic(t, &parts) || parts.leaf == mqtt::Leaf::kUnknown) return -1;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) return -1;
    const QJsonObject o = doc.object();
    const QString monitor =
        QString::fromUtf8(parts.monitor.data(), static_cast<int>(parts.monitor.size()));
    const QString port = QString::fromUtf8(parts.port.data(), static_cast<int>(parts.port.size()));
    const QString key = monitor + '/' + port;
    if (forgotten_.contains(key)) {
        if (parts.leaf == mqtt::Leaf::kState && o.value("state").toString() == "offline") return -1;
        forgotten_.remove(key);  // back
    }
    const int i = Find(key, added, monitor, port);
    TileData& d = tiles_[static_cast<size_t>(i)];
    switch (parts.leaf) {
        case mqtt::Leaf::kState: {
            d.doubt_state.clear();
            const bool offline = o.value("state").toString() == "offline";
            d.offline = offline;
            if (offline) {
                const QJsonValue since = o.value("since");
                int64_t ms = 0;
                auto clock = [](int64_t t) {
                    return QDateTime::fromMSecsSinceEpoch(t).toString("HH:mm:ss");
                };
                // A last will carries no time: say what the ward knows, never a time
                // that looks exact and is not.
                if (!since.isNull())
                    d.offline_since = "since " + Stamp(since, "since", &ms, &d.doubt_state);
                else if (d.last_heard_ms != 0)
                    d.offline_since = "last heard " + clock(d.last_heard_ms);
                else
                    d.offline_since = "since before " + clock(now_ms);
            }
            break;
        }
        case mqtt::Leaf::kValues: {
            QStringList& doubt = d.doubt_values;
            doubt.clear();
            d.spo2 = Vital(o, "spo2", 100, &doubt);
            d.pulse = Vital(o, "pulse", 350, &doubt);
            d.perfusion = Vital(o, "perfusion", 100, &doubt);
            d.status = Text(o.value("status"), "status", kStatusChars, &doubt);
            const QJsonObject link = o.value("link").toObject();
            const QString state = link.value("state").toString();
            const bool known =
                state == "connected" || state == "lost" || state == "no data" || state == "closed";
            if (!known) doubt.append("link");
            d.link_state = known ? state : "?";
            d.frames = LinkCount(link, "frames", &doubt);
            d.bad = LinkCount(link, "bad", &doubt);
            d.lost = LinkCount(link, "lost", &doubt);
            d.last_time = Stamp(o.value("time"), "time", &d.value_time_ms, &doubt);
            d.last_values_ms = now_ms;
            d.stale = false;
            d.offline = false;  // values come only from a monitor that is online
            break;
        }
        case mqtt::Leaf::kEvents:
            d.last_event = Cut(o.value("event").toString(), kEventChars);
            ++d.last_event_seq;
            break;
        case mqtt::Leaf::kAlarms:
            TakeAlarms(d, o);
            break;
        case mqtt::Leaf::kPleth: {
            d.doubt_pleth.clear();
            const QJsonArray ir = o.value("ir").toArray();
            for (const QJsonValue& v : ir) {
                const double x = v.toDouble(-1);
                if (x < 0 || x > 65535 || x != std::floor(x)) {
                    d.doubt_pleth = QStringList{"pleth"};  // its samples stay out
                    continue;
                }
                d.pleth[static_cast<size_t>(d.pleth_head)] = static_cast<uint16_t>(x);
                d.pleth_head = (d.pleth_head + 1) % TileData::kPleth;
                if (d.pleth_count < TileData::kPleth) ++d.pleth_count;
            }
            d.has_pleth = true;
            break;
        }
        case mqtt::Leaf::kUnknown:
            break;
    }
    d.last_heard_ms = now_ms;
    return i;
}

void WardModel::TakeAlarms(TileData& d, const QJsonObject& o) {
    QStringList& doubt = d.doubt_alarms;
    doubt.clear();
    std::vector<TileAlarm> list;
    const QJsonValue value = o.value("alarms");
    if (!value.isArray()) doubt.append("alarms");
    for (const QJsonValue& v : value.toArray()) {
        const QJsonObject a = v.toObject();
        TileAlarm t;
        t.name = Cut(a.value("name").toString(), kEventChars);
        t.priority = PriorityNamed(a.value("priority").toString());
        const QString state = a.value("state").toString();
        t.latched = state == "latched";
        t.text = Text(a.value("text"), "alarm text", kEventChars, &doubt);
        int64_t since = 0;
        Stamp(a.value("since"), "alarm since", &since, &doubt);
        t.since_ms = since;
        // An alarm of no priority we know, or in no state we know, is shown as doubtful,
        // never dropped: the ward errs towards alarming.
        if (t.priority == alarms::Priority::kNone || (state != "active" && !t.latched)) {
            doubt.append("alarm");
            if (t.priority == alarms::Priority::kNone) t.priority = alarms::Priority::kHigh;
        }
        if (list.size() < kMaxAlarms) list.push_back(std::move(t));
    }
    doubt.removeDuplicates();
    // Every alarm active now that was not before is a start (the sound hears of it).
    for (const TileAlarm& a : list) {
        bool was = false;
        for (const TileAlarm& b : d.alarms) was = was || (b.name == a.name && !b.latched);
        if (!a.latched && !was) ++alarm_starts_;
    }
    d.alarms = std::move(list);
}

std::vector<int> WardModel::CheckOffline(int64_t now_ms) {
    std::vector<int> changed;
    for (size_t i = 0; i < tiles_.size(); ++i) {
        TileData& d = tiles_[i];
        const int64_t heard = std::max(d.last_values_ms, d.first_heard_ms);
        const bool offline = d.offline || now_ms - heard >= kOfflineMs;
        if (offline == d.offline_alarm) continue;
        d.offline_alarm = offline;
        d.offline_alarm_ms = offline ? now_ms : 0;
        if (offline) ++alarm_starts_;
        changed.push_back(static_cast<int>(i));
    }
    return changed;
}

alarms::Priority WardModel::Highest() const {
    alarms::Priority p = alarms::Priority::kNone;
    for (const TileData& d : tiles_) {
        const TileAlarm a = d.Alarm();
        if (!a.latched && a.priority > p) p = a.priority;
    }
    return p;
}

std::vector<int> WardModel::Order(bool alarms_first) const {
    std::vector<int> order(tiles_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
    if (!alarms_first) return order;
    std::vector<TileAlarm> shown(tiles_.size());
    for (size_t i = 0; i < tiles_.size(); ++i) shown[i] = tiles_[i].Alarm();
    // Stable: within a priority the tiles keep their order by name.
    std::stable_sort(order.begin(), order.end(), [&shown](int a, int b) {
        return ShownBefore(shown[static_cast<size_t>(a)], shown[static_cast<size_t>(b)]);
    });
    return order;
}

void WardModel::Remove(const QString& key) {
    const int i = IndexOf(key);
    if (i >= 0) tiles_.erase(tiles_.begin() + i);
}

void WardModel::Forget(const QString& key) {
    Remove(key);
    forgotten_.insert(key);
}

std::vector<int> WardModel::CheckStale(int64_t now_ms) {
    std::vector<int> changed;
    for (size_t i = 0; i < tiles_.size(); ++i) {
        TileData& d = tiles_[i];
        const bool stale = now_ms - d.last_values_ms > kStaleMs;
        if (stale && !d.stale) {
            d.stale = true;
            d.spo2 = d.pulse = d.perfusion = "x";
            changed.push_back(static_cast<int>(i));
        }
    }
    return changed;
}
