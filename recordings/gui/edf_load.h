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

// The current replay, or null; ending it destroys it with its timer (also done
// when the application is about to quit).
CEdfReplayDriver* CurrentReplay();
void EndCurrentReplay();

}  // namespace recordings
