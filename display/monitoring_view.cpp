#include "display/monitoring_view.h"

#include <QCoreApplication>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPrinter>
#include <algorithm>
#include <cstring>
#include <utility>

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

CVELTMonitoringView::CVELTMonitoringView(QWidget* parent) : QWidget(parent) {
    const config::ConnectionSettings settings = config::ReadConnectionSettings();
    if (Factory()) link_ = Factory()(settings);

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
    sound_ = new SoundPlayer(this);

    CreateControls();
    fields_[LedS_IR]->AsWidget()->setFocus();

    if (link_ != nullptr) link_->AttachView(this);
}

CVELTMonitoringView::~CVELTMonitoringView() {
    // Appends from a receive thread that is still stopping draw nothing from here on.
    plot_.Close();
    // Stopping the link runs the field writes its thread is waiting on.
    delete link_;
    link_ = nullptr;
    calls_.Shutdown();
    plot_.SetRepaintRequest(nullptr, nullptr);
    repaint_timer_.stop();
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
        if (value_field) edit->setReadOnly(true);
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
    if (FieldControl* control = fields_[field]) control->ReplaceFieldText(QString::fromUtf8(text));
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
    // Under the plot's lock, from any thread: only post.
    QCoreApplication::postEvent(static_cast<CVELTMonitoringView*>(view),
                                new QEvent(static_cast<QEvent::Type>(RepaintEventType())));
}

void CVELTMonitoringView::OnRepaintRequested() {
    // At most 60 screen updates a second, however fast samples arrive.
    constexpr qint64 kFrameMs = 16;
    if (!since_flush_.isValid() || since_flush_.elapsed() >= kFrameMs) {
        FlushRepaint();
    } else if (!repaint_timer_.isActive()) {
        repaint_timer_.start(static_cast<int>(kFrameMs - since_flush_.elapsed()));
    }
}

void CVELTMonitoringView::FlushRepaint() {
    const CanvasRect dirty = plot_.TakeDirtyRegion();
    since_flush_.restart();
    if (!dirty.Empty()) update(QRect(dirty.left, dirty.top, dirty.Width(), dirty.Height()));
}

bool CVELTMonitoringView::event(QEvent* event) {
    const int type = event->type();
    if (type == PacketMessageType()) {
        const auto* message = static_cast<PacketMessageEvent*>(event);
        // The link named in the message, not necessarily this view's own.
        if (message->code() == 1 && message->link() != nullptr) message->link()->ProcessPackets();
        return true;
    }
    if (type == WakeEventType()) {
        calls_.RunPending();
        return true;
    }
    if (type == RepaintEventType()) {
        OnRepaintRequested();
        return true;
    }
    return QWidget::event(event);
}

void CVELTMonitoringView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    plot_.WithCanvas([&](const PixelCanvas& canvas) {
        const QImage image(reinterpret_cast<const uchar*>(canvas.Bits()), canvas.Width(),
                           canvas.Height(), canvas.Width() * 4,
                           QImage::Format_ARGB32_Premultiplied);
        for (const QRect& r : event->region()) painter.drawImage(r.topLeft(), image, r);
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
