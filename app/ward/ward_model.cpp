#include "app/ward/ward_model.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

#include "export/mqtt_topics.h"

namespace {

QString Shown(const QJsonValue& sign) {
    const QJsonValue v = sign.toObject().value("value");
    if (!v.isDouble()) return "x";
    return QString::number(v.toDouble(), 'f', 1);
}

}  // namespace

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
    t.monitor = QString::fromStdString(mqtt::UnescapeTopicName(monitor.toStdString()));
    t.port = QString::fromStdString(mqtt::UnescapeTopicName(port.toStdString()));
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
            d.status = o.value("status").toString();
            const QJsonObject link = o.value("link").toObject();
            d.link_state = link.value("state").toString();
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
            d.last_event = o.value("event").toString();
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
