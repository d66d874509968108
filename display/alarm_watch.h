// A window's alarms: every 100 ms the watch reads what the view shows (SpO2, pulse,
// status) and whether its link is lost, runs the alarm monitor, flashes the value field
// of each active alarm in its priority's colour, lists the alarms in a pane under the
// plot, shows the limits beside their values and sounds the bursts of the highest
// priority. Not a certified alarm system.
#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "link/connection_recorder.h"
#include "processing/alarm_sound.h"
#include "processing/alarms.h"

class CVELTMonitoringView;
class QSoundEffect;
class QTemporaryDir;

// The colour a priority flashes in at now_ms, invalid while dark (the ward's tiles
// flash alike).
QColor AlarmFlashColour(alarms::Priority p, uint64_t now_ms);
// A burst as a WAV file (16-bit mono PCM), for QSoundEffect.
bool WriteAlarmWav(const QString& path, const std::vector<int16_t>& samples, int rate);
// "1:57": what is left of an audio pause, in whole seconds rounded up.
QString AudioPauseLeft(uint64_t left_ms);

// The active and latched alarms, highest first ("** SpO2 86 < 90"), flashing in their
// priority's colour; "ALARMS OFF" when every alarm is off; the audio pause's time left.
class CAlarmPane : public QWidget {
    Q_OBJECT
public:
    // Where a monitoring view shows it: under the plot, four lines.
    static QRect Place() { return QRect(510, 323, 332, 64); }
    explicit CAlarmPane(QWidget* parent);
    void Show(const alarms::Entry* entries, size_t count, bool all_off, uint64_t pause_left_ms,
              uint64_t now_ms);
    // The texts as painted, one per line (for the tests and the debugger output).
    QStringList Lines() const { return lines_; }

signals:
    void acknowledge(int kind);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QStringList lines_;
    std::vector<QColor> backgrounds_;
    std::vector<int> kinds_;  // per line: a latched alarm's kind, else -1
};

class AlarmWatch : public QObject {
    Q_OBJECT
public:
    explicit AlarmWatch(CVELTMonitoringView* view);
    ~AlarmWatch() override;

    // New settings for this window (a change marks the document modified).
    void SetSettings(const alarms::Settings& settings);
    bool Changed() const { return changed_; }
    void ClearChanged() { changed_ = false; }
    const alarms::Settings& Settings() const { return monitor_.settings(); }
    // Evaluates now (the timer's step; tests give their own time).
    void Tick(uint64_t now_ms);
    // The view has shown new records: a step if one is due.
    void RecordsShown();
    void PauseAudio();
    // What is left of the audio pause (0: none), as of the last step.
    uint64_t PauseLeftMs() const { return sound_.PauseLeftMs(now_ms_); }
    alarms::Priority Highest() const { return monitor_.Highest(); }
    CAlarmPane* Pane() const { return pane_; }
    // The priority of the last burst started (kNone before any).
    alarms::Priority LastBurst() const { return last_burst_; }
    // The shown alarms, highest first; the number written. now: the monitor's clock.
    size_t List(alarms::Entry* out, size_t max) const { return monitor_.List(out, max); }
    uint64_t NowMs() const { return now_ms_; }
    // Told every start, end and acknowledgement (the publishing hands them on).
    void SetEventObserver(std::function<void(const alarms::Event&)> observer) {
        observer_ = std::move(observer);
    }

signals:
    // The highest active priority changed (the main window's title says so).
    void highestChanged(int priority);

private:
    static void OnEvent(void* self, const alarms::Event& event);
    // Into the link's session, when the window has a link.
    void Record(ConnectionRecorder::Note what, const std::string& text);
    void Flash(uint64_t now_ms);
    void ShowLimits();
    void MakeTones();
    void Play(alarms::Priority priority);

    CVELTMonitoringView* view_;
    alarms::AlarmMonitor monitor_;
    alarms::AlarmSound sound_;
    CAlarmPane* pane_;
    QLabel* limits_[2];  // beside pulse and SpO2
    QTimer timer_;
    QElapsedTimer clock_;
    uint64_t now_ms_ = 0;
    alarms::Priority highest_ = alarms::Priority::kNone;
    alarms::Priority last_burst_ = alarms::Priority::kNone;
    bool changed_ = false;
    const ConnectionRecorder* settings_noted_ = nullptr;  // the recorder that has the settings
    std::unique_ptr<QTemporaryDir> tones_;
    QSoundEffect* effects_[4] = {};
    std::function<void(const alarms::Event&)> observer_;
};
