#include "display/monitoring_view.h"

#include <QBackingStore>
#include <QCoreApplication>
#include <QEvent>
#include <QExposeEvent>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QPrinter>
#include <QWindow>
#include <algorithm>
#include <cstring>
#include <utility>

#include "display/alarm_watch.h"
#include "display/colour_label.h"
#include "display/sound_player.h"
#include "link/oximeter.h"
#include "processing/measurement.h"

namespace {

constexpr Colour kValueBackground = RGB(240, 240, 240);
constexpr Colour kLabelBackground = RGB(224, 224, 255);

// Column rectangles of the left block and the row pitch.
constexpr int kLabelLeft = 3, kLabelRight = 103;
constexpr int kColumnLeft[3] = {106, 179, 252};
constexpr int kColumnWidth = 70;
constexpr int kRowHeight = 20;

CVELTMonitoringView::LinkFactory& Factory() {
    static CVELTMonitoringView::LinkFactory factory;
    return factory;
}

int WakeEventType() {
    static const int type = QEvent::registerEventType();
    return type;
}

int RepaintEventType() {
    static const int type = QEvent::registerEventType();
    return type;
}

class PacketMessageEvent : public QEvent {
public:
    PacketMessageEvent(int code, COximeter* link)
        : QEvent(static_cast<QEvent::Type>(CVELTMonitoringView::PacketMessageType())),
          code_(code),
          link_(link) {}
    int code() const { return code_; }
    COximeter* link() const { return link_; }

private:
    int code_;
    COximeter* link_;
};

bool ValidField(int field) { return field >= 0 && field < ViewFieldCount; }

}  // namespace

void CVELTMonitoringView::SetLinkFactory(LinkFactory factory) { Factory() = std::move(factory); }

int CVELTMonitoringView::PacketMessageType() {
    // The link's packet-arrival message keeps its number where Qt allows it.
    static const int type = QEvent::registerEventType(1124);
    return type;
}

CVELTMonitoringView::CVELTMonitoringView(QWidget* parent, bool with_link) : QWidget(parent) {
    if (with_link && Factory()) link_ = Factory()(config::ReadConnectionSettings());

    // The link does not touch the view before AttachView, so the first picture can be
    // drawn without any other thread around.
    plot_.RedrawPlot();
    plot_.TakeDirtyRegion();
    calls_.SetWake([this] {
        QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(WakeEventType())));
    });
    plot_.SetRepaintRequest(&CVELTMonitoringView::RequestRepaint, this);
    repaint_timer_.setSingleShot(true);
    connect(&repaint_timer_, &QTimer::timeout, this, &CVELTMonitoringView::FlushRepaint);

    setMinimumSize(kClientWidth, kClientHeight);
    resize(kClientWidth, kClientHeight);
    // The paint covers every pixel, so nothing under the view (the frame and title
    // bar of the document window) repaints with the plot or a field.
    setAttribute(Qt::WA_OpaquePaintEvent);
    sound_ = new SoundPlayer(this);

    CreateControls();
    fields_[LedS_IR]->AsWidget()->setFocus();

    if (link_ != nullptr) {
        alarms_ = new AlarmWatch(this);
        link_->AttachView(this);
    }
}

CVELTMonitoringView::~CVELTMonitoringView() {
    delete alarms_;  // it reads the fields and the link
    alarms_ = nullptr;
    // Appends from a receive thread that is still stopping draw nothing from here on.
    plot_.Close();
    // Stopping the link runs the field writes its thread is waiting on.
    delete link_;
    link_ = nullptr;
    calls_.Shutdown();
    plot_.SetRepaintRequest(nullptr, nullptr);
    repaint_timer_.stop();
    if (watched_window_) watched_window_->removeEventFilter(this);
    for (int i = label_count_ - 1; i >= 0; --i) labels_[i] = nullptr;
    // The controls go in reverse order of creation.
    for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) delete *it;
    controls_.clear();
    fields_.fill(nullptr);
}

QLabel* CVELTMonitoringView::AddLabel(const char* text, int left, int top, int right, int bottom,
                                      bool coloured, bool centred) {
    const QString caption = QString::fromUtf8(text);
    QLabel* label = nullptr;
    if (coloured) {
        auto* colour_static = new ColourStatic(caption, this);
        colour_static->SetBackgroundColour(kLabelBackground);
        label = colour_static;
    } else {
        label = new QLabel(caption, this);
        // A platform label paints its own background, hiding the pulse trend below.
        label->setAutoFillBackground(true);
    }
    label->setTextFormat(Qt::PlainText);
    label->setAlignment((centred ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignVCenter);
    label->setGeometry(left, top, right - left, bottom - top);
    if (label_count_ < kLabelCount) labels_[label_count_++] = label;
    controls_.push_back(label);
    return label;
}

void CVELTMonitoringView::AddField(int field, int left, int top, int right, int bottom,
                                   bool value_field, bool left_aligned) {
    FieldControl* control = nullptr;
    if (field == DocComment) {
        control = new ColourMultiLineEdit(this);
    } else {
        auto* edit = new ColourEdit(this);
        edit->setAlignment((left_aligned ? Qt::AlignLeft : Qt::AlignRight) | Qt::AlignVCenter);
        if (value_field) {
            edit->setReadOnly(true);
            // Value fields change many times a minute: each repaints alone.
            edit->SetBackdrop(this);
        }
        control = edit;
    }
    if (value_field) control->Colours().SetBackgroundColour(kValueBackground);
    QWidget* widget = control->AsWidget();
    widget->setObjectName(QString::fromLatin1(ViewFieldName(field)));
    widget->setGeometry(left, top, right - left, bottom - top);
    fields_[field] = control;
    controls_.push_back(widget);
}

void CVELTMonitoringView::CreateControls() {
    struct Row {
        const char* label;
        int fields[3];  // -1: no field in that column
        bool coloured;
    };
    auto add_row = [this](int y, const Row& row) {
        AddLabel(row.label, kLabelLeft, y, kLabelRight, y + kRowHeight, row.coloured, false);
        for (int c = 0; c < 3; ++c) {
            if (row.fields[c] < 0) continue;
            AddField(row.fields[c], kColumnLeft[c], y, kColumnLeft[c] + kColumnWidth,
                     y + kRowHeight, true, false);
        }
    };

    // Column heads.
    const char* const heads[3] = {" IR", " Red", " Red2"};
    for (int c = 0; c < 3; ++c)
        AddLabel(heads[c], kColumnLeft[c], 24, kColumnLeft[c] + kColumnWidth, 44, false, true);

    const Row upper[] = {
        {" LED S /mA", {LedS_IR, LedS_Red, LedS_Red2}, false},
        {" LED M /mA", {LedM_IR, LedM_Red, LedM_Red2}, false},
        {" ADC /V", {Adc_IR, Adc_Red, Adc_Red2}, false},
        {" ADC Sig /V", {AdcSig_IR, AdcSig_Red, AdcSig_Red2}, false},
        {" Gain I /MOhm", {GainI, -1, -1}, false},
    };
    int y = 47;
    for (const Row& row : upper) {
        add_row(y, row);
        y += 23;
    }

    // Top row: value fields with left-aligned text.
    AddField(StatusText, 3, 3, 499, 23, true, true);
    AddField(TimeText, 502, 3, 659, 23, true, true);
    AddField(ComputerText, 662, 3, 739, 23, true, true);
    AddField(PortText, 742, 3, 842, 23, true, true);

    const Row lower[] = {
        {" Sensor /.001", {Sensor_IR, Sensor_Red, Sensor_Red2}, false},
        {" RMS /%", {Rms_IR, Rms_Red, Rms_Red2}, false},
        {" Pulse /bpm", {Pulse, -1, -1}, true},
        {" SPO2 /%", {Spo2, -1, -1}, true},
        {" R-HbCO /%", {RHbCO, -1, -1}, true},
        {" Rise /ms", {Rise, -1, -1}, true},
        {" Jitter /ms", {Jitter, -1, -1}, true},
        {" Perfus. /%", {Perfusion_IR, Perfusion_Red, -1}, true},
        {" RSens /KOhm", {RSens, -1, -1}, false},
        {" Ambient /%", {Ambient, -1, -1}, false},
        {" Gener /V", {Gener, -1, -1}, false},
        {" Temp /\u00B0C", {Temp, -1, -1}, false},
    };
    for (const Row& row : lower) {
        add_row(y, row);
        y += 23;
    }

    // Documentation block: editable, default colours.
    AddLabel(" Operator", 329, 323, 429, 343, false, false);
    AddField(DocOperator, 432, 323, 502, 343, false, false);
    AddLabel(" Serial", 329, 346, 429, 366, false, false);
    AddField(DocSerial, 432, 346, 502, 366, false, false);
    AddLabel(" Sensor", 329, 369, 429, 389, false, false);
    AddField(DocSensor, 432, 369, 502, 389, false, false);
    AddLabel(" Comment", 329, 392, 429, 412, false, false);
    AddField(DocComment, 432, 392, 782, 435, false, true);
}

QWidget* CVELTMonitoringView::Field(int field) const {
    return ValidField(field) && fields_[field] ? fields_[field]->AsWidget() : nullptr;
}

FieldControl* CVELTMonitoringView::FieldControlAt(int field) const {
    return ValidField(field) ? fields_[field] : nullptr;
}

QLabel* CVELTMonitoringView::Label(int index) const {
    return index >= 0 && index < label_count_ ? labels_[index] : nullptr;
}

void CVELTMonitoringView::ApplyFieldText(int field, const char* text) {
    FieldControl* control = fields_[field];
    if (control == nullptr) return;
    control->ReplaceFieldTextUtf8(text);
    // A line edit keeps its caret in sight, behind the text: a port name longer than
    // its field ("COM1 /dev/pts/0") would lose its beginning. These rarely change, so
    // they are shown from the start, the whole name as the tooltip.
    if (field == PortText || field == ComputerText) {
        if (auto* edit = qobject_cast<QLineEdit*>(control->AsWidget())) {
            edit->setCursorPosition(0);
            edit->setToolTip(edit->text());
        }
    }
}

void CVELTMonitoringView::SetFieldText(int field, const char* text) {
    if (text == nullptr || !ValidField(field)) return;
    // From a worker this waits until the GUI thread has written the field; the text
    // stays valid for that long because the caller is blocked.
    calls_.Call([&] { ApplyFieldText(field, text); });
}

int CVELTMonitoringView::GetFieldText(int field, char* buffer, int limit) {
    if (buffer == nullptr || limit <= 0) return 0;
    buffer[0] = '\0';
    if (!ValidField(field)) return 0;
    int count = 0;
    calls_.Call([&] {
        const FieldControl* control = fields_[field];
        if (control == nullptr) return;
        const QByteArray utf8 = control->FieldText().toUtf8();
        int n = std::min<int>(static_cast<int>(utf8.size()), limit - 1);
        // Never cut a character in half.
        while (n > 0 && n < utf8.size() && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80)
            --n;
        std::memcpy(buffer, utf8.constData(), static_cast<size_t>(n));
        buffer[n] = '\0';
        count = n;
    });
    return count;
}

bool CVELTMonitoringView::IsFieldModified(int field) {
    if (!ValidField(field)) return false;
    bool modified = false;
    calls_.Call([&] { modified = fields_[field] && fields_[field]->IsFieldModified(); });
    return modified;
}

void CVELTMonitoringView::SetFieldModified(int field, bool modified) {
    if (!ValidField(field)) return;
    calls_.Call([&] {
        if (fields_[field]) fields_[field]->SetFieldModified(modified);
    });
}

void CVELTMonitoringView::AppendSample(uint8_t value, Colour colour) {
    // The link and its measurement are fixed for the view's life: safe from any thread.
    const processing::Measurement* m = link_ != nullptr ? link_->Measurement() : nullptr;
    plot_.AppendSample(value, colour, m != nullptr ? m->EventByte() : 0);
}

void CVELTMonitoringView::AppendPulseTrend(uint8_t value) { plot_.AppendPulseTrend(value); }

void CVELTMonitoringView::ResetPlot() { plot_.ResetPlot(); }

void CVELTMonitoringView::RedrawPlot() { plot_.RedrawPlot(); }

void CVELTMonitoringView::PostPacketMessage(int code, COximeter* link) {
    QCoreApplication::postEvent(this, new PacketMessageEvent(code, link));
}

void CVELTMonitoringView::RunPendingCalls() { calls_.RunPending(); }

void CVELTMonitoringView::PlaySoundAsync(const char* file_name) {
    if (file_name == nullptr) return;
    const QString name = QString::fromUtf8(file_name);
    QMetaObject::invokeMethod(
        this, [this, name] { PlaySoundNow(name); }, Qt::QueuedConnection);
}

void CVELTMonitoringView::PlaySoundNow(const QString& name) {
    last_sound_path_ = sound_->Play(name);
}

void CVELTMonitoringView::RequestRepaint(void* view) {
    // Under the plot's lock, from any thread: only post, or note it for the end of the
    // packet message being handled, which saves an event per record.
    auto* self = static_cast<CVELTMonitoringView*>(view);
    if (self->calls_.IsOwnerThread() && self->in_packet_message_) {
        self->repaint_after_packets_ = true;
        return;
    }
    QCoreApplication::postEvent(self, new QEvent(static_cast<QEvent::Type>(RepaintEventType())));
}

void CVELTMonitoringView::OnRepaintRequested(bool more_packets_due) {
    // At most 30 screen updates a second: at 50 records a second every other record
    // repaints, showing every sample since the last one. Each update costs the whole
    // window's paint and its transfer to the screen, far more than a record's drawing.
    constexpr qint64 kFrameMs = 33;
    if (!since_flush_.isValid() || since_flush_.elapsed() >= kFrameMs) {
        FlushRepaint();
    } else if (!repaint_timer_.isActive()) {
        // While packet messages arrive, the next one flushes (see event()) and the
        // timer, set a frame later than that, only catches the end of the stream: it
        // never wakes the thread in between.
        const qint64 due = (more_packets_due ? 2 * kFrameMs : kFrameMs) - since_flush_.elapsed();
        repaint_timer_.start(static_cast<int>(due));
    }
}

void CVELTMonitoringView::FlushRepaint() {
    repaint_timer_.stop();
    const WaveformPlot::DirtyRegion dirty = plot_.TakeDirtyRegion();
    since_flush_.restart();
    QRegion region;
    for (const CanvasRect& r : {dirty.trace, dirty.strip, dirty.trend})
        if (!r.Empty()) region += QRect(r.left, r.top, r.Width(), r.Height());
    // A hidden widget drops the request, so it must not be remembered either.
    if (region.isEmpty() || !isVisible() || !updatesEnabled()) return;
    if (PaintIntoWindow(region)) return;
    requested_ += region;
    // Painted now rather than through a posted update: the repaints are paced here
    // already, and the post would cost the event loop another round per record.
    repaint(region);
}

void CVELTMonitoringView::ExposePlot(const QRegion& region) {
    exposed_rects_.clear();
    for (const QRect& r : region)
        exposed_rects_.push_back({r.left(), r.top(), r.right() + 1, r.bottom() + 1});
    plot_.Expose(exposed_rects_);
}

bool CVELTMonitoringView::PlainBackdrop(const QRect& area, QColor* colour) const {
    // A field covers its inside itself; only its outer ring lets what is under it
    // show, so only the ring needs to be background.
    constexpr int kRing = 2;
    bool plain = true;
    plot_.WithCanvas([&](const PixelCanvas& canvas) {
        const QRect ring = area & QRect(0, 0, canvas.Width(), canvas.Height());
        const uint32_t* bits = canvas.Bits();
        auto clear = [&](int y, int from, int to) {  // [from, to] of row y
            const uint32_t* row = bits + static_cast<size_t>(y) * canvas.Width();
            for (int x = std::max(from, ring.left()); x <= std::min(to, ring.right()); ++x)
                if (row[x] != 0) return false;
            return true;
        };
        for (int y = ring.top(); y <= ring.bottom() && plain; ++y) {
            if (y < area.top() + kRing || y > area.bottom() - kRing)
                plain = clear(y, area.left(), area.right());
            else
                plain = clear(y, area.left(), area.left() + kRing - 1) &&
                        clear(y, area.right() - kRing + 1, area.right());
        }
    });
    if (plain) *colour = palette().color(backgroundRole());
    return plain;
}

void CVELTMonitoringView::PaintBackdrop(QPainter& painter, const QRect& area) const {
    painter.fillRect(QRect(QPoint(0, 0), area.size()), palette().color(backgroundRole()));
    plot_.WithCanvas([&](const PixelCanvas& canvas) {
        const QImage image(reinterpret_cast<const uchar*>(canvas.Bits()), canvas.Width(),
                           canvas.Height(), canvas.Width() * 4,
                           QImage::Format_ARGB32_Premultiplied);
        const QRect inside = area & image.rect();
        if (!inside.isEmpty()) painter.drawImage(inside.topLeft() - area.topLeft(), image, inside);
    });
}

void CVELTMonitoringView::WatchWindowExposes() {
    QWindow* handle = window()->windowHandle();
    if (handle == watched_window_) return;
    if (watched_window_) watched_window_->removeEventFilter(this);
    watched_window_ = handle;
    if (handle != nullptr) handle->installEventFilter(this);
}

void CVELTMonitoringView::showEvent(QShowEvent* event) {
    requested_ = QRegion();
    WatchWindowExposes();
    QWidget::showEvent(event);
}

void CVELTMonitoringView::hideEvent(QHideEvent* event) {
    requested_ = QRegion();
    QWidget::hideEvent(event);
}

bool CVELTMonitoringView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == watched_window_ && event->type() == QEvent::Expose &&
        watched_window_->isExposed()) {
        // The window's exposed part, in the window's coordinates.
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        QRegion region = static_cast<QExposeEvent*>(event)->region();
        QT_WARNING_POP
        region.translate(-mapTo(window(), QPoint(0, 0)));
        region &= rect();
        if (!region.isEmpty()) {
            ExposePlot(region);
            requested_ += region;
            update(region);
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool CVELTMonitoringView::event(QEvent* event) {
    const int type = event->type();
    if (type == PacketMessageType()) {
        const auto* message = static_cast<PacketMessageEvent*>(event);
        // The link named in the message, not necessarily this view's own.
        if (message->code() == 1 && message->link() != nullptr) {
            in_packet_message_ = true;
            message->link()->ProcessPackets();
            in_packet_message_ = false;
            if (message->link() == link_) {
                if (alarms_ != nullptr) alarms_->RecordsShown();
                emit recordsShown();
            }
        }
        // A repaint waiting for its frame goes with these records when the frame is up.
        if (repaint_after_packets_ || repaint_timer_.isActive()) {
            repaint_after_packets_ = false;
            OnRepaintRequested(true);
        }
        return true;
    }
    if (type == WakeEventType()) {
        calls_.RunPending();
        return true;
    }
    if (type == RepaintEventType()) {
        OnRepaintRequested(false);
        return true;
    }
    if ((type == QEvent::WindowActivate || type == QEvent::WindowDeactivate) &&
        palette().color(QPalette::Active, backgroundRole()) ==
            palette().color(QPalette::Inactive, backgroundRole())) {
        // Switching document windows changes nothing the view draws itself, and a
        // repaint of all of it would show as an expose: only the controls hear of it.
        for (QObject* child : children()) {
            auto* widget = qobject_cast<QWidget*>(child);
            if (widget != nullptr && widget->isVisible() && !widget->isWindow())
                QCoreApplication::sendEvent(widget, event);
        }
        return true;
    }
    return QWidget::event(event);
}

namespace {

// The frame and the strip are always drawn (filled at the first redraw), so there the
// picture is opaque and is copied as it is; elsewhere it lies on the background.
bool OpaqueInPlot(const QRect& r) {
    for (const CanvasRect& c : {WaveformPlot::kFrame, WaveformPlot::kStrip})
        if (r.left() >= c.left && r.right() < c.right && r.top() >= c.top && r.bottom() < c.bottom)
            return true;
    return false;
}

}  // namespace

bool CVELTMonitoringView::CopyIntoStore(const QRegion& region, const QPoint& offset,
                                        QBackingStore* store) const {
    QPaintDevice* device = store->paintDevice();
    if (device == nullptr || device->devType() != QInternal::Image) return false;
    auto* image = static_cast<QImage*>(device);
    if ((image->format() != QImage::Format_RGB32 &&
         image->format() != QImage::Format_ARGB32_Premultiplied) ||
        image->devicePixelRatio() != 1.0)
        return false;
    for (const QRect& r : region)
        if (!OpaqueInPlot(r) || !image->rect().contains(r.translated(-offset))) return false;
    uchar* bits = image->bits();
    const qsizetype stride = image->bytesPerLine();
    plot_.WithCanvas([&](const PixelCanvas& canvas) {
        for (const QRect& r : region) {
            const size_t bytes = static_cast<size_t>(r.width()) * 4;
            for (int y = r.top(); y <= r.bottom(); ++y)
                std::memcpy(bits + (y - offset.y()) * stride + (r.left() - offset.x()) * 4,
                            canvas.Bits() + static_cast<size_t>(y) * canvas.Width() + r.left(),
                            bytes);
        }
    });
    return true;
}

namespace {

// Whether a child widget, shown, covers part of the area (its parent's coordinates).
// The overlap is tested here rather than by QRect::intersects, which Qt does not
// inline: this runs for some 70 widgets at every repaint.
bool Covers(const QObject* child, const QRect& area) {
    if (!child->isWidgetType()) return false;
    const auto* widget = static_cast<const QWidget*>(child);
    if (widget->isWindow() || !widget->isVisible()) return false;
    const QRect& g = widget->geometry();
    return g.left() <= area.right() && area.left() <= g.right() && g.top() <= area.bottom() &&
           area.top() <= g.bottom();
}

}  // namespace

bool CVELTMonitoringView::Unobscured(const QRect& area) const {
    for (const QObject* child : children())
        if (Covers(child, area)) return false;
    // Up to the window: each parent shows all of it and nothing stacked above covers it.
    QRect r = area;
    const QWidget* w = this;
    while (!w->isWindow()) {
        // A sub-window's mask takes its corners alone, far from the plot.
        const QRegion mask = w->mask();
        if (w->graphicsEffect() != nullptr || (!mask.isEmpty() && !(QRegion(r) - mask).isEmpty()))
            return false;
        const QWidget* parent = w->parentWidget();
        r.translate(w->pos());
        if (!parent->rect().contains(r)) return false;
        const QObjectList& siblings = parent->children();
        for (qsizetype i = siblings.indexOf(const_cast<QWidget*>(w)) + 1; i < siblings.size(); ++i)
            if (Covers(siblings[i], r)) return false;
        w = parent;
    }
    return true;
}

bool CVELTMonitoringView::PaintIntoWindow(const QRegion& region) {
    QWidget* top = window();
    QWindow* handle = top->windowHandle();
    QBackingStore* store = backingStore();
    if (handle == nullptr || !handle->isExposed() || store == nullptr ||
        nativeParentWidget() != top || !Unobscured(region.boundingRect()))
        return false;
    const QPoint origin = mapTo(top, QPoint(0, 0));
    const QRegion in_window = region.translated(origin);
    store->beginPaint(in_window);
    const bool copied = CopyIntoStore(region, -origin, store);
    store->endPaint();
    if (copied) store->flush(in_window, handle);
    return copied;
}

void CVELTMonitoringView::paintEvent(QPaintEvent* event) {
    const QRegion& region = event->region();
    // Into the window rather than a grab: what the plot did not ask for and no control
    // covers was exposed, and shows the redraw. A grab shows the window as it is.
    QBackingStore* store = backingStore();
    QPoint offset;  // of the window's image from the view
    const bool into_window = store != nullptr && redirected(&offset) == store->paintDevice();
    if (into_window) {
        // Usually all of it is the plot's own request, or a control's repaint: told
        // apart rectangle by rectangle before any region arithmetic.
        auto asked = [this](const QRect& r) {
            for (const QRect& a : requested_)
                if (a.contains(r)) return true;
            return false;
        };
        auto inside_control = [this](const QRect& r) {
            for (const QWidget* control : controls_)
                if (control->geometry().contains(r)) return true;
            return false;
        };
        bool maybe_exposed = false;
        for (const QRect& r : region) {
            if (!asked(r) && !inside_control(r)) {
                maybe_exposed = true;
                break;
            }
        }
        if (maybe_exposed) {
            QRegion exposed = region.subtracted(requested_);
            for (const QWidget* control : controls_) {
                if (exposed.isEmpty()) break;
                if (exposed.intersects(control->geometry())) exposed -= control->geometry();
            }
            if (!exposed.isEmpty()) ExposePlot(exposed);
        }
        // One paint takes everything that was asked for; what it did not reach (hidden
        // under another window) is an expose once it shows.
        requested_ = QRegion();
    }
    // The plot's own repaints, opaque pixels all of them, go straight into the window's
    // image row by row: a painter's setup and its blits would cost several times more.
    if (into_window && CopyIntoStore(region, offset, store)) return;
    QPainter painter(this);
    const QColor background = palette().color(backgroundRole());
    // Qt blends a copy taller than about 96 rows in worker threads, whose wake-ups cost
    // more than the copy: the plot's columns go in bands.
    static constexpr int kBand = 64;
    auto copy = [&painter](const QImage& image, const QRect& r) {
        for (int top = r.top(); top <= r.bottom(); top += kBand) {
            const QRect band(r.left(), top, r.width(), std::min(kBand, r.bottom() + 1 - top));
            painter.drawImage(band.topLeft(), image, band);
        }
    };
    plot_.WithCanvas([&](const PixelCanvas& canvas) {
        const QImage image(reinterpret_cast<const uchar*>(canvas.Bits()), canvas.Width(),
                           canvas.Height(), canvas.Width() * 4,
                           QImage::Format_ARGB32_Premultiplied);
        for (const QRect& r : region) {
            if (OpaqueInPlot(r)) {
                painter.setCompositionMode(QPainter::CompositionMode_Source);
                copy(image, r);
                painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
                continue;
            }
            painter.fillRect(r, background);
            const QRect inside = r & image.rect();
            if (!inside.isEmpty()) copy(image, inside);
        }
    });
}

void CVELTMonitoringView::PaintPlot(QPainter& painter) const {
    PixelCanvas canvas(kClientWidth, kClientHeight);
    plot_.RedrawPlotInto(canvas);
    const QImage image(reinterpret_cast<const uchar*>(canvas.Bits()), canvas.Width(),
                       canvas.Height(), canvas.Width() * 4, QImage::Format_ARGB32_Premultiplied);
    painter.drawImage(0, 0, image);
}

void CVELTMonitoringView::PrintTo(QPrinter* printer) {
    if (printer == nullptr) return;
    QPainter painter;
    if (!painter.begin(printer)) return;
    const double sx = static_cast<double>(printer->logicalDpiX()) / std::max(1, logicalDpiX());
    const double sy = static_cast<double>(printer->logicalDpiY()) / std::max(1, logicalDpiY());
    painter.scale(sx, sy);
    PaintPlot(painter);
    painter.end();
}
