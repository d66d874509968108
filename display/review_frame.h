// The review window of a recorded session: an MDI child like a monitoring window,
// "<file name> Review", with the monitoring view fed by a session player instead of
// a port, an overview strip of the whole session and a transport bar. Keys: space
// plays and pauses, Left/Right move 10 s, Page Up/Page Down 1 min, Home/End to the
// ends.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "display/child_frame.h"
#include "display/review_session.h"

class CAlarmPane;
class CVELTMonitoringView;
class QComboBox;
class QLabel;
class QProgressDialog;
class QSlider;
class QToolButton;

// The strip over the whole session: SpO2, pulse and perfusion per second, gaps,
// status-word changes, the position; a click or a drag seeks. A drag with Shift held
// selects a part (whole seconds) for Export..; a Shift+click without a drag clears it.
class CReviewOverview : public QWidget {
    Q_OBJECT
public:
    explicit CReviewOverview(QWidget* parent = nullptr);
    void SetDuration(uint64_t duration_us);
    void Append(const std::vector<ReviewIndex::Second>& seconds);
    void SetProgress(double progress, bool done);
    void SetPosition(uint64_t position_us);
    size_t SecondCount() const { return seconds_.size(); }
    // Ticks: the recorded marks and alarm starts, damage (from the index) and the marks
    // added in the review (removable: a right click on one offers it).
    void AppendEvents(const std::vector<ReviewIndex::Event>& events);
    size_t EventCount() const { return events_.size(); }
    void SetReviewMarks(const std::vector<session_events::Mark>& marks);
    // The text a tick near x shows on hover ("" when none is near).
    QString TickTextAt(int x) const;
    QSize sizeHint() const override { return QSize(843, 64); }

    // The selected part in whole seconds from the session's start, [from, to); false
    // when nothing is selected.
    bool Selection(int64_t* from_s, int64_t* to_s) const;
    void ClearSelection();

signals:
    void seekRequested(uint64_t time_us);
    void selectionChanged();
    void removeMarkRequested(int index);  // of the review's marks

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    uint64_t TimeAt(int x) const;
    double XOf(uint64_t time_us) const;
    int ReviewMarkAt(int x) const;  // -1: none near x
    std::vector<ReviewIndex::Event> events_;
    std::vector<session_events::Mark> review_marks_;
    void SelectTo(uint64_t time_us);
    std::vector<ReviewIndex::Second> seconds_;
    uint64_t duration_us_ = 0;
    uint64_t position_us_ = 0;
    double progress_ = 0;
    bool done_ = false;
    bool selecting_ = false;                             // a Shift+drag is under way
    uint64_t anchor_us_ = 0;                             // where it began
    int64_t selection_from_s_ = 0, selection_to_s_ = 0;  // empty when equal
};

class CReviewFrame : public CChildFrame {
    Q_OBJECT
public:
    // The speeds offered; 0 is "as fast as possible".
    static constexpr int kSpeeds[] = {1, 2, 5, 10, 60, 0};

    explicit CReviewFrame(QWidget* parent = nullptr);
    ~CReviewFrame() override;

    // True when the file starts as a capture does (its header, not its name).
    static bool IsSessionFile(const QString& path);
    // Opens the session and starts building the overview; false with Error() set.
    bool Open(const QString& path);
    QString Error() const { return error_; }

    CVELTMonitoringView* View() const { return view_; }
    CReviewOverview* Overview() const { return overview_; }
    ReviewSession* Session() const { return session_.get(); }
    const ReviewIndex* Index() const { return index_.get(); }

    void Play();
    void Pause();
    bool Playing() const { return playing_; }
    // An entry of kSpeeds.
    void SetSpeed(int speed);
    int Speed() const { return speed_; }
    void SeekTo(uint64_t time_us);
    uint64_t PositionUs() const;
    // "21:14:03 / 1:00:00": the time of day at the position and the session's length.
    QString PositionText() const;
    // Test seam: waits (running the event loop) until the overview is built.
    bool WaitForOverview(int timeout_ms);

    // File > Export..: the dialog, then the export on a worker thread of its own
    // beside a progress window with Cancel; the window stays playable meanwhile. One
    // export at a time; closing the window cancels it. A failed or cancelled export
    // leaves nothing under the chosen name and says so; a finished one says what it
    // wrote, in a message and the status bar ("Exported 0:01:38 to … (8.0 MB)").
    void RunExport() { RunExportOrReport(false); }
    // File > Report..: the same for the oximetry report (a PDF) of the whole session or
    // the selection, from the seconds the export shows ("Reported 0:01:38 to …").
    void RunReport() { RunExportOrReport(true); }
    const QString& SessionPath() const { return path_; }
    bool ExportRunning() const { return export_worker_.joinable(); }
    QProgressDialog* ExportProgress() const { return export_progress_; }
    // Test seams: the messages shown after an export, a call on the worker thread
    // before it starts, and a wait (running the event loop) for its end.
    void SetMessageForTesting(std::function<void(const QString&)> show) {
        message_ = std::move(show);
    }
    void SetExportStartForTesting(std::function<void()> hook) { export_start_ = std::move(hook); }
    bool WaitForExport(int timeout_ms);

    // Edit > Mark..: a mark at the review position, kept beside the session in its
    // marks file (the capture is never rewritten); a right click on its tick removes it.
    void AddMark();
    void RemoveMark(int index);
    const std::vector<session_events::Mark>& ReviewMarks() const { return marks_; }
    // Test seam: the text AddMark takes instead of asking.
    void SetMarkTextForTesting(std::function<bool(QString*)> ask) { ask_mark_ = std::move(ask); }
    CAlarmPane* AlarmPane() const { return alarm_pane_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString SessionTitle();
    void Tick();
    void PollIndex();
    void RunExportOrReport(bool report);
    void ShowPosition();
    void Step(int64_t delta_us);
    void PollExport();
    void Message(const QString& text, bool problem = true);

    void SaveMarks();
    void ShowAlarms();

    CVELTMonitoringView* view_ = nullptr;
    CReviewOverview* overview_ = nullptr;
    CAlarmPane* alarm_pane_ = nullptr;  // the alarms as the window showed them (silent)
    std::vector<session_events::Mark> marks_;
    std::function<bool(QString*)> ask_mark_;
    QToolButton* play_ = nullptr;
    QComboBox* speed_box_ = nullptr;
    QLabel* position_ = nullptr;
    QSlider* slider_ = nullptr;
    std::unique_ptr<ReviewSession> session_;
    std::shared_ptr<ReviewIndex> index_;
    std::atomic<bool> cancel_{false};
    std::thread worker_;
    QTimer timer_;
    QTimer poll_;
    QElapsedTimer clock_;
    uint64_t play_from_us_ = 0;  // the position when the clock started
    bool playing_ = false;
    int speed_ = 1;
    bool heartbeat_ = false;
    bool updating_slider_ = false;
    QString error_;
    QString path_;  // the session's file

    std::thread export_worker_;
    std::atomic<bool> export_cancel_{false};
    std::atomic<bool> export_done_{false};
    std::atomic<uint64_t> export_offset_{0};
    std::string export_error_;    // the worker's, read once export_done_ is set
    std::string export_skipped_;  // as well
    int64_t export_seconds_ = 0;  // as well
    bool export_ok_ = false;
    bool export_report_ = false;  // the job running is a report
    QString export_path_;
    uint64_t export_size_ = 1;
    QProgressDialog* export_progress_ = nullptr;
    QTimer export_poll_;
    std::function<void(const QString&)> message_;
    std::function<void()> export_start_;
};
