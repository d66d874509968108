// The monitoring view of a document window: a fixed pixel layout of 24 labels and 38
// fields over the waveform plot, and the owner of the window's device link. It is the
// link's ILinkView: fields, plot, packet hand-off and sound may be driven from the
// link's receive thread as well as from the GUI thread.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QRegion>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>
#include <vector>

#include "display/colour_label.h"
#include "display/sync_call_queue.h"
#include "display/waveform_plot.h"
#include "link/configuration.h"
#include "link/link_view.h"
#include "processing/view_field.h"

class AlarmWatch;
class COximeter;
class QBackingStore;
class QLabel;
class QPainter;
class QPrinter;
class QWindow;
class SoundPlayer;

class CVELTMonitoringView : public QWidget, public ILinkView, private FieldBackdrop {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 843;
    static constexpr int kClientHeight = 436;
    static constexpr int kLabelCount = 24;

    // Makes the link of every new view from the configured connection; installed by
    // the application. No factory, or a null result: the view works without a link.
    using LinkFactory = std::function<COximeter*(const config::ConnectionSettings&)>;
    static void SetLinkFactory(LinkFactory factory);

    // with_link false: no link is made; something else (a session review) draws into
    // the plot and writes the fields.
    explicit CVELTMonitoringView(QWidget* parent = nullptr, bool with_link = true);
    // Deletes the link first (which stops its receive thread), then the controls.
    ~CVELTMonitoringView() override;

    COximeter* GetLink() const { return link_; }
    // The window's alarms (a view with a link has them; null otherwise).
    AlarmWatch* Alarms() const { return alarms_; }
    QWidget* Field(int field) const;
    FieldControl* FieldControlAt(int field) const;
    // The labels in creation order.
    QLabel* Label(int index) const;
    // All 62 controls in creation order.
    const std::vector<QWidget*>& Controls() const { return controls_; }
    const WaveformPlot& Plot() const { return plot_; }
    WaveformPlot& MutablePlot() { return plot_; }

    // Prints what the view draws (the plot: frame, trace, event strip) at its pixel
    // coordinates, scaled so that it keeps its on-screen size.
    void PrintTo(QPrinter* printer);
    // The same picture onto any painter, one unit per view pixel.
    void PaintPlot(QPainter& painter) const;

    QSize sizeHint() const override { return QSize(kClientWidth, kClientHeight); }
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    // The view's own link's records were just shown: the GUI thread is awake for them,
    // so work that is due about now goes with them rather than waking it again.
    void recordsShown();

public:
    // ILinkView.
    void SetFieldText(int field, const char* text) override;
    int GetFieldText(int field, char* buffer, int limit) override;
    bool IsFieldModified(int field) override;
    void SetFieldModified(int field, bool modified) override;
    void AppendSample(uint8_t value, Colour colour) override;
    void AppendPulseTrend(uint8_t value) override;
    void ResetPlot() override;
    void RedrawPlot() override;
    void PostPacketMessage(int code, COximeter* link) override;
    void RunPendingCalls() override;
    void PlaySoundAsync(const char* file_name) override;

    // The event type of the packet-arrival message (1124 when it was free).
    static int PacketMessageType();
    // The path of the last sound started, empty when the last request found no file.
    QString LastSoundPath() const { return last_sound_path_; }
    // Worker calls waiting for the GUI thread.
    size_t PendingCallCount() const { return calls_.PendingCount(); }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void CreateControls();
    QLabel* AddLabel(const char* text, int left, int top, int right, int bottom, bool coloured,
                     bool centred);
    void AddField(int field, int left, int top, int right, int bottom, bool value_field,
                  bool left_aligned);
    void ApplyFieldText(int field, const char* text);
    void OnRepaintRequested(bool more_packets_due);
    void FlushRepaint();
    void ExposePlot(const QRegion& region);
    // The plot's own repaint, straight into the window's image and to the screen, past
    // Qt's repaint of the widget tree: only where the plot shows unobscured and all of
    // the region is opaque picture. False, having shown nothing, otherwise.
    bool PaintIntoWindow(const QRegion& region);
    // True when no control, no widget stacked above the view or its parents, and no
    // parent's edge hides any of the area (view coordinates).
    bool Unobscured(const QRect& area) const;
    // Copies the region from the plot's picture into the window's image (offset: of
    // the image from the view) when all of it is opaque picture and the image plain
    // 32-bit pixels; false, having done nothing, otherwise.
    bool CopyIntoStore(const QRegion& region, const QPoint& offset, QBackingStore* store) const;
    // FieldBackdrop: under the value fields lies the plot's picture on the background.
    bool PlainBackdrop(const QRect& area, QColor* colour) const override;
    void PaintBackdrop(QPainter& painter, const QRect& area) const override;
    void WatchWindowExposes();
    void PlaySoundNow(const QString& name);
    static void RequestRepaint(void* view);

    COximeter* link_ = nullptr;
    AlarmWatch* alarms_ = nullptr;
    WaveformPlot plot_;
    SyncCallQueue calls_;
    std::array<FieldControl*, ViewFieldCount> fields_{};
    std::array<QLabel*, kLabelCount> labels_{};
    std::vector<QWidget*> controls_;  // all 62, in creation order
    int label_count_ = 0;
    SoundPlayer* sound_ = nullptr;
    QString last_sound_path_;
    QTimer repaint_timer_;
    QElapsedTimer since_flush_;
    // GUI thread only: a repaint asked for while the packet message runs.
    bool in_packet_message_ = false;
    bool repaint_after_packets_ = false;
    // What the plot asked to have repainted and is not painted yet: those parts show
    // the incremental picture, everything else painted outside the controls is an
    // expose.
    QRegion requested_;
    std::vector<CanvasRect> exposed_rects_;
    // The top-level window, whose exposes (uncovered by other windows) Qt answers from
    // its backing store without a paint.
    QPointer<QWindow> watched_window_;
};
