#include "app/ward/ward_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollArea>
#include <QSoundEffect>
#include <QStatusBar>
#include <QStyle>
#include <QTemporaryDir>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <cmath>

#include "display/alarm_watch.h"
#include "export/broker_options.h"
#include "export/mqtt_topics.h"
#include "platform/debug_output.h"
#include "platform/profile.h"

namespace {

int64_t NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

constexpr int kAlarmStepMs = 100;  // as a monitor's alarm timer
constexpr int kToneRate = 22050;

QFont Scaled(const QFont& base, double pixels, bool bold = false) {
    QFont f = base;
    f.setPixelSize(std::max(8, static_cast<int>(pixels)));
    f.setBold(bold);
    return f;
}

}  // namespace

namespace {

// A tile's rows: header, large values, status, health, then the plethysmogram.
struct TileRows {
    QRect inner;
    int line = 0;
    int big = 0;
    int pleth_top = 0;
};

TileRows RowsOf(const QRect& rect) {
    TileRows rows;
    rows.inner = rect.adjusted(2, 2, -2, -2).adjusted(6, 4, -6, -4);
    const double h = rows.inner.height();
    rows.line = static_cast<int>(h * 0.14);
    rows.big = static_cast<int>(h * 0.36);
    rows.pleth_top = rows.inner.top() + rows.line + rows.big + 2 * rows.line;
    return rows;
}

}  // namespace

QRect PlethRect(const QRect& rect) {
    const TileRows rows = RowsOf(rect);
    return QRect(rows.inner.left(), rows.pleth_top, rows.inner.width(),
                 std::max(0, rows.inner.bottom() - rows.pleth_top + 1));
}

QColor TileAlarmColour(const TileAlarm& a, int64_t now_ms) {
    if (a.priority == alarms::Priority::kNone) return QColor();
    // A latched alarm's condition has ended: its colour stays, steady.
    // The flash begins lit at the alarm's start, so that a new alarm shows at once.
    const int64_t phase = a.latched ? 0 : now_ms - std::min(now_ms, a.since_ms);
    return AlarmFlashColour(a.priority, static_cast<uint64_t>(phase));
}

void PaintTile(QPainter& p, const QRect& rect, const TileData& d, bool large, const QRegion& region,
               int64_t now_ms) {
    const QRect r = rect.adjusted(2, 2, -2, -2);
    QColor background(244, 248, 255);
    QColor ink(20, 20, 40);
    if (d.offline) {
        background = QColor(200, 40, 40);
        ink = Qt::white;
    } else if (d.stale) {
        background = QColor(200, 200, 200);
        ink = QColor(90, 90, 90);
    }
    // The tile's alarm in its priority's colour and flash, as at the bedside.
    const TileAlarm alarm = d.Alarm();
    if (const QColor lit = TileAlarmColour(alarm, now_ms); lit.isValid()) {
        background = lit;
        ink = QColor(20, 20, 40);
    }
    p.fillRect(r, background);
    // A tile with fields no monitor sends gets an amber frame and names them.
    const QStringList doubt = d.Doubt();
    if (doubt.isEmpty()) {
        p.setPen(QColor(120, 120, 140));
        p.drawRect(r.adjusted(0, 0, -1, -1));
    } else {
        p.setPen(QPen(QColor(230, 140, 0), 4));
        p.drawRect(r.adjusted(2, 2, -2, -2));
    }
    const TileRows rows = RowsOf(rect);
    const QRect in = rows.inner;
    const double h = in.height();
    const QFont base = QApplication::font();
    p.setPen(ink);
    const bool text = region.intersects(
        QRect(in.left(), in.top(), in.width(), std::max(1, rows.pleth_top - in.top())));

    // Name and port, the time of the last values on the right. Fonts follow the rows'
    // height, but no further than the tile's width lets the texts fit.
    const int line = rows.line;
    const double fit = std::min(1.0, in.width() * 0.55 / std::max(1.0, h));
    if (text) {
        p.setFont(Scaled(base, line * 0.8 * fit, true));
        p.drawText(QRect(in.left(), in.top(), in.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                   d.monitor + "  " + d.port);
        p.setFont(Scaled(base, line * 0.65 * fit));
        p.drawText(QRect(in.left(), in.top(), in.width(), line), Qt::AlignRight | Qt::AlignVCenter,
                   d.last_time);
    }
    if (d.offline) {
        // "offline" large, how long below it; each as large as the tile's width lets it be.
        auto fitted = [&](const QString& text, double pixels) {
            QFont f = Scaled(base, pixels, true);
            const int width = QFontMetrics(f).horizontalAdvance(text);
            if (width > in.width()) f = Scaled(base, pixels * in.width() / width, true);
            return f;
        };
        const QRect below = in.adjusted(0, line, 0, 0);
        const int half = below.height() / 2;
        const QString since = d.offline_since;
        // The ward's offline alarm says so in its own words ("** bed-4 offline").
        const QString word = alarm.priority != alarms::Priority::kNone ? alarm.text : "offline";
        p.setFont(fitted(word, h * 0.16 * fit));
        p.drawText(below.adjusted(0, 0, 0, -half), Qt::AlignHCenter | Qt::AlignBottom, word);
        p.setFont(fitted(since, h * 0.1 * fit));
        p.drawText(below.adjusted(0, below.height() - half, 0, 0), Qt::AlignHCenter | Qt::AlignTop,
                   since);
        return;
    }
    // SpO2 and pulse, large.
    const int big_top = in.top() + line;
    const int big = rows.big;
    int y = big_top + big + 2 * line;
    if (text) {
        const int half = in.width() / 2;
        p.setFont(Scaled(base, std::min(big * 0.8, in.width() * 0.16), true));
        p.drawText(QRect(in.left(), big_top, half, big), Qt::AlignLeft | Qt::AlignVCenter, d.spo2);
        p.drawText(QRect(in.left() + half, big_top, half, big), Qt::AlignLeft | Qt::AlignVCenter,
                   d.pulse);
        p.setFont(Scaled(base, line * 0.55 * fit));
        p.drawText(QRect(in.left(), big_top, half - 4, line), Qt::AlignRight | Qt::AlignTop,
                   "SpO2 %");
        p.drawText(QRect(in.left() + half, big_top, half - 4, line), Qt::AlignRight | Qt::AlignTop,
                   "Pulse /min");

        // Status word and link health.
        y = big_top + big;
        p.setFont(Scaled(base, line * 0.7 * fit, true));
        p.drawText(QRect(in.left(), y, in.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                   doubt.isEmpty() ? d.status : d.status + "  ? " + doubt.join(", "));
        y += line;
        p.setFont(Scaled(base, line * 0.6 * fit));
        auto count = [](const std::optional<uint64_t>& n) {
            return n ? QString::number(*n) : QString("?");
        };
        QString health = d.link_state;
        if (large || in.width() > 220)
            health += QString(" · %1 frames, %2 bad, %3 lost")
                          .arg(count(d.frames), count(d.bad), count(d.lost));
        else
            health += QString(" · %1 bad, %2 lost").arg(count(d.bad), count(d.lost));
        // An alarm's text takes the place of the link's health (its counts are in the
        // large view and come back when the alarm ends).
        if (alarm.priority != alarms::Priority::kNone) {
            p.setFont(Scaled(base, line * 0.7 * fit, true));
            health = alarm.latched && !large ? alarm.text + " (ended)" : alarm.text;
            if (large) health += "  ·  " + d.link_state;
        }
        p.drawText(QRect(in.left(), y, in.width(), line), Qt::AlignLeft | Qt::AlignVCenter, health);
        y += line;
    }

    // The plethysmogram, when published.
    if (d.has_pleth && d.pleth_count > 1 && in.bottom() - y > 6) {
        const QRect wave(in.left(), y, in.width(), in.bottom() - y);
        const int n = d.pleth_count;
        const int start = (d.pleth_head - n + TileData::kPleth) % TileData::kPleth;
        int lo = 65535, hi = 0;
        for (int i = 0; i < n; ++i) {
            const int v = d.pleth[static_cast<size_t>((start + i) % TileData::kPleth)];
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        const double span = std::max(1, hi - lo);
        // Whole pixels and a polyline: the cheapest line the raster engine draws.
        std::array<QPoint, TileData::kPleth> points;
        for (int i = 0; i < n; ++i) {
            const int v = d.pleth[static_cast<size_t>((start + i) % TileData::kPleth)];
            points[static_cast<size_t>(i)] =
                QPoint(wave.left() + wave.width() * i / (TileData::kPleth - 1),
                       wave.bottom() - static_cast<int>((v - lo) / span * wave.height()));
        }
        p.setPen(QPen(d.stale ? ink : QColor(0, 128, 0), large ? 2 : 1));
        p.drawPolyline(points.data(), n);
    }
}

// ---------------------------------------------------------------------------------
TileGrid::TileGrid(const WardModel* model, QWidget* parent) : QWidget(parent), model_(model) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(kMinTileWidth, kMinTileHeight);
}

void TileGrid::Relayout() {
    const int n = std::max(1, model_->Count());
    const QWidget* port = parentWidget() != nullptr ? parentWidget() : this;
    const int w = std::max(kMinTileWidth, port->width());
    const int h = std::max(kMinTileHeight, port->height());
    // The column count that gives the largest tiles of about 3:2 that fit.
    int best_cols = 1;
    double best = -1;
    for (int cols = 1; cols <= n; ++cols) {
        const int rows = (n + cols - 1) / cols;
        const double tw = double(w) / cols;
        const double th = double(h) / rows;
        const double size = std::min(tw, th * 1.5);
        if (size > best) {
            best = size;
            best_cols = cols;
        }
    }
    columns_ = std::max(1, std::min(best_cols, w / kMinTileWidth));
    const int rows = (n + columns_ - 1) / columns_;
    tile_ = QSize(w / columns_, std::max(kMinTileHeight, h / rows));
    const int height = std::max(h, rows * tile_.height());
    if (minimumHeight() != height) setMinimumHeight(height);
    painted_value_ms_.assign(static_cast<size_t>(model_->Count()), 0);
    SetOrder(model_->Order(alarms_first_));
    update();
}

void TileGrid::SetOrder(std::vector<int> order) {
    if (order == order_) return;
    order_ = std::move(order);
    position_.assign(order_.size(), 0);
    for (size_t at = 0; at < order_.size(); ++at)
        position_[static_cast<size_t>(order_[at])] = static_cast<int>(at);
    update();
}

QRect TileGrid::TileRect(int index) const {
    const int at = static_cast<size_t>(index) < position_.size()
                       ? position_[static_cast<size_t>(index)]
                       : index;
    return QRect((at % columns_) * tile_.width(), (at / columns_) * tile_.height(), tile_.width(),
                 tile_.height());
}

int TileGrid::TileAt(const QPoint& pos) const {
    if (pos.x() < 0 || pos.y() < 0) return -1;
    const int col = pos.x() / tile_.width();
    if (col >= columns_) return -1;
    const int at = (pos.y() / tile_.height()) * columns_ + col;
    if (at >= model_->Count()) return -1;
    return static_cast<size_t>(at) < order_.size() ? order_[static_cast<size_t>(at)] : at;
}

void TileGrid::SetAlarmsFirst(bool on) {
    alarms_first_ = on;
    SetOrder(model_->Order(on));
}

void TileGrid::UpdateAlarms(int64_t now_ms) {
    SetOrder(model_->Order(alarms_first_));
    // A flashing tile is painted again when its colour changes, and only then.
    if (lit_.size() != static_cast<size_t>(model_->Count()))
        lit_.assign(static_cast<size_t>(model_->Count()), 0);
    for (int i = 0; i < model_->Count(); ++i) {
        const char lit = TileAlarmColour(model_->At(i).Alarm(), now_ms).isValid() ? 1 : 0;
        if (lit_[static_cast<size_t>(i)] != lit) {
            lit_[static_cast<size_t>(i)] = lit;
            UpdateTile(i);
        }
    }
}

void TileGrid::UpdateTile(int index) { update(TileRect(index)); }
void TileGrid::UpdatePleth(int index) { update(PlethRect(TileRect(index))); }

void TileGrid::resizeEvent(QResizeEvent*) {
    const int before = columns_;
    const QSize tile = tile_;
    Relayout();
    if (before != columns_ || tile != tile_) update();
}

void TileGrid::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.fillRect(event->rect(), palette().window());
    const int64_t now = NowMs();
    for (int i = 0; i < model_->Count(); ++i) {
        const QRect r = TileRect(i);
        if (!event->region().intersects(r)) continue;
        const TileData& d = model_->At(i);
        PaintTile(p, r, d, false, event->region(), now);
        ++tiles_painted_;
        // The first paint of an alarm in its colour: how long after its start.
        const TileAlarm a = d.Alarm();
        if (a.since_ms != 0 && !a.latched && TileAlarmColour(a, now).isValid()) {
            auto& painted = painted_alarm_[d.key];
            if (painted.first != a.name || painted.second != a.since_ms) {
                painted = {a.name, a.since_ms};
                if (alarm_latencies_.size() < 1000000)
                    alarm_latencies_.push_back(static_cast<int>(now - a.since_ms));
            }
        }
        if (static_cast<size_t>(i) < painted_value_ms_.size() && d.value_time_ms != 0 &&
            painted_value_ms_[static_cast<size_t>(i)] != d.value_time_ms) {
            painted_value_ms_[static_cast<size_t>(i)] = d.value_time_ms;
            if (latencies_.size() < 1000000)
                latencies_.push_back(static_cast<int>(now - d.value_time_ms));
        }
    }
}

void TileGrid::contextMenuEvent(QContextMenuEvent* event) {
    const int i = TileAt(event->pos());
    if (i >= 0) emit tileMenu(model_->At(i).key, event->globalPos());
}

void TileGrid::mouseDoubleClickEvent(QMouseEvent* event) {
    const int i = TileAt(event->position().toPoint());
    if (i >= 0) emit tileDoubleClicked(model_->At(i).key);
}

// ---------------------------------------------------------------------------------
LargeTile::LargeTile(const WardModel* model, const QString& key, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(model), key_(key) {
    setAttribute(Qt::WA_DeleteOnClose);
    resize(640, 420);
    const int i = model_->IndexOf(key_);
    if (i >= 0) setWindowTitle(model_->At(i).monitor + " " + model_->At(i).port + " - VELT Ward");
}

void LargeTile::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int i = model_->IndexOf(key_);
    if (i < 0) {
        p.fillRect(rect(), palette().window());
        return;
    }
    PaintTile(p, rect(), model_->At(i), true, QRegion(rect()), NowMs());
}

// ---------------------------------------------------------------------------------
WardSettings ReadWardSettings(const std::string& path) {
    WardSettings s;
    auto get = [&](const char* key) {
        return platform::GetPrivateProfileString("ward", key, "", path);
    };
    mqtt::ReadBrokerOptions("ward", path, &s.broker);
    s.monitors = get("monitors");
    s.alarms_first = get("alarms_first") == "1";
    return s;
}

bool WriteWardSettings(const std::string& path, const WardSettings& s) {
    bool ok = mqtt::WriteBrokerOptions("ward", path, s.broker);
    auto put = [&](const char* key, const std::string& value) {
        ok = platform::WritePrivateProfileString("ward", key, value.c_str(), path) && ok;
    };
    put("monitors", s.monitors);
    put("alarms_first", s.alarms_first ? "1" : "0");
    return ok;
}

WardSettingsDialog::WardSettingsDialog(const WardSettings& s, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Broker");
    error = new QLabel;
    error->setStyleSheet("color: #b00000");
    error->setWordWrap(true);
    auto* form = new QFormLayout;
    fields = std::make_unique<BrokerFields>(s.broker, form, this);
    monitors = new QLineEdit(QString::fromStdString(s.monitors));
    monitors->setPlaceholderText("all; or bed-1, bed-2, icu-*");
    form->addRow("Monitors:", monitors);
    alarms_first = new QCheckBox("Tiles in alarm first");
    alarms_first->setChecked(s.alarms_first);
    form->addRow(QString(), alarms_first);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &WardSettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &WardSettingsDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(error);
    layout->addWidget(buttons);
}

WardSettingsDialog::~WardSettingsDialog() = default;

WardSettings WardSettingsDialog::Settings() const {
    WardSettings s;
    s.broker = fields->Options();
    s.monitors = monitors->text().trimmed().toStdString();
    s.alarms_first = alarms_first->isChecked();
    return s;
}

QString WardSettingsDialog::Check() const { return fields->Check(true); }

void WardSettingsDialog::accept() {
    const QString problem = Check();
    error->setText(problem);
    if (problem.isEmpty()) QDialog::accept();
}

// ---------------------------------------------------------------------------------
WardWindow::WardWindow(WardSettings settings, std::string settings_path, QWidget* parent)
    : QMainWindow(parent),
      settings_(std::move(settings)),
      settings_path_(std::move(settings_path)),
      inbox_(std::make_shared<WardInbox>()) {
    setWindowTitle("VELT Ward");
    QMenu* file = menuBar()->addMenu("&File");
    file->addAction("&Broker...", this, &WardWindow::OnSettings);
    file->addSeparator();
    file->addAction("E&xit", QKeySequence::Quit, this, &QWidget::close);
    // The ward's own audio pause, apart from any monitor's: F9 as at the bedside.
    QMenu* alarm_menu = menuBar()->addMenu("&Alarms");
    pause_ =
        alarm_menu->addAction("Audio pause", QKeySequence("F9"), this, &WardWindow::PauseAudio);
    pause_->setObjectName("audioPause");
    pause_->setIcon(style()->standardIcon(QStyle::SP_MediaVolumeMuted));
    QToolBar* tools = addToolBar("Alarms");
    tools->setObjectName("alarmsToolbar");
    tools->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    tools->addAction(pause_);
    scroll_ = new QScrollArea(this);
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    grid_ = new TileGrid(&model_, scroll_);
    scroll_->setWidget(grid_);
    setCentralWidget(scroll_);
    status_ = new QLabel(this);
    status_->setObjectName("mqttPane");
    statusBar()->addPermanentWidget(status_);
    connect(grid_, &TileGrid::tileDoubleClicked, this,
            [this](const QString& key) { OpenLarge(key); });
    connect(grid_, &TileGrid::tileMenu, this, [this](const QString& key, const QPoint& at) {
        QMenu menu;
        const int i = model_.IndexOf(key);
        QAction* forget = menu.addAction("&Forget", [this, key] { Forget(key); });
        forget->setEnabled(i >= 0 && (model_.At(i).offline || model_.At(i).offline_alarm));
        menu.exec(at);
    });
    // Once a second: greying and the connection's state.
    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, [this] {
        CheckStale();
        UpdateStatus();
    });
    timer_.start();
    MakeTones();
    alarm_timer_.setInterval(kAlarmStepMs);
    connect(&alarm_timer_, &QTimer::timeout, this, [this] { AlarmTick(NowMs()); });
    alarm_timer_.start();
    resize(1024, 700);
    Connect(settings_);
}

void WardWindow::AlarmTick(int64_t now_ms) {
    alarm_now_ms_ = now_ms;
    for (int i : model_.CheckOffline(now_ms)) {
        grid_->UpdateTile(i);
        for (auto& w : large_)
            if (w && w->Key() == model_.At(i).key) w->update();
    }
    grid_->UpdateAlarms(now_ms);
    const auto now = static_cast<uint64_t>(now_ms);
    const alarms::Priority burst = sound_.Tick(now, model_.Highest(), model_.AlarmStarts());
    if (burst != alarms::Priority::kNone) Play(burst);
    const uint64_t left = sound_.PauseLeftMs(now);
    const QString text =
        left == 0 ? QString("Audio pause") : "Audio paused " + AudioPauseLeft(left);
    if (pause_->text() != text) pause_->setText(text);
}

void WardWindow::PauseAudio() {
    sound_.Pause(static_cast<uint64_t>(alarm_now_ms_), model_.Highest());
    platform::DebugPrintf("Ward alarm audio paused for %d s\n",
                          static_cast<int>(alarms::kAudioPauseMs / 1000));
    AlarmTick(alarm_now_ms_);
}

void WardWindow::MakeTones() {
    // The bedside's bursts, made once, so that an alarm finds its tone ready.
    tones_ = std::make_unique<QTemporaryDir>();
    for (alarms::Priority p :
         {alarms::Priority::kLow, alarms::Priority::kMedium, alarms::Priority::kHigh}) {
        std::vector<int16_t>& samples = tones_samples_[static_cast<int>(p)];
        samples = alarms::BurstSamples(p, kToneRate);
        const QString path = tones_->filePath(QString("alarm-%1.wav").arg(alarms::PriorityName(p)));
        if (!tones_->isValid() || !WriteAlarmWav(path, samples, kToneRate)) {
            platform::DebugPrintf("*** Ward alarms: cannot make the %s tone\n",
                                  alarms::PriorityName(p));
            continue;
        }
        QSoundEffect*& effect = effects_[static_cast<int>(p)];
        effect = new QSoundEffect(this);
        effect->setSource(QUrl::fromLocalFile(path));
    }
}

void WardWindow::Play(alarms::Priority priority) {
    last_burst_ = priority;
    ++bursts_;
    QSoundEffect* effect = effects_[static_cast<int>(priority)];
    // Without an audio device the effect reports an error and stays silent.
    if (effect != nullptr && effect->status() != QSoundEffect::Error) effect->play();
}

WardWindow::~WardWindow() {
    timer_.stop();
    alarm_timer_.stop();
    client_.reset();
    for (auto& w : large_)
        if (w) delete w.data();
}

bool WardWindow::Connect(const WardSettings& settings) {
    client_.reset();
    settings_ = settings;
    grid_->SetAlarmsFirst(settings_.alarms_first);
    problem_.clear();
    if (settings_.broker.url.empty()) {
        problem_ = "no broker: File > Broker..";
        UpdateStatus();
        return false;
    }
    // A new inbox: the monitors shown may have changed, and with them what is counted.
    inbox_ = std::make_shared<WardInbox>(WardInbox::Patterns(settings_.monitors));
    for (int i = model_.Count() - 1; i >= 0; --i)
        if (!inbox_->Shows(model_.At(i).key.section('/', 0, 0).toStdString()))
            model_.Remove(model_.At(i).key);
    grid_->Relayout();
    client_ = std::make_unique<mqtt::Client>(settings_.broker);
    client_->Subscribe(mqtt::kSubscribeAll);
    client_->SetMessageHandler([inbox = inbox_, self = QPointer<WardWindow>(this)](
                                   const char* topic, const char* payload, size_t size, bool) {
        // One wake per batch: the GUI thread takes all that came meanwhile.
        if (inbox->Put(topic, payload, size) && self)
            QMetaObject::invokeMethod(self.data(), "Drain", Qt::QueuedConnection);
    });
    std::string error;
    if (!client_->Start(&error)) {
        problem_ = QString::fromStdString(error);
        client_.reset();
        UpdateStatus();
        return false;
    }
    const std::string warning = mqtt::BrokerWarnings(settings_.broker);
    if (!warning.empty() && !warned_) {
        warned_ = true;
        statusBar()->showMessage("MQTT: " + QString::fromStdString(warning), 15000);
    }
    UpdateStatus();
    return true;
}

void WardWindow::Drain() {
    inbox_->Take(&batch_);
    if (batch_.empty()) return;
    const int64_t now = NowMs();
    bool relayout = false;
    std::vector<QString> touched;
    for (const auto& [topic, payload] : batch_) {
        bool added = false;
        const int i = model_.OnMessage(QString::fromStdString(topic), payload, now, &added);
        if (i < 0) continue;
        ++messages_;
        relayout = relayout || added;
        if (!relayout) {
            if (topic.size() > 6 && topic.compare(topic.size() - 6, 6, "/pleth") == 0)
                grid_->UpdatePleth(i);
            else
                grid_->UpdateTile(i);
        }
        touched.push_back(model_.At(i).key);
    }
    if (relayout) grid_->Relayout();
    for (auto& w : large_)
        if (w && std::find(touched.begin(), touched.end(), w->Key()) != touched.end()) w->update();
}

void WardWindow::CheckStale() {
    for (int i : model_.CheckStale(NowMs())) {
        grid_->UpdateTile(i);
        for (auto& w : large_)
            if (w && w->Key() == model_.At(i).key) w->update();
    }
}

LargeTile* WardWindow::OpenLarge(const QString& key) {
    for (auto& w : large_) {
        if (w && w->Key() == key) {
            w->raise();
            w->activateWindow();
            return w.data();
        }
    }
    auto* w = new LargeTile(&model_, key, this);
    large_.push_back(w);
    w->show();
    return w;
}

void WardWindow::Forget(const QString& key) {
    if (client_) {
        const std::string k = key.toStdString();
        const size_t slash = k.find('/');  // escaped names hold none
        client_->Publish(mqtt::Topic(k.substr(0, slash), k.substr(slash + 1), mqtt::Leaf::kState),
                         std::string(), mqtt::Delivery::kState);
    }
    model_.Forget(key);
    grid_->Relayout();
    for (auto& w : large_)
        if (w && w->Key() == key) w->update();
}

QString WardWindow::StatusText() const {
    if (!problem_.isEmpty()) return "MQTT: off (" + problem_ + ")";
    if (!client_) return QString();
    const mqtt::Client::Status s = client_->GetStatus();
    switch (s.state) {
        case mqtt::Client::State::kConnected: {
            QString text = QString("MQTT: connected, %1 monitors").arg(model_.Count());
            if (inbox_->Refused() != 0) text += QString(", %1 too large").arg(inbox_->Refused());
            if (inbox_->Dropped() != 0)
                text += QString(", %1 dropped (ward behind)").arg(inbox_->Dropped());
            return text;
        }
        case mqtt::Client::State::kRetrying:
            return "MQTT: retrying (" + QString::fromStdString(s.reason) + ")";
        default:
            return "MQTT: connecting";
    }
}

void WardWindow::UpdateStatus() {
    const QString text = StatusText();
    if (status_->text() != text) status_->setText(text);
}

void WardWindow::OnSettings() {
    WardSettingsDialog dialog(settings_, this);
    if (dialog.exec() != QDialog::Accepted) return;
    const WardSettings s = dialog.Settings();
    if (!settings_path_.empty() && !WriteWardSettings(settings_path_, s))
        QMessageBox::warning(this, "VELT Ward",
                             QString("The settings could not be saved in %1.")
                                 .arg(QString::fromStdString(settings_path_)));
    Connect(s);
}
