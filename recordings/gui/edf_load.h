// The "Load.." command: choose a recording and replay it through the process-wide
// pulse-period analysis, the first step at once and every further one from a 5 ms
// timer owned by the replay, so no tick can reach a replay that has ended or gone.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "recordings/edf_replay.h"

class QFileDialog;
class QWidget;

namespace recordings {

class CEdfReplayDriver : public QObject, private IPacingTimer {
    Q_OBJECT

public:
    CEdfReplayDriver(const QString& path, CPulseAnalysis& analysis, TickSource tick = {},
                     QObject* parent = nullptr);
    ~CEdfReplayDriver() override;

    // Runs one step directly (the command handler's first step).
    int16_t Step();
    // Ends the replay now with its summary, as the file's end would (Finished follows).
    void StopReplay();
    bool Running() const { return !finished_; }
    bool TimerActive() const { return timer_.isActive(); }
    int TimerInterval() const { return timer_.interval(); }
    Qt::TimerType TimerType() const { return timer_.timerType(); }
    const CEdfReplay& Replay() const { return *replay_; }
    int16_t LastStatus() const { return last_status_; }

signals:
    // Emitted once when the replay has ended, with its final status.
    void Finished(int status);

private:
    void Arm() override;
    void Stop() override;
    void OnTick();

    QTimer timer_;  // declared first: the replay stops it while being destroyed
    std::unique_ptr<CEdfReplay> replay_;
    int16_t last_status_ = 0;
    bool finished_ = false;
};

// Folder the dialog starts in: drive "D:" through the device map (the home folder
// when it is not mapped), and its "EDF" folder when that exists.
QString EdfInitialFolder();

// Sets up an open-file dialog for recordings: "*.edf" in the name field, a single
// "*.edf" filter, default suffix "edf", an existing file only.
void ConfigureEdfDialog(QFileDialog& dialog, const QString& initial_folder);

// Shows the dialog and returns the chosen path, or nothing when cancelled.
using EdfFileChooser =
    std::function<std::optional<QString>(QWidget* parent, const QString& initial_folder)>;
std::optional<QString> ChooseEdfFileWithDialog(QWidget* parent, const QString& initial_folder);
// Replaces the dialog (tests); an empty function restores the real one.
void SetEdfFileChooser(EdfFileChooser chooser);

// The handler of "Load..": 0 when cancelled or started, -1 when the replay cannot
// be created, otherwise the first step's negative status. A previous replay is
// destroyed (its timer with it) once a file has been chosen.
int LoadEdfFile(QWidget* parent);
int LoadEdfFile(QWidget* parent, CPulseAnalysis& analysis);

// What the menu command calls; the result is of no use to a menu.
void LoadEdfCommand(QWidget* parent);

// Tells the user that a chosen file is not a device recording (a European Data
// Format file, say): a message box, replaceable for tests.
using EdfNotice = std::function<void(QWidget* parent, const QString& text)>;
void SetEdfNotice(EdfNotice notice);

// The status-bar text of a replay that runs: "Replay 12:03 of 1:02:00"; empty when
// none runs.
QString ReplayProgressText();

// The handler of "Stop Replay": ends the running replay as the file's end would.
void StopCurrentReplay();

// The current replay, or null; ending it destroys it with its timer (also done
// when the application is about to quit).
CEdfReplayDriver* CurrentReplay();
void EndCurrentReplay();

}  // namespace recordings
