#include "display/alarm_watch.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QSoundEffect>
#include <QTemporaryDir>
#include <QUrl>
#include <cstring>

#include "display/monitoring_view.h"
#include "link/configuration.h"
#include "link/oximeter.h"
#include "platform/debug_output.h"
#include "platform/tick.h"
#include "processing/view_field.h"
#include "sessions/alarm_fields.h"
#include "sessions/session_events.h"

namespace {

constexpr int kStepMs = 100;
constexpr int kLineHeight = 16;
const QColor kValueBackground(240, 240, 240);

}  // namespace

// High red at 2 Hz, medium yellow at 0.7 Hz, low cyan steady.
QColor AlarmFlashColour(alarms::Priority p, uint64_t now_ms) {
    switch (p) {
        case alarms::Priority::kHigh:
            return now_ms % 500 < 250 ? QColor(255, 40, 40) : QColor();
        case alarms::Priority::kMedium:
            return now_ms % 1430 < 715 ? QColor(255, 230, 0) : QColor();
        case alarms::Priority::kLow:
            return QColor(0, 230, 230);
        case alarms::Priority::kNone:
            break;
    }
    return QColor();
}

namespace {

int FieldOf(alarms::Kind kind) {
    switch (kind) {
        case alarms::kSpo2Low:
        case alarms::kSpo2Desat:
            return Spo2;
        case alarms::kPulseHigh:
        case alarms::kPulseLow:
            return Pulse;
        default:
            return StatusText;
    }
}

}  // namespace

bool WriteAlarmWav(const QString& path, const std::vector<int16_t>& samples, int rate) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    auto u32 = [&f](uint32_t v) {
        char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
        f.write(b, 4);
    };
    auto u16 = [&f](uint16_t v) {
        char b[2] = {char(v), char(v >> 8)};
        f.write(b, 2);
    };
    const uint32_t bytes = static_cast<uint32_t>(samples.size() * 2);
    f.write("RIFF", 4);
    u32(36 + bytes);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(static_cast<uint32_t>(rate));
    u32(static_cast<uint32_t>(rate * 2));
    u16(2);
    u16(16);
    f.write("data", 4);
    u32(bytes);
    for (int16_t s : samples) u16(static_cast<uint16_t>(s));
    return f.error() == QFile::NoError;
}

QString AudioPauseLeft(uint64_t left_ms) {
    const uint64_t s = (left_ms + 999) / 1000;
    return QString("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar('0'));
}

CAlarmPane::CAlarmPane(QWidget* parent) : QWidget(parent) {
    setObjectName("alarms");
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CAlarmPane::Show(const alarms::Entry* entries, size_t count, bool all_off,
                      uint64_t pause_left_ms, uint64_t now_ms) {
    QStringList lines;
    std::vector<QColor> backgrounds;
    std::vector<int> kinds;
    if (all_off) {
        lines << "ALARMS OFF";
        backgrounds.push_back(QColor(255, 200, 120));
        kinds.push_back(-1);
    }
    if (pause_left_ms > 0) {
        lines << "Audio paused " + AudioPauseLeft(pause_left_ms);
        backgrounds.push_back(QColor());
        kinds.push_back(-1);
    }
    for (size_t i = 0; i < count; ++i) {
        const alarms::Entry& e = entries[i];
        const QString ended = QDateTime::currentDateTime()
                                  .addMSecs(-static_cast<qint64>(now_ms - e.ended_ms))
                                  .toString("HH:mm:ss");
        lines << QString::fromStdString(alarms::Text(e, ended.toLatin1().constData()));
        backgrounds.push_back(e.ended ? QColor() : AlarmFlashColour(e.priority, now_ms));
        kinds.push_back(e.ended ? static_cast<int>(e.kind) : -1);
    }
    if (lines == lines_ && backgrounds == backgrounds_) return;
    lines_ = lines;
    backgrounds_ = backgrounds;
    kinds_ = kinds;
    update();
}

void CAlarmPane::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    for (int i = 0; i < lines_.size(); ++i) {
        const QRect line(0, i * kLineHeight, width(), kLineHeight);
        if (backgrounds_[i].isValid()) p.fillRect(line, backgrounds_[i]);
        p.setPen(Qt::black);
        p.drawText(line.adjusted(4, 0, -4, 0), Qt::AlignLeft | Qt::AlignVCenter, lines_[i]);
    }
}

void CAlarmPane::mousePressEvent(QMouseEvent* event) {
    // A click on a latched alarm acknowledges it.
    const int line = static_cast<int>(event->position().y()) / kLineHeight;
    if (line >= 0 && line < static_cast<int>(kinds_.size()) && kinds_[line] >= 0)
        emit acknowledge(kinds_[line]);
}

AlarmWatch::AlarmWatch(CVELTMonitoringView* view)
    : QObject(view), view_(view), pane_(new CAlarmPane(view)) {
    pane_->setGeometry(CAlarmPane::Place());
    for (int i = 0; i < 2; ++i) {
        limits_[i] = new QLabel(view);
        limits_[i]->setObjectName(i == 0 ? "pulse-limits" : "spo2-limits");
        limits_[i]->setGeometry(179, i == 0 ? 208 : 231, 140, 20);
        limits_[i]->setStyleSheet("color: rgb(90, 90, 90)");
    }
    alarms::Settings settings = alarms::Settings::Defaults();
    const std::string ini = config::ConfigPath();
    std::string error;
    if (!ini.empty() && QFileInfo::exists(QString::fromStdString(ini)) &&
        !settings.Load(ini, &error))
        platform::DebugPrintf("*** Alarms: %s; the defaults apply\n", error.c_str());
    SetSettings(settings);
    changed_ = false;
    connect(pane_, &CAlarmPane::acknowledge, this, [this](int kind) {
        monitor_.Acknowledge(static_cast<alarms::Kind>(kind), now_ms_, OnEvent, this);
        Tick(now_ms_);
    });
    MakeTones();
    clock_.start();
    connect(&timer_, &QTimer::timeout, this,
            [this] { Tick(static_cast<uint64_t>(clock_.elapsed())); });
    timer_.start(kStepMs);
}

void AlarmWatch::RecordsShown() {
    const auto now = static_cast<uint64_t>(clock_.elapsed());
    if (now >= now_ms_ + kStepMs) Tick(now);
}

AlarmWatch::~AlarmWatch() = default;

void AlarmWatch::SetSettings(const alarms::Settings& settings) {
    if (!(settings == monitor_.settings())) changed_ = true;
    monitor_.SetSettings(settings, now_ms_, OnEvent, this);
    Record(ConnectionRecorder::Note::kAlarmSettings, session_events::SettingsText(settings));
    ShowLimits();
}

void AlarmWatch::ShowLimits() {
    const alarms::Settings& s = monitor_.settings();
    auto limit = [&s](alarms::Kind k, const char* before, const char* after) {
        const alarms::Limit& l = s.limits[k];
        return l.on ? QString("%1%2%3").arg(before).arg(l.limit).arg(after) : QString();
    };
    QStringList pulse{limit(alarms::kPulseLow, "> ", ""), limit(alarms::kPulseHigh, "< ", "")};
    QStringList spo2{limit(alarms::kSpo2Low, "\u2265 ", ""), limit(alarms::kSpo2Desat, "(", ")")};
    pulse.removeAll(QString());
    spo2.removeAll(QString());
    limits_[0]->setText(pulse.join(" "));
    limits_[1]->setText(spo2.join(" "));
}

void AlarmWatch::OnEvent(void* self, const alarms::Event& e) {
    platform::DebugPrintf("Alarm %s: %s\n", alarms::EventName(e.what),
                          alarms::Text(e.alarm).c_str());
    auto* watch = static_cast<AlarmWatch*>(self);
    bool latched = false;
    if (e.what == alarms::Event::kEnd) {
        alarms::Entry entries[alarms::kKindCount];
        const size_t n = watch->monitor_.List(entries, alarms::kKindCount);
        for (size_t i = 0; i < n; ++i)
            latched |= entries[i].kind == e.alarm.kind && entries[i].ended;
    }
    watch->Record(ConnectionRecorder::Note::kAlarm, session_events::AlarmText(e, latched));
    if (watch->observer_) watch->observer_(e);
}

void AlarmWatch::Record(ConnectionRecorder::Note what, const std::string& text) {
    COximeter* link = view_->GetLink();
    if (link == nullptr) return;
    link->Recording().Noted(what, platform::MonotonicMicroseconds(), text);
    if (what == ConnectionRecorder::Note::kAlarmSettings) settings_noted_ = &link->Recording();
}

void AlarmWatch::Tick(uint64_t now_ms) {
    now_ms_ = now_ms;
    // A new link (another port) records from its start with this window's settings.
    const COximeter* link = view_->GetLink();
    if (link != nullptr && &link->Recording() != settings_noted_) {
        Record(ConnectionRecorder::Note::kAlarmSettings,
               session_events::SettingsText(monitor_.settings()));
    }
    char spo2[32], pulse[32], status[64];
    view_->GetFieldText(Spo2, spo2, sizeof spo2);
    view_->GetFieldText(Pulse, pulse, sizeof pulse);
    view_->GetFieldText(StatusText, status, sizeof status);
    monitor_.Update(now_ms, ShownFromFields(spo2, pulse, status, link != nullptr && link->Lost()),
                    OnEvent, this);
    alarms::Entry entries[alarms::kKindCount];
    const size_t n = monitor_.List(entries, alarms::kKindCount);
    pane_->Show(entries, n, monitor_.settings().AllOff(), sound_.PauseLeftMs(now_ms), now_ms);
    Flash(now_ms);
    const alarms::Priority burst = sound_.Tick(now_ms, monitor_.Highest(), monitor_.Starts());
    if (burst != alarms::Priority::kNone) Play(burst);
    if (monitor_.Highest() != highest_) {
        highest_ = monitor_.Highest();
        emit highestChanged(static_cast<int>(highest_));
    }
    // While records come, they bring the steps (the GUI thread wakes for them anyway);
    // the timer steps when they stop, and keeps a flash or a pause's count on time.
    timer_.start(n > 0 || sound_.PauseLeftMs(now_ms) > 0 ? kStepMs : 2 * kStepMs);
}

void AlarmWatch::Flash(uint64_t now_ms) {
    alarms::Entry entries[alarms::kKindCount];
    const size_t n = monitor_.List(entries, alarms::kKindCount);
    QColor colours[ViewFieldCount];
    for (size_t i = n; i-- > 0;)  // the highest last, so that it wins a shared field
        if (!entries[i].ended)
            colours[FieldOf(entries[i].kind)] = AlarmFlashColour(entries[i].priority, now_ms);
    for (int field :
         {static_cast<int>(Spo2), static_cast<int>(Pulse), static_cast<int>(StatusText)}) {
        FieldControl* control = view_->FieldControlAt(field);
        if (control == nullptr) continue;
        const QColor c = colours[field].isValid() ? colours[field] : kValueBackground;
        const Colour wanted = RGB(c.red(), c.green(), c.blue());
        if (control->Colours().BackgroundColour() != wanted)
            control->Colours().SetBackgroundColour(wanted);
    }
}

void AlarmWatch::PauseAudio() {
    sound_.Pause(now_ms_, monitor_.Highest());
    Record(ConnectionRecorder::Note::kAlarm, session_events::PauseText(alarms::kAudioPauseMs));
    platform::DebugPrintf("Alarm audio paused for %d s\n",
                          static_cast<int>(alarms::kAudioPauseMs / 1000));
    Tick(now_ms_);
}

void AlarmWatch::MakeTones() {
    // Made when the window opens, so that an alarm finds its tone ready and no file can
    // be missing.
    tones_ = std::make_unique<QTemporaryDir>();
    for (alarms::Priority p :
         {alarms::Priority::kLow, alarms::Priority::kMedium, alarms::Priority::kHigh}) {
        const QString path = tones_->filePath(QString("alarm-%1.wav").arg(alarms::PriorityName(p)));
        if (!tones_->isValid() || !WriteAlarmWav(path, alarms::BurstSamples(p, 22050), 22050)) {
            platform::DebugPrintf("*** Alarms: cannot make the %s tone\n", alarms::PriorityName(p));
            continue;
        }
        QSoundEffect*& effect = effects_[static_cast<int>(p)];
        effect = new QSoundEffect(this);
        effect->setSource(QUrl::fromLocalFile(path));
    }
}

void AlarmWatch::Play(alarms::Priority priority) {
    last_burst_ = priority;
    QSoundEffect* effect = effects_[static_cast<int>(priority)];
    // Without an audio device the effect reports an error and stays silent.
    if (effect != nullptr && effect->status() != QSoundEffect::Error) effect->play();
}
