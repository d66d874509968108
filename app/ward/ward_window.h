// velt-ward's window: one tile per monitor and port in a grid that fills the window,
// sorted by name; double-click opens a large view of one. Messages come from the
// broker connection's thread in batches and are applied in the GUI thread, which
// repaints only the tiles that changed.
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <memory>
#include <vector>

#include "app/ward/ward_model.h"
#include "export/broker_fields.h"
#include "export/mqtt_client.h"
#include "processing/alarm_sound.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QScrollArea;
class QSoundEffect;
class QTemporaryDir;

// Paints one tile into rect (the grid and the large view share it); text outside
// `region` is not laid out, so a repaint of the plethysmogram alone stays cheap. A tile
// in alarm takes its alarm's colour at now_ms (the flash's phase) and shows its text.
void PaintTile(QPainter& p, const QRect& rect, const TileData& d, bool large, const QRegion& region,
               int64_t now_ms = 0);
// The colour of a tile's alarm at now_ms: the bedside's colours and flash rates; a
// latched alarm steady; invalid while dark or without an alarm.
QColor TileAlarmColour(const TileAlarm& alarm, int64_t now_ms);
// The part of a tile's rect that shows the plethysmogram.
QRect PlethRect(const QRect& rect);

class TileGrid : public QWidget {
    Q_OBJECT
public:
    // Below this the grid scrolls instead of shrinking the tiles further.
    static constexpr int kMinTileWidth = 120;
    static constexpr int kMinTileHeight = 80;

    explicit TileGrid(const WardModel* model, QWidget* parent = nullptr);
    // The layout for the current count and width (columns, tile size).
    void Relayout();
    QRect TileRect(int index) const;
    int TileAt(const QPoint& pos) const;
    void UpdateTile(int index);
    // Only the plethysmogram of a tile changed.
    void UpdatePleth(int index);
    int Columns() const { return columns_; }
    // Tiles in alarm first (the [ward] alarms_first setting), else by name.
    void SetAlarmsFirst(bool on);
    // The order again, and a repaint of each tile whose alarm colour went on or off.
    void UpdateAlarms(int64_t now_ms);
    // The tiles' indexes in the order shown.
    const std::vector<int>& Order() const { return order_; }

    // Publish-to-repaint latencies (ms) of values painted so far.
    const std::vector<int>& Latencies() const { return latencies_; }
    // From an alarm's start at the monitor to its colour on the tile (ms).
    const std::vector<int>& AlarmLatencies() const { return alarm_latencies_; }
    uint64_t TilesPainted() const { return tiles_painted_; }
    void ResetStats() {
        latencies_.clear();
        alarm_latencies_.clear();
        painted_alarm_.clear();
        tiles_painted_ = 0;
    }

signals:
    void tileDoubleClicked(const QString& key);
    void tileMenu(const QString& key, const QPoint& global);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void SetOrder(std::vector<int> order);

    const WardModel* model_;
    bool alarms_first_ = false;
    std::vector<int> order_;     // position -> tile index
    std::vector<int> position_;  // tile index -> position
    std::vector<char> lit_;      // per tile: its alarm colour was on at the last check
    QHash<QString, std::pair<QString, int64_t>> painted_alarm_;  // per tile: the last painted
    std::vector<int> alarm_latencies_;
    int columns_ = 1;
    QSize tile_{kMinTileWidth, kMinTileHeight};
    std::vector<int> latencies_;
    std::vector<int64_t> painted_value_ms_;  // per tile: the stamp last painted
    uint64_t tiles_painted_ = 0;
};

// A large view of one monitor, kept current while open.
class LargeTile : public QWidget {
    Q_OBJECT
public:
    LargeTile(const WardModel* model, const QString& key, QWidget* parent = nullptr);
    const QString& Key() const { return key_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const WardModel* model_;
    QString key_;
};

// The broker options of the ward: command line first, then its settings file.
struct WardSettings {
    mqtt::BrokerOptions broker;
    std::string monitors;       // the monitors shown: shell patterns, all when empty
    bool alarms_first = false;  // tiles in alarm sort first
};
WardSettings ReadWardSettings(const std::string& path);
bool WriteWardSettings(const std::string& path, const WardSettings& s);

class WardSettingsDialog : public QDialog {
    Q_OBJECT
public:
    explicit WardSettingsDialog(const WardSettings& s, QWidget* parent = nullptr);
    ~WardSettingsDialog() override;
    WardSettings Settings() const;
    QString Check() const;
    void accept() override;

    std::unique_ptr<BrokerFields> fields;
    QLineEdit* monitors;
    QCheckBox* alarms_first;
    QLabel* error;
};

class WardWindow : public QMainWindow {
    Q_OBJECT
public:
    // settings_path: where the settings dialog writes (empty: nowhere).
    WardWindow(WardSettings settings, std::string settings_path, QWidget* parent = nullptr);
    ~WardWindow() override;

    // (Re)connects with the settings; false with the reason in the status bar.
    bool Connect(const WardSettings& settings);
    const WardModel& Model() const { return model_; }
    TileGrid* Grid() const { return grid_; }
    QString StatusText() const;
    LargeTile* OpenLarge(const QString& key);
    // An offline tile goes: its retained state is cleared where the ward's account may
    // (an empty retained message), and it stays hidden until the monitor is back.
    void Forget(const QString& key);
    uint64_t Messages() const { return messages_; }
    void ResetStats() {
        messages_ = 0;
        grid_->ResetStats();
    }

    // Applies what the connection thread has gathered (also for tests).
    Q_INVOKABLE void Drain();
    void CheckStale();

    // The ward's alarms at now_ms (its 100 ms timer; tests give their own time): the
    // offline alarms, the tiles' flash and order, and the burst of the highest alarm.
    void AlarmTick(int64_t now_ms);
    // Silences the ward's sound for two minutes (F9, the toolbar's bell); the tiles go
    // on flashing, and an alarm of higher priority sounds through.
    void PauseAudio();
    const alarms::AlarmSound& Sound() const { return sound_; }
    // The bursts started so far and the priority of the last (kNone before any).
    uint64_t Bursts() const { return bursts_; }
    alarms::Priority LastBurst() const { return last_burst_; }
    // The samples the ward plays for a priority's burst (the sound's own file).
    const std::vector<int16_t>& Tone(alarms::Priority p) const {
        return tones_samples_[static_cast<int>(p)];
    }
    QAction* PauseAction() const { return pause_; }

private:
    void OnSettings();
    void UpdateStatus();
    void MakeTones();
    void Play(alarms::Priority priority);

    WardModel model_;
    TileGrid* grid_;
    QScrollArea* scroll_;
    QLabel* status_;
    QTimer timer_;
    WardSettings settings_;
    std::string settings_path_;
    std::unique_ptr<mqtt::Client> client_;
    QString problem_;
    bool warned_ = false;  // plain mqtt:// or a password file others can read
    uint64_t messages_ = 0;
    std::vector<QPointer<LargeTile>> large_;
    std::shared_ptr<WardInbox> inbox_;
    std::deque<WardInbox::Message> batch_;  // kept: its memory serves the next drain
    QTimer alarm_timer_;
    int64_t alarm_now_ms_ = 0;
    alarms::AlarmSound sound_;
    alarms::Priority last_burst_ = alarms::Priority::kNone;
    uint64_t bursts_ = 0;
    QAction* pause_ = nullptr;
    std::unique_ptr<QTemporaryDir> tones_;
    std::vector<int16_t> tones_samples_[4];
    QSoundEffect* effects_[4] = {};
};
