#include "app/ward/ward_model.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

#include "export/mqtt_topics.h"

namespace {

// A long text cut to n characters, never inside a surrogate pair.
QString Cut(const QString& s, int n) {
    if (s.size() <= n) return s;
    int keep = n - 1;
    if (keep > 0 && s[keep - 1].isHighSurrogate()) --keep;
    return s.left(keep) + QChar(0x2026);
}

QString Shown(const QJsonValue& sign) {
    const QJsonValue v = sign.toObject().value("value");
    if (!v.isDouble()) return "x";
    return QString::number(v.toDouble(), 'f', 1);
}

}  // namespace

bool WardInbox::Put(const char* topic, const char* payload, size_t size) {
    mqtt::TopicParts parts;
    if (!mqtt::ParseTopic(topic, &parts) || parts.leaf == mqtt::Leaf::kUnknown) return false;
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

QString WardModel::ClockOf(const QString& iso) {
    // The monitor's own clock reading, whatever its zone.
    if (iso.size() >= 19 && iso[10] == 'T') return iso.mid(11, 8);
    return QString();
}

int64_t WardModel::MillisOf(const QString& iso) {
    const QDateTime t = QDateTime::fromString(iso, Qt::ISODateWithMs);
    return t.isValid() ? t.toMSecsSinceEpoch() : 0;
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
    t.monitor =
        Cut(QString::fromStdString(mqtt::UnescapeTopicName(monitor.toStdString())), kNameChars);
    t.port = Cut(QString::fromStdString(mqtt::UnescapeTopicName(port.toStdString())), kNameChars);
    it = tiles_.insert(it, std::move(t));
    *added = true;
    return static_cast<int>(it - tiles_.begin());
}

int WardModel::OnMessage(const QString& topic, const QByteArray& payload, int64_t now_ms,
                         bool* added) {
    *added = false;
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
    const int i = Find(monitor + '/' + port, added, monitor, port);
    TileData& d = tiles_[static_cast<size_t>(i)];
    switch (parts.leaf) {
        case mqtt::Leaf::kState: {
            const bool offline = o.value("state").toString() == "offline";
            d.offline = offline;
            if (offline) {
                const QJsonValue since = o.value("since");
                // A last will carries no time: the moment it reached us stands in.
                d.offline_since = since.isString()
                                      ? ClockOf(since.toString())
                                      : QDateTime::fromMSecsSinceEpoch(now_ms).toString("HH:mm:ss");
            }
            break;
        }
        case mqtt::Leaf::kValues: {
            d.spo2 = Shown(o.value("spo2"));
            d.pulse = Shown(o.value("pulse"));
            d.perfusion = Shown(o.value("perfusion"));
            d.status = Cut(o.value("status").toString(), kStatusChars);
            const QJsonObject link = o.value("link").toObject();
            d.link_state = Cut(link.value("state").toString(), kWordChars);
            d.frames = static_cast<uint64_t>(link.value("frames").toDouble());
            d.bad = static_cast<uint64_t>(link.value("bad").toDouble());
            d.lost = static_cast<uint64_t>(link.value("lost").toDouble());
            const QString time = o.value("time").toString();
            d.last_time = ClockOf(time);
            d.value_time_ms = MillisOf(time);
            d.last_values_ms = now_ms;
            d.stale = false;
            d.offline = false;  // values come only from a monitor that is online
            break;
        }
        case mqtt::Leaf::kEvents:
            d.last_event = Cut(o.value("event").toString(), kEventChars);
            ++d.last_event_seq;
            break;
        case mqtt::Leaf::kPleth: {
            const QJsonArray ir = o.value("ir").toArray();
            for (const QJsonValue& v : ir) {
                d.pleth[static_cast<size_t>(d.pleth_head)] = static_cast<uint16_t>(v.toInt());
                d.pleth_head = (d.pleth_head + 1) % TileData::kPleth;
                if (d.pleth_count < TileData::kPleth) ++d.pleth_count;
            }
            d.has_pleth = true;
            break;
        }
        case mqtt::Leaf::kUnknown:
            break;
    }
    return i;
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
