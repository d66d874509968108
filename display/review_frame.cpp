#include "display/review_frame.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QProgressDialog>
#include <QSlider>
#include <QStatusBar>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "display/alarm_watch.h"
#include "display/export_dialog.h"
#include "display/marks.h"
#include "display/monitoring_view.h"
#include "link/configuration.h"
#include "recordings/capture_connection.h"
#include "recordings/capture_file.h"
#include "sessions/session_export.h"
#include "sessions/session_report.h"

namespace {

constexpr uint64_t kSecondUs = 1000000;
constexpr int kTickMs = 10;
// "As fast as possible" processes this long per tick, then lets the window paint.
constexpr qint64 kFastBudgetMs = 12;
constexpr uint64_t kFastStepUs = 20000;

QString Length(uint64_t us) { return DurationText(static_cast<int64_t>(us / kSecondUs)); }

}  // namespace

CReviewOverview::CReviewOverview(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(48);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    setToolTip(
        "SpO2 (blue, 70 to 100 %), pulse (red, 30 to 180 /min) and perfusion (green, 0 to "
        "20 %) per second, each from the bottom to the top; grey: the device "
        "was lost or silent; ticks: the status word changed. Click or drag to move; "
        "Shift+drag to select a part to export (Shift+click clears it).");
}

void CReviewOverview::SetDuration(uint64_t duration_us) {
    duration_us_ = duration_us;
    update();
}

void CReviewOverview::Append(const std::vector<ReviewIndex::Second>& seconds) {
    if (seconds.empty()) return;
    seconds_.insert(seconds_.end(), seconds.begin(), seconds.end());
    update();
}

void CReviewOverview::SetProgress(double progress, bool done) {
    progress_ = progress;
    done_ = done;
    update();
}

void CReviewOverview::SetPosition(uint64_t position_us) {
    if (position_us == position_us_) return;
    position_us_ = position_us;
    update();
}

uint64_t CReviewOverview::TimeAt(int x) const {
    const int w = std::max(1, width() - 1);
    const double f = std::clamp(static_cast<double>(x) / w, 0.0, 1.0);
    return static_cast<uint64_t>(f * static_cast<double>(duration_us_));
}

bool CReviewOverview::Selection(int64_t* from_s, int64_t* to_s) const {
    if (selection_to_s_ <= selection_from_s_) return false;
    *from_s = selection_from_s_;
    *to_s = selection_to_s_;
    return true;
}

void CReviewOverview::ClearSelection() {
    if (selection_to_s_ == selection_from_s_) return;
    selection_from_s_ = selection_to_s_ = 0;
    update();
    emit selectionChanged();
}

void CReviewOverview::SelectTo(uint64_t time_us) {
    const uint64_t lo = std::min(anchor_us_, time_us), hi = std::max(anchor_us_, time_us);
    // Whole seconds that cover what was dragged over, within the session.
    const int64_t last = static_cast<int64_t>((duration_us_ + kSecondUs - 1) / kSecondUs);
    int64_t from = static_cast<int64_t>(lo / kSecondUs);
    int64_t to = std::min(last, static_cast<int64_t>((hi + kSecondUs - 1) / kSecondUs));
    // A press without a drag selects nothing.
    if (hi == lo) from = to = 0;
    if (from == selection_from_s_ && to == selection_to_s_) return;
    selection_from_s_ = from;
    selection_to_s_ = to;
    update();
    emit selectionChanged();
}

double CReviewOverview::XOf(uint64_t time_us) const {
    const double total_s = std::max(1.0, static_cast<double>(duration_us_) / kSecondUs);
    return static_cast<double>(time_us) / kSecondUs / total_s * (width() - 1);
}

void CReviewOverview::AppendEvents(const std::vector<ReviewIndex::Event>& events) {
    if (events.empty()) return;
    events_.insert(events_.end(), events.begin(), events.end());
    update();
}

void CReviewOverview::SetReviewMarks(const std::vector<session_events::Mark>& marks) {
    review_marks_ = marks;
    update();
}

int CReviewOverview::ReviewMarkAt(int x) const {
    for (size_t i = 0; i < review_marks_.size(); ++i)
        if (std::abs(XOf(review_marks_[i].time_us) - x) <= 3) return static_cast<int>(i);
    return -1;
}

QString CReviewOverview::TickTextAt(int x) const {
    QStringList texts;
    for (const ReviewIndex::Event& e : events_)
        if (std::abs(XOf(e.time_us) - x) <= 3 &&
            (e.type != ReviewIndex::Event::kAlarm || e.priority != alarms::Priority::kNone))
            texts << QString::fromStdString(e.text);
    for (const session_events::Mark& m : review_marks_)
        if (std::abs(XOf(m.time_us) - x) <= 3)
            texts << QString::fromStdString(session_events::MarkAnnotation(m.text)) + " (review)";
    // Many ticks under one pixel on a long session: the first few say enough.
    if (texts.size() > 8) texts = texts.mid(0, 8) << QString("and %1 more").arg(texts.size() - 8);
    return texts.join('\n');
}

bool CReviewOverview::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QString text = TickTextAt(help->pos().x());
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this);
        return true;
    }
    return QWidget::event(event);
}

void CReviewOverview::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        const int i = ReviewMarkAt(static_cast<int>(event->position().x()));
        if (i < 0) return;
        QMenu menu(this);
        const QString text = QString::fromStdString(review_marks_[i].text);
        QAction* remove = menu.addAction(text.isEmpty() ? QString("Remove mark")
                                                        : QString("Remove mark \"%1\"").arg(text));
        if (menu.exec(event->globalPosition().toPoint()) == remove) emit removeMarkRequested(i);
        return;
    }
    if (event->button() != Qt::LeftButton) return;
    if (event->modifiers() & Qt::ShiftModifier) {
        selecting_ = true;
        anchor_us_ = TimeAt(event->position().x());
        SelectTo(anchor_us_);
        return;
    }
    emit seekRequested(TimeAt(event->position().x()));
}

void CReviewOverview::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) return;
    if (selecting_)
        SelectTo(TimeAt(event->position().x()));
    else
        emit seekRequested(TimeAt(event->position().x()));
}

void CReviewOverview::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && selecting_) {
        SelectTo(TimeAt(event->position().x()));
        selecting_ = false;
    }
}

void CReviewOverview::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor(250, 250, 250));
    const int w = width(), h = height();
    const double total_s = std::max(1.0, static_cast<double>(duration_us_) / kSecondUs);
    auto x_of = [&](size_t second) { return static_cast<double>(second) / total_s * (w - 1); };
    // Gaps first, under the traces.
    for (size_t i = 0; i < seconds_.size(); ++i) {
        if (seconds_[i].link == data_export::LinkState::kConnected) continue;
        const double x0 = x_of(i), x1 = std::max(x0 + 1, x_of(i + 1));
        p.fillRect(QRectF(x0, 0, x1 - x0, h), QColor(200, 200, 200));
    }
    struct Trace {
        float ReviewIndex::Second::*value;
        double low, high;
        QColor colour;
        const char* name;
    };
    const Trace traces[] = {
        {&ReviewIndex::Second::spo2, 70, 100, QColor(0, 0, 220), "SpO2 %1\u2013%2 %"},
        {&ReviewIndex::Second::pulse, 30, 180, QColor(220, 0, 0), "pulse %1\u2013%2 /min"},
        {&ReviewIndex::Second::perfusion, 0, 20, QColor(0, 150, 0), "perfusion %1\u2013%2 %"}};
    // One point per pixel column at most: a day has far more seconds than pixels.
    const size_t per_pixel = std::max<size_t>(1, static_cast<size_t>(total_s / std::max(1, w)));
    for (const Trace& t : traces) {
        QPainterPath path;
        bool pen_down = false;
        for (size_t i = 0; i < seconds_.size(); i += per_pixel) {
            const float v = seconds_[i].*t.value;
            if (std::isnan(v)) {
                pen_down = false;
                continue;
            }
            const double f = std::clamp((v - t.low) / (t.high - t.low), 0.0, 1.0);
            const QPointF point(x_of(i), (h - 3) - f * (h - 6));
            if (pen_down)
                path.lineTo(point);
            else
                path.moveTo(point);
            pen_down = true;
        }
        p.setPen(QPen(t.colour, 1));
        p.drawPath(path);
    }
    // What each trace is and its scale (bottom to top of the strip), in its colour.
    QFont legend = p.font();
    legend.setPointSizeF(legend.pointSizeF() * 0.8);
    p.setFont(legend);
    double legend_x = 4;
    for (const Trace& t : traces) {
        const QString label = QString::fromUtf8(t.name).arg(t.low).arg(t.high);
        const int advance = p.fontMetrics().horizontalAdvance(label);
        // Over a light box: the traces near their top stay behind the names.
        p.fillRect(QRectF(legend_x - 2, 1, advance + 4, p.fontMetrics().height()),
                   QColor(250, 250, 250, 220));
        p.setPen(t.colour);
        p.drawText(QPointF(legend_x, p.fontMetrics().ascent() + 1), label);
        legend_x += advance + 10;
    }
    p.setPen(Qt::black);
    for (size_t i = 0; i < seconds_.size(); ++i)
        if (seconds_[i].status_changed) p.drawLine(QPointF(x_of(i), 0), QPointF(x_of(i), 5));
    // Ticks: marks over the whole height, alarm starts as a block at the foot in their
    // priority's colour, damage as a dark red line.
    for (const ReviewIndex::Event& e : events_) {
        const double x = XOf(e.time_us);
        if (e.type == ReviewIndex::Event::kMark) {
            p.setPen(QPen(QColor(0, 90, 255), 1));
            p.drawLine(QPointF(x, 0), QPointF(x, h));
        } else if (e.type == ReviewIndex::Event::kDamage) {
            p.setPen(QPen(QColor(150, 0, 0), 2));
            p.drawLine(QPointF(x, 0), QPointF(x, h));
        } else if (e.priority != alarms::Priority::kNone) {
            const QColor c = e.priority == alarms::Priority::kHigh     ? QColor(255, 40, 40)
                             : e.priority == alarms::Priority::kMedium ? QColor(230, 200, 0)
                                                                       : QColor(0, 200, 200);
            p.fillRect(QRectF(x - 1, h - 8, 3, 7), c);
        }
    }
    for (const session_events::Mark& m : review_marks_) {
        const double x = XOf(m.time_us);
        p.setPen(QPen(QColor(0, 90, 255), 1, Qt::DashLine));
        p.drawLine(QPointF(x, 0), QPointF(x, h));
    }
    if (!done_) {
        const QString text = QString("Building the overview.. %1 %").arg(qRound(progress_ * 100));
        p.setPen(Qt::darkGray);
        p.drawText(rect().adjusted(4, 0, -4, 0), Qt::AlignRight | Qt::AlignVCenter, text);
    }
    if (selection_to_s_ > selection_from_s_) {
        const double x0 = x_of(static_cast<size_t>(selection_from_s_));
        const double x1 = x_of(static_cast<size_t>(selection_to_s_));
        p.fillRect(QRectF(x0, 0, std::max(1.0, x1 - x0), h), QColor(0, 120, 215, 60));
        p.setPen(QColor(0, 90, 180));
        p.drawLine(QPointF(x0, 0), QPointF(x0, h));
        p.drawLine(QPointF(x1, 0), QPointF(x1, h));
    }
    const double px = static_cast<double>(position_us_) / kSecondUs / total_s * (w - 1);
    p.setPen(QPen(Qt::black, 1));
    p.drawLine(QPointF(px, 0), QPointF(px, h));
    p.setPen(Qt::gray);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

CReviewFrame::CReviewFrame(QWidget* parent) : CChildFrame(parent) {
    auto* body = new QWidget(this);
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    view_ = new CVELTMonitoringView(body, false);
    // The keys belong to the transport: nothing in the view takes the focus.
    for (QWidget* control : view_->Controls()) control->setFocusPolicy(Qt::NoFocus);
    view_->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(view_);
    // Where a live window lists its alarms: the review shows them as they were, silent.
    alarm_pane_ = new CAlarmPane(view_);
    alarm_pane_->setGeometry(CAlarmPane::Place());
    overview_ = new CReviewOverview(body);
    layout->addWidget(overview_);

    auto* bar = new QHBoxLayout();
    bar->setContentsMargins(3, 0, 3, 3);
    play_ = new QToolButton(body);
    play_->setFocusPolicy(Qt::NoFocus);
    // As wide for "Pause" as for "Play": the speed box beside it never moves.
    play_->setText("Pause");
    const int play_width = play_->sizeHint().width();
    play_->setText("Play");
    play_->setFixedWidth(std::max(play_width, play_->sizeHint().width()));
    speed_box_ = new QComboBox(body);
    for (int s : kSpeeds)
        speed_box_->addItem(s == 0 ? QString("as fast as possible") : QString("%1\u00D7").arg(s),
                            s);
    speed_box_->setFocusPolicy(Qt::NoFocus);
    position_ = new QLabel(body);
    position_->setMinimumWidth(
        position_->fontMetrics().horizontalAdvance("00:00:00 \u00b7 00:00:00 / 00:00:00") + 8);
    position_->setToolTip("Time of day when it was received \u00b7 time from the start / length");
    slider_ = new QSlider(Qt::Horizontal, body);
    slider_->setFocusPolicy(Qt::NoFocus);
    bar->addWidget(play_);
    bar->addWidget(speed_box_);
    bar->addWidget(position_);
    bar->addWidget(slider_, 1);
    layout->addLayout(bar);
    setWidget(body);
    setFocusPolicy(Qt::StrongFocus);

    connect(play_, &QToolButton::clicked, this, [this] { playing_ ? Pause() : Play(); });
    connect(speed_box_, &QComboBox::activated, this,
            [this](int i) { SetSpeed(speed_box_->itemData(i).toInt()); });
    connect(slider_, &QSlider::valueChanged, this, [this](int v) {
        if (!updating_slider_) SeekTo(static_cast<uint64_t>(v) * kSecondUs);
    });
    connect(overview_, &CReviewOverview::seekRequested, this, &CReviewFrame::SeekTo);
    connect(overview_, &CReviewOverview::removeMarkRequested, this, &CReviewFrame::RemoveMark);
    timer_.setInterval(kTickMs);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &CReviewFrame::Tick);
    poll_.setInterval(200);
    connect(&poll_, &QTimer::timeout, this, &CReviewFrame::PollIndex);
    export_poll_.setInterval(100);
    connect(&export_poll_, &QTimer::timeout, this, &CReviewFrame::PollExport);
}

CReviewFrame::~CReviewFrame() {
    cancel_.store(true);
    export_cancel_.store(true);
    if (worker_.joinable()) worker_.join();
    // The worker removes its unfinished files as it stops.
    if (export_worker_.joinable()) export_worker_.join();
    export_poll_.stop();
    timer_.stop();
    poll_.stop();
    session_.reset();  // before the view whose plot it draws into
}

bool CReviewFrame::IsSessionFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray head = file.read(sizeof recordings::kCaptureMagic);
    return head.size() == static_cast<int>(sizeof recordings::kCaptureMagic) &&
           std::equal(head.begin(), head.end(), recordings::kCaptureMagic);
}

bool CReviewFrame::Open(const QString& path) {
    session_ = std::make_unique<ReviewSession>(
        view_->MutablePlot(),
        [this](int field, const char* text) { view_->SetFieldText(field, text); },
        [this](const char* name) { view_->PlaySoundAsync(name); });
    const std::string file = QFile::encodeName(path).toStdString();
    path_ = path;
    if (!session_->Open(file)) {
        error_ = QString::fromStdString(session_->Error());
        return false;
    }
    // A connection's marks are kept beside its first file, on its time line.
    const std::string first = session_->Files().front();
    std::string marks_error;
    int bad_lines = 0;
    if (!session_events::LoadMarks(first, &marks_, &marks_error, &bad_lines))
        Message("The session's marks cannot be read: " + QString::fromStdString(marks_error));
    else if (bad_lines > 0)
        Message(QString("%1 lines of \"%2\" are no marks and were passed over.")
                    .arg(bad_lines)
                    .arg(QString::fromStdString(session_events::MarksFileOf(first))));
    overview_->SetReviewMarks(marks_);
    heartbeat_ = config::ReadConnectionSettings().heartbeat;
    setWindowTitle(SessionTitle());
    const uint64_t duration = session_->DurationUs();
    overview_->SetDuration(duration);
    updating_slider_ = true;
    slider_->setRange(0, static_cast<int>(duration / kSecondUs));
    slider_->setPageStep(60);
    updating_slider_ = false;
    index_ = std::make_shared<ReviewIndex>();
    session_->SetIndex(index_);
    // The overview is built beside the window, which is usable at once.
    std::shared_ptr<ReviewIndex> index = index_;
    worker_ =
        std::thread([index, files = session_->Files(), this] { index->Build(files, &cancel_); });
    poll_.start();
    session_->AdvanceTo(0);
    ShowPosition();
    return true;
}

QString CReviewFrame::SessionTitle() {
    // A connection's files are one session: named by its first file and their count,
    // and said to be incomplete when parts of it are missing (listed in the tooltip).
    const recordings::CaptureConnectionReader& reader = session_->Player().Reader();
    QString name = QFileInfo(QFile::decodeName(reader.Part(0).path.c_str())).fileName();
    if (reader.PartCount() > 1) name += QString(" + %1 files").arg(reader.PartCount() - 1);
    const std::vector<std::string> missing = reader.Missing();
    QStringList lines;
    for (const std::string& line : missing) lines << QString::fromStdString(line);
    setToolTip(lines.join("\n"));
    return QString("%1%2 Review").arg(name, missing.empty() ? "" : " (incomplete)");
}

void CReviewFrame::Play() {
    if (!session_) return;
    if (session_->Player().AtEnd()) SeekTo(0);
    playing_ = true;
    play_->setText("Pause");
    play_from_us_ = session_->PositionUs();
    clock_.start();
    session_->Player().SetHeartbeat(heartbeat_ && speed_ == 1);
    timer_.start();
}

void CReviewFrame::Pause() {
    playing_ = false;
    play_->setText("Play");
    timer_.stop();
    if (session_) session_->Player().SetHeartbeat(false);
}

void CReviewFrame::SetSpeed(int speed) {
    speed_ = speed;
    const int i = speed_box_->findData(speed);
    if (i >= 0) speed_box_->setCurrentIndex(i);
    if (session_) {
        play_from_us_ = session_->PositionUs();
        clock_.start();
        // At other speeds a heartbeat is no heartbeat.
        session_->Player().SetHeartbeat(heartbeat_ && speed_ == 1 && playing_);
    }
}

void CReviewFrame::SeekTo(uint64_t time_us) {
    if (!session_) return;
    time_us = std::min(time_us, session_->DurationUs());
    session_->SeekTo(time_us);
    play_from_us_ = session_->PositionUs();
    clock_.start();
    ShowPosition();
}

void CReviewFrame::Step(int64_t delta_us) {
    const int64_t at = static_cast<int64_t>(PositionUs()) + delta_us;
    SeekTo(at < 0 ? 0 : static_cast<uint64_t>(at));
}

uint64_t CReviewFrame::PositionUs() const { return session_ ? session_->PositionUs() : 0; }

QString CReviewFrame::PositionText() const {
    if (!session_) return QString();
    const int64_t unix_us =
        session_->Player().Header().start_unix_us + static_cast<int64_t>(session_->PositionUs());
    const QString clock =
        QDateTime::fromMSecsSinceEpoch(unix_us / 1000).toLocalTime().toString("HH:mm:ss");
    // Both ways, as the selection is shown: the time of day and the time from the start.
    return QString("%1 \u00b7 %2 / %3")
        .arg(clock, Length(session_->PositionUs()), Length(session_->DurationUs()));
}

void CReviewFrame::Tick() {
    if (!session_ || !playing_) return;
    bool more = true;
    if (speed_ == 0) {
        QElapsedTimer budget;
        budget.start();
        while (more && budget.elapsed() < kFastBudgetMs)
            more = session_->AdvanceTo(session_->PositionUs() + kFastStepUs);
    } else {
        more = session_->AdvanceTo(play_from_us_ +
                                   static_cast<uint64_t>(clock_.elapsed()) * 1000 * speed_);
    }
    if (!more) Pause();
    ShowPosition();
}

void CReviewFrame::ShowPosition() {
    position_->setText(PositionText());
    updating_slider_ = true;
    slider_->setValue(static_cast<int>(PositionUs() / kSecondUs));
    updating_slider_ = false;
    overview_->SetPosition(PositionUs());
    ShowAlarms();
}

void CReviewFrame::ShowAlarms() {
    if (!index_) return;
    session_events::AlarmReplay replay;
    index_->AlarmsAt(PositionUs(), &replay);
    alarms::Entry entries[alarms::kKindCount];
    const size_t n = replay.List(entries, alarms::kKindCount);
    // The value now, as the live pane shows it: from the fields the review shows.
    for (size_t i = 0; i < n; ++i) {
        if (entries[i].ended || alarms::Technical(entries[i].kind)) continue;
        const bool spo2 =
            entries[i].kind == alarms::kSpo2Low || entries[i].kind == alarms::kSpo2Desat;
        bool ok = false;
        const double v =
            QString::fromStdString(session_->Player().FieldText(spo2 ? Spo2 : Pulse)).toDouble(&ok);
        if (ok) entries[i].value = v;
    }
    alarm_pane_->Show(entries, n, replay.Settings().AllOff(), 0, PositionUs() / 1000);
}

void CReviewFrame::AddMark() {
    if (!session_) return;
    const uint64_t at = PositionUs();
    QString text;
    const bool given =
        ask_mark_ ? ask_mark_(&text) : AskMarkText(this, &text, "Mark at " + Length(at));
    if (!given) return;
    marks_.push_back({at, text.toStdString()});
    std::stable_sort(marks_.begin(), marks_.end(),
                     [](const auto& a, const auto& b) { return a.time_us < b.time_us; });
    SaveMarks();
}

void CReviewFrame::RemoveMark(int index) {
    if (index < 0 || static_cast<size_t>(index) >= marks_.size()) return;
    marks_.erase(marks_.begin() + index);
    SaveMarks();
}

void CReviewFrame::SaveMarks() {
    overview_->SetReviewMarks(marks_);
    std::string error;
    if (!session_events::SaveMarks(session_->Files().front(), marks_, &error))
        Message("The marks cannot be kept: " + QString::fromStdString(error));
}

void CReviewFrame::PollIndex() {
    if (!index_) return;
    overview_->Append(index_->SecondsFrom(overview_->SecondCount()));
    overview_->AppendEvents(index_->EventsFrom(overview_->EventCount()));
    overview_->SetProgress(index_->Progress(), index_->Done());
    if (index_->Done() || !index_->Error().empty()) {
        overview_->SetProgress(1.0, true);
        poll_.stop();
    }
}

bool CReviewFrame::WaitForOverview(int timeout_ms) {
    QElapsedTimer waited;
    waited.start();
    while (index_ && !index_->Done() && waited.elapsed() < timeout_ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    PollIndex();
    return index_ && index_->Done();
}

void CReviewFrame::Message(const QString& text, bool problem) {
    if (message_)
        message_(text);
    else if (problem)
        QMessageBox::warning(this, export_report_ ? "Report" : "Export", text);
    else
        QMessageBox::information(this, export_report_ ? "Report" : "Export", text);
}

void CReviewFrame::RunExportOrReport(bool report) {
    if (!session_) return;
    if (ExportRunning()) {
        Message(QString("%1\nA%2 of this session is still running.")
                    .arg(export_path_, export_report_ ? " report" : "n export"));
        return;
    }
    int64_t from_s = 0, to_s = -1;
    const bool selected = overview_->Selection(&from_s, &to_s);
    CExportDialog dialog(path_, selected, from_s, to_s, this,
                         session_->Player().Header().start_unix_us, report);
    if (dialog.exec() != QDialog::Accepted) return;
    ExportOptions options;
    export_path_ = dialog.Path();
    export_report_ = report;
    const std::string target = QFile::encodeName(export_path_).toStdString();
    if (!report) (dialog.Edf() ? options.edf_path : options.csv_path) = target;
    if (dialog.Edf() || report) options.patient = dialog.Patient().toStdString();
    if (dialog.SelectionOnly()) {
        options.from_s = from_s;
        options.to_s = to_s;
    }
    export_size_ = std::max<uint64_t>(1, session_->Player().Reader().TotalBytes());
    export_cancel_.store(false);
    export_done_.store(false);
    export_offset_.store(0);
    export_error_.clear();
    export_ok_ = false;

    export_progress_ = new QProgressDialog(
        QString("%1 to %2..")
            .arg(report ? "Reporting" : "Exporting", QFileInfo(export_path_).fileName()),
        "Cancel", 0, 1000, this);
    export_progress_->setWindowTitle(report ? "Report" : "Export");
    // Not modal: the review plays on while the export runs.
    export_progress_->setWindowModality(Qt::NonModal);
    export_progress_->setMinimumDuration(0);
    export_progress_->setAutoClose(false);
    export_progress_->setAutoReset(false);
    connect(export_progress_, &QProgressDialog::canceled, this, [this] {
        export_cancel_.store(true);
        export_progress_->setLabelText("Cancelling..");
    });
    export_progress_->show();

    report::CaptureReport request;
    if (report) {
        request.range = options;
        request.pdf_path = target;
        request.version = QCoreApplication::applicationVersion().toStdString();
    }
    export_worker_ = std::thread([this, captures = session_->Files(), options, request] {
        if (export_start_) export_start_();
        std::string error;
        CaptureFeedControl control;
        control.cancel = &export_cancel_;
        control.offset = &export_offset_;
        std::string skipped;
        int64_t seconds = 0;
        export_ok_ =
            request.pdf_path.empty()
                ? ExportCaptureFiles(captures, options, control, &error, &skipped, &seconds)
                : report::ReportCaptureFiles(captures, request, control, &error, &skipped,
                                             &seconds);
        export_seconds_ = seconds;
        export_error_ = error;
        export_skipped_ = skipped;
        export_done_.store(true, std::memory_order_release);
    });
    export_poll_.start();
}

void CReviewFrame::PollExport() {
    if (!export_worker_.joinable()) return;
    if (!export_done_.load(std::memory_order_acquire)) {
        const uint64_t at = export_offset_.load(std::memory_order_relaxed);
        if (export_progress_ != nullptr && !export_cancel_.load())
            export_progress_->setValue(
                static_cast<int>(std::min<uint64_t>(at, export_size_) * 1000 / export_size_));
        return;
    }
    export_worker_.join();
    export_poll_.stop();
    if (export_progress_ != nullptr) {
        export_progress_->close();
        export_progress_->deleteLater();
        export_progress_ = nullptr;
    }
    const QString job = export_report_ ? "report" : "export";
    if (export_ok_) {
        const QString done =
            QString("%1 %2 to %3 (%4 MB)")
                .arg(export_report_ ? "Reported" : "Exported",
                     Length(static_cast<uint64_t>(export_seconds_) * kSecondUs), export_path_)
                .arg(static_cast<double>(QFileInfo(export_path_).size()) / 1e6, 0, 'f', 1);
        if (auto* main = qobject_cast<QMainWindow*>(window())) main->statusBar()->showMessage(done);
        // Written, but not all of the session could be read: never a silent gap.
        if (!export_skipped_.empty())
            Message(QString("%1.\nThe session file is damaged; the %2 passes over what could "
                            "not be read: %3.")
                        .arg(done, job, QString::fromStdString(export_skipped_)));
        else
            Message(done + ".", false);
        return;
    }
    if (export_error_ == kExportCancelled)
        Message(QString("%1\nThe %2 was cancelled; nothing was written under this name.")
                    .arg(export_path_, job));
    else
        Message(QString("%1\nThe %2 failed: %3.")
                    .arg(export_path_, job, QString::fromStdString(export_error_)));
}

bool CReviewFrame::WaitForExport(int timeout_ms) {
    QElapsedTimer waited;
    waited.start();
    while (ExportRunning() && waited.elapsed() < timeout_ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return !ExportRunning();
}

void CReviewFrame::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Space:
            playing_ ? Pause() : Play();
            break;
        case Qt::Key_Left:
            Step(-10 * static_cast<int64_t>(kSecondUs));
            break;
        case Qt::Key_Right:
            Step(10 * static_cast<int64_t>(kSecondUs));
            break;
        case Qt::Key_PageUp:
            Step(-60 * static_cast<int64_t>(kSecondUs));
            break;
        case Qt::Key_PageDown:
            Step(60 * static_cast<int64_t>(kSecondUs));
            break;
        case Qt::Key_Home:
            SeekTo(0);
            break;
        case Qt::Key_End:
            if (session_) SeekTo(session_->DurationUs());
            break;
        default:
            CChildFrame::keyPressEvent(event);
            return;
    }
    event->accept();
}
