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

class QLabel;
class QLineEdit;
class QScrollArea;

// Paints one tile into rect (the grid and the large view share it); text outside
// `region` is not laid out, so a repaint of the plethysmogram alone stays cheap.
void PaintTile(QPainter& p, const QRect& rect, const TileData& d, bool large,
               const QRegion& region);
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

    // Publish-to-repaint latencies (ms) of values painted so far.
    const std::vector<int>& Latencies() const { return latencies_; }
    uint64_t TilesPainted() const { return tiles_painted_; }
    void ResetStats() {
        latencies_.clear();
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
    const WardModel* model_;
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
    std::string monitors;  // the monitors shown: shell patterns, all when empty
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

private:
    void OnSettings();
    void UpdateStatus();

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
};
