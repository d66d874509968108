#include "app/ward/ward_window.h"

#include <QApplication>
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
#include <QStatusBar>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <cmath>

#include "export/mqtt_topics.h"
#include "platform/profile.h"

namespace {

int64_t NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

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

void PaintTile(QPainter& p, const QRect& rect, const TileData& d, bool large,
               const QRegion& region) {
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
        p.setFont(fitted("offline", h * 0.16 * fit));
        p.drawText(below.adjusted(0, 0, 0, -half), Qt::AlignHCenter | Qt::AlignBottom, "offline");
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
    update();
}

QRect TileGrid::TileRect(int index) const {
    return QRect((index % columns_) * tile_.width(), (index / columns_) * tile_.height(),
                 tile_.width(), tile_.height());
}

int TileGrid::TileAt(const QPoint& pos) const {
    if (pos.x() < 0 || pos.y() < 0) return -1;
    const int col = pos.x() / tile_.width();
    if (col >= columns_) return -1;
    const int i = (pos.y() / tile_.height()) * columns_ + col;
    return i < model_->Count() ? i : -1;
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
        PaintTile(p, r, d, false, event->region());
        ++tiles_painted_;
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
    PaintTile(p, rect(), model_->At(i), true, QRegion(rect()));
}

// ---------------------------------------------------------------------------------
WardSettings ReadWardSettings(const std::string& path) {
    WardSettings s;
    auto get = [&](const char* key) {
        return platform::GetPrivateProfileString("ward", key, "", path);
    };
    s.broker.url = get("broker");
    s.broker.ca_file = get("ca_file");
    s.broker.cert_file = get("cert_file");
    s.broker.key_file = get("key_file");
    s.broker.username = get("username");
    s.broker.password_file = get("password_file");
    s.monitors = get("monitors");
    return s;
}

bool WriteWardSettings(const std::string& path, const WardSettings& s) {
    bool ok = true;
    auto put = [&](const char* key, const std::string& value) {
        ok = platform::WritePrivateProfileString("ward", key, value.c_str(), path) && ok;
    };
    put("broker", s.broker.url);
    put("ca_file", s.broker.ca_file);
    put("cert_file", s.broker.cert_file);
    put("key_file", s.broker.key_file);
    put("username", s.broker.username);
    put("password_file", s.broker.password_file);
    put("monitors", s.monitors);
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
        forget->setEnabled(i >= 0 && model_.At(i).offline);
        menu.exec(at);
    });
    // Once a second: greying and the connection's state.
    timer_.setInterval(1000);
    connect(&timer_, &QTimer::timeout, this, [this] {
        CheckStale();
        UpdateStatus();
    });
    timer_.start();
    resize(1024, 700);
    Connect(settings_);
}

WardWindow::~WardWindow() {
    timer_.stop();
    client_.reset();
    for (auto& w : large_)
        if (w) delete w.data();
}

bool WardWindow::Connect(const WardSettings& settings) {
    client_.reset();
    settings_ = settings;
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
