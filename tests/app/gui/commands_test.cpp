#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include "app/gui/command_ids.h"
#include "app/gui/command_wiring.h"
#include "app/gui/document.h"
#include "display/alarm_watch.h"
#include "display/main_frame.h"
#include "display/monitoring_view.h"
#include "link/configuration.h"
#include "link/oximeter.h"
#include "platform/profile.h"
#include "recordings/capture_file.h"
#include "recordings/edf_writer.h"
#include "recordings/gui/edf_load.h"
#include "sessions/session_recording.h"
#include "tests/app/gui/shell_fixture.h"
#include "tests/link/pty.h"

namespace {

std::string Text(CVELTMonitoringView* view, int field) {
    char buf[256];
    view->GetFieldText(field, buf, sizeof buf);
    return buf;
}

QImage Plot(CVELTMonitoringView* view) {
    QImage img(CVELTMonitoringView::kClientWidth, CVELTMonitoringView::kClientHeight,
               QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    view->PaintPlot(p);
    return img;
}

bool Checked(CVELTMonitoringApp& app, int id) { return app.MainFrame()->Command(id)->isChecked(); }

}  // namespace

TEST_F(ShellTest, ChoosingTheCheckedProtocolStillReconnectsAndResetsTheFields) {
    Start();
    CVELTMonitoringView* view = app_->ActiveView();
    view->SetFieldText(Pulse, "72.0");
    app_->MainFrame()->Command(cmd::kProtocol1)->trigger();
    EXPECT_EQ(Text(view, Pulse), "x");
    EXPECT_EQ(app_->ActiveLink()->Protocol(), 1);
    EXPECT_TRUE(Checked(*app_, cmd::kProtocol1));
    EXPECT_FALSE(Checked(*app_, cmd::kProtocol2));
    EXPECT_TRUE(app_->ActiveDocument()->IsModified());
    app_->MainFrame()->Command(cmd::kProtocol3)->trigger();
    EXPECT_EQ(app_->ActiveLink()->Protocol(), 3);
    EXPECT_FALSE(Checked(*app_, cmd::kProtocol1));
    EXPECT_TRUE(Checked(*app_, cmd::kProtocol3));
}

TEST_F(ShellTest, ChoosingTheCheckedChannelKeepsThePlot) {
    Start();
    CVELTMonitoringView* view = app_->ActiveView();
    for (int i = 0; i < 50; ++i) view->AppendSample(static_cast<uint8_t>(i * 4), 0);
    QImage before = Plot(view);
    app_->MainFrame()->Command(cmd::kChannelIR)->trigger();
    EXPECT_EQ(Plot(view), before);
    EXPECT_TRUE(Checked(*app_, cmd::kChannelIR)) << "the mark shows the link's channel";
    app_->MainFrame()->Command(cmd::kChannelRed)->trigger();
    EXPECT_EQ(app_->ActiveLink()->TrendChannel(), 2);
    EXPECT_NE(Plot(view), before);
    EXPECT_FALSE(Checked(*app_, cmd::kChannelIR));
    EXPECT_TRUE(Checked(*app_, cmd::kChannelRed));
    EXPECT_FALSE(app_->ActiveDocument()->IsModified()) << "the channel is not a saved setting";
}

TEST_F(ShellTest, HeartbeatToggledTwiceKeepsTheFlagButModifiesTheDocument) {
    Start();
    QAction* beat = app_->MainFrame()->Command(cmd::kHeartbeatSound);
    beat->trigger();
    EXPECT_FALSE(app_->ActiveLink()->HeartbeatSound());
    EXPECT_FALSE(beat->isChecked());
    beat->trigger();
    EXPECT_TRUE(app_->ActiveLink()->HeartbeatSound());
    EXPECT_TRUE(beat->isChecked());
    EXPECT_TRUE(app_->ActiveDocument()->IsModified());
}

TEST_F(ShellTest, MarksFollowTheActiveWindow) {
    ASSERT_TRUE(app_->InitInstance({}));
    QMdiSubWindow* first = Area()->currentSubWindow();
    app_->ActiveLink()->SetProtocol(2);
    app_->OnFileNew();
    QMdiSubWindow* second = Area()->currentSubWindow();
    ASSERT_NE(first, second);
    app_->ActiveLink()->SetProtocol(3);
    app_->ActiveLink()->SetHeartbeatSound(false);
    Area()->setActiveSubWindow(first);
    EXPECT_TRUE(Checked(*app_, cmd::kProtocol2));
    EXPECT_FALSE(Checked(*app_, cmd::kProtocol3));
    EXPECT_TRUE(Checked(*app_, cmd::kHeartbeatSound));
    Area()->setActiveSubWindow(second);
    EXPECT_FALSE(Checked(*app_, cmd::kProtocol2));
    EXPECT_TRUE(Checked(*app_, cmd::kProtocol3));
    EXPECT_FALSE(Checked(*app_, cmd::kHeartbeatSound));
}

TEST_F(ShellTest, OptionCommandsWithoutAWindowChangeNoMark) {
    Start();
    for (QMdiSubWindow* w : Area()->subWindowList()) w->close();
    QApplication::processEvents();
    QAction* beat = app_->MainFrame()->Command(cmd::kHeartbeatSound);
    bool before = beat->isChecked();
    beat->trigger();
    EXPECT_EQ(beat->isChecked(), before);
    QAction* red = app_->MainFrame()->Command(cmd::kChannelRed);
    red->trigger();
    EXPECT_FALSE(red->isChecked());
}

TEST_F(ShellTest, DisconnectThenConnectAgain) {
    Start();
    CVELTMonitoringView* view = app_->ActiveView();
    app_->MainFrame()->Command(cmd::kDisconnect)->trigger();
    EXPECT_EQ(Text(view, StatusText), "Disconnected");
    EXPECT_EQ(Text(view, PortText), "");
    EXPECT_STREQ(app_->ActiveLink()->PortName(), "COM1");
    app_->MainFrame()->Command(cmd::kConnectAgain)->trigger();
    // COM1 maps to a missing device here: the attempt shows the open error.
    EXPECT_EQ(Text(view, StatusText).rfind("*** COximeter::CreateFile(COM1:)=error ", 0), 0u)
        << Text(view, StatusText);
}

TEST_F(ShellTest, SaveAsImageWritesTheActiveWindowAsGif) {
    Start();
    WireSubsystemCommands(*app_);
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    app_->MainFrame()->Command(cmd::kSaveAsImage)->trigger();
    ASSERT_EQ(chdir(old_cwd), 0);
    std::string gif = dir_.Read("gifFile.gif");
    ASSERT_GT(gif.size(), 13u);
    EXPECT_EQ(gif.substr(0, 3), "GIF");
    // The logical screen is the child window with its frame and title bar.
    QMdiSubWindow* w = Area()->currentSubWindow();
    int width = static_cast<uint8_t>(gif[6]) | (static_cast<uint8_t>(gif[7]) << 8);
    int height = static_cast<uint8_t>(gif[8]) | (static_cast<uint8_t>(gif[9]) << 8);
    EXPECT_EQ(width, w->width());
    EXPECT_EQ(height, w->height());
}

TEST_F(ShellTest, LoadStartsAReplayOfTheChosenRecording) {
    Start();
    WireSubsystemCommands(*app_);
    std::vector<uint8_t> bytes;
    for (uint32_t t = 0; t < 100; ++t)
        recordings::AppendEdfSample(bytes, t, 1000 + static_cast<int>(t));
    dir_.Write("short.edf", std::string(bytes.begin(), bytes.end()));
    QString path = QString::fromStdString(dir_.File("short.edf"));
    int asked = 0;
    recordings::SetEdfFileChooser([&](QWidget*, const QString&) -> std::optional<QString> {
        ++asked;
        return path;
    });
    CMainFrame* frame = app_->MainFrame();
    EXPECT_FALSE(frame->Command(cmd::kStopReplay)->isEnabled());
    frame->Command(cmd::kLoadEdf)->trigger();
    recordings::SetEdfFileChooser({});
    EXPECT_EQ(asked, 1);
    ASSERT_NE(recordings::CurrentReplay(), nullptr);
    // The status bar shows the replay at once, left of the link's counts.
    QLabel* pane = frame->StatusPane("replayProgress");
    ASSERT_NE(pane, nullptr);
    EXPECT_TRUE(pane->text().startsWith("Replay 0:00 of 0:0")) << pane->text().toStdString();
    EXPECT_FALSE(pane->isHidden());
    EXPECT_LT(pane->geometry().x(), frame->LinkCountsPane()->geometry().x());
    ASSERT_TRUE(frame->Command(cmd::kStopReplay)->isEnabled());

    frame->Command(cmd::kStopReplay)->trigger();
    EXPECT_TRUE(recordings::CurrentReplay()->Replay().Ended());
    EXPECT_TRUE(pane->isHidden());
    EXPECT_FALSE(frame->Command(cmd::kStopReplay)->isEnabled());
    recordings::EndCurrentReplay();
    EXPECT_EQ(recordings::CurrentReplay(), nullptr);
}

class RecordingShellTest : public ShellTest {
protected:
    // COM1 is the pseudo-terminal; the program starts in the test's folder, so that its
    // sessions folder is there (the folder is fixed at the start).
    void StartOnDevice(PtyDevice& device) {
        ASSERT_TRUE(device.ok());
        const std::string entry = dir_.File("configuration/dosdevices/com1");
        ASSERT_EQ(unlink(entry.c_str()), 0);
        ASSERT_EQ(symlink(device.slave_path().c_str(), entry.c_str()), 0);
        char old_cwd[4096];
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        Start();
        ASSERT_EQ(chdir(old_cwd), 0);
    }
};

// A fresh configuration records: the window's connection goes into the working
// directory's sessions folder, the pane shows it, and the mark turns it off for the
// next connection.
TEST_F(RecordingShellTest, SessionsRecordedByDefaultShownAndTurnedOff) {
    PtyDevice device;
    ASSERT_NO_FATAL_FAILURE(StartOnDevice(device));

    CMainFrame* frame = app_->MainFrame();
    QAction* record = frame->Command(cmd::kRecordSessions);
    EXPECT_TRUE(record->isChecked());
    auto pane_text = [frame] {
        QLabel* pane = frame->StatusPane("recording");
        if (pane == nullptr) return std::string("(no pane)");
        return pane->isHidden() ? "(hidden) " + pane->text().toStdString()
                                : pane->text().toStdString();
    };
    EXPECT_TRUE(WaitFor([&] { return pane_text().rfind("REC 00:00:0", 0) == 0; }, 3000,
                        [] { QApplication::processEvents(); }))
        << pane_text();
    const std::string path = app_->ActiveLink()->Recording().Path();
    EXPECT_EQ(path.rfind(dir_.File("sessions/"), 0), 0u) << path;
    EXPECT_NE(path.find("_COM1.vcap"), std::string::npos) << path;

    record->trigger();
    EXPECT_FALSE(record->isChecked());
    EXPECT_FALSE(SessionFolder::Process().Enabled());
    frame->Command(cmd::kConnectAgain)->trigger();
    EXPECT_TRUE(WaitFor([&] { return pane_text() == "REC off"; }, 3000,
                        [] { QApplication::processEvents(); }))
        << pane_text();
    EXPECT_EQ(app_->ActiveLink()->Recording().Path(), "");

    // A folder that cannot be made: the reason fits the pane, whole in its tooltip.
    ASSERT_EQ(rename(dir_.File("sessions").c_str(), dir_.File("old").c_str()), 0);
    dir_.Write("sessions", "a file");
    record->trigger();
    frame->Command(cmd::kConnectAgain)->trigger();
    QLabel* pane = frame->StatusPane("recording");
    EXPECT_TRUE(WaitFor([&] { return pane->toolTip().startsWith("REC: cannot create "); }, 3000,
                        [] { QApplication::processEvents(); }));
    EXPECT_LE(pane->fontMetrics().horizontalAdvance(pane->text()), pane->contentsRect().width());
}

TEST_F(ShellTest, RecordingOffInTheConfigurationLeavesTheMarkOff) {
    dir_.Write("configuration/VELTMonitoring.ini", "[recording]\nenabled=0\nmax_mb=5\n");
    Start();
    EXPECT_FALSE(app_->MainFrame()->Command(cmd::kRecordSessions)->isChecked());
    EXPECT_FALSE(SessionFolder::Process().Enabled());
    EXPECT_EQ(SessionFolder::Process().MaxBytes(), 5u << 20);
}

// Option > Alarms.. sets the active window's alarms and marks its document; Save keeps
// them in the configuration; the audio pause silences every window.
TEST_F(ShellTest, AlarmSettingsAreTheWindowsAndSavedWithIt) {
    Start();
    AlarmWatch* watch = app_->ActiveView()->Alarms();
    ASSERT_NE(watch, nullptr);
    QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->findChild<QDoubleSpinBox*>("spo2-low")->setValue(92);
        dialog->findChild<QCheckBox*>("sensor-on")->setChecked(false);
        dialog->accept();
    });
    app_->MainFrame()->Command(cmd::kAlarms)->trigger();
    EXPECT_EQ(watch->Settings().limits[alarms::kSpo2Low].limit, 92);
    EXPECT_TRUE(app_->ActiveDocument()->IsModified());
    ASSERT_TRUE(app_->ActiveDocument()->Serialize(true));
    alarms::Settings saved = alarms::Settings::Defaults();
    std::string error;
    ASSERT_TRUE(saved.Load(config::ConfigPath(), &error)) << error;
    EXPECT_TRUE(saved == watch->Settings());
    EXPECT_FALSE(saved.limits[alarms::kSensor].on);

    app_->MainFrame()->Command(cmd::kAudioPause)->trigger();
    EXPECT_TRUE(watch->Pane()->Lines().contains("Audio paused 2:00"))
        << watch->Pane()->Lines().join("|").toStdString();
}

// What a live window notes goes into its session: its alarm settings at the start and
// when they change, an audio pause, a mark made with Edit > Mark.. (at the key press,
// ticked on the plot, its text offered next time), and an unplug's "link-lost" alarm,
// which starts at once.
TEST_F(RecordingShellTest, AWindowsAlarmsAndMarksGoIntoItsSession) {
    PtyDevice device;
    ASSERT_NO_FATAL_FAILURE(StartOnDevice(device));
    auto events = [] { QApplication::processEvents(); };
    ASSERT_TRUE(
        WaitFor([&] { return !app_->ActiveLink()->Recording().Path().empty(); }, 3000, events));
    const std::string path = app_->ActiveLink()->Recording().Path();
    AlarmWatch* watch = app_->ActiveView()->Alarms();
    alarms::Settings settings = watch->Settings();
    settings.limits[alarms::kSpo2Low].limit = 92;
    watch->SetSettings(settings);
    app_->MainFrame()->Command(cmd::kAudioPause)->trigger();
    QTimer::singleShot(0, [] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        dialog->findChild<QComboBox*>("mark-text")->setCurrentText("Turned over");
        dialog->accept();
    });
    app_->MainFrame()->Command(cmd::kMark)->trigger();
    const WaveformPlot& plot = app_->ActiveView()->Plot();
    EXPECT_TRUE(
        plot.Marked((plot.WritePosition() + WaveformPlot::kColumns - 1) % WaveformPlot::kColumns));
    EXPECT_EQ(platform::GetPrivateProfileString("marks", "text1", "", config::ConfigPath()),
              "Turned over");

    device.Close();  // unplugged
    EXPECT_TRUE(
        WaitFor([&] { return watch->Pane()->Lines().contains("** Link lost"); }, 3000, events))
        << watch->Pane()->Lines().join("|").toStdString();
    app_->MainFrame()->Command(cmd::kDisconnect)->trigger();  // the file is finished

    recordings::CaptureFileReader reader;
    ASSERT_TRUE(reader.Open(path)) << reader.Error();
    std::vector<std::string> notes;
    recordings::CaptureRecord r;
    while (reader.NextRecord(&r))
        if (r.kind == recordings::CaptureKind::Alarm || r.kind == recordings::CaptureKind::Mark)
            notes.emplace_back(std::string(recordings::CaptureKindName(r.kind)) + ":" +
                               std::string(r.data, r.data + r.size));
    const std::string all = ::testing::PrintToString(notes);
    ASSERT_EQ(notes.size(), 5u) << all;
    EXPECT_EQ(notes[0].rfind("alarm:settings\tspo2-low=90 ", 0), 0u) << all;
    EXPECT_EQ(notes[1].rfind("alarm:settings\tspo2-low=92 ", 0), 0u) << all;
    EXPECT_EQ(notes[2], "alarm:pause\t120") << all;
    EXPECT_TRUE(notes[3].rfind("mark:", 0) == 0 &&
                notes[3].find("\tTurned over") != std::string::npos)
        << all;
    EXPECT_EQ(notes[4], "alarm:start\tmedium\tlink-lost\t\t\t** Link lost") << all;
}

// The main window's title says that a window alarms, whichever is active; the toolbar's
// bell shows a pause and its time left.
TEST_F(ShellTest, AnyWindowsAlarmShowsInTheTitleAndThePauseOnTheBell) {
    Start();
    CVELTMonitoringView* first = app_->ActiveView();
    app_->MainFrame()->Command(cmd::kFileNew)->trigger();
    QApplication::processEvents();
    ASSERT_NE(app_->ActiveView(), first);
    auto title = [this] { return app_->MainFrame()->windowTitle().toStdString(); };
    first->SetFieldText(StatusText, "*** No data");  // a technical alarm without delay
    EXPECT_TRUE(WaitFor([&] { return title().find("** ALARM") != std::string::npos; }, 3000,
                        [] { QApplication::processEvents(); }));
    EXPECT_EQ(title(), "VELT Monitoring - ** ALARM VELTMo1 - VELTMo2");

    QAction* pause = app_->MainFrame()->Command(cmd::kAudioPause);
    auto* bell = qobject_cast<QToolButton*>(app_->MainFrame()->ToolBar()->widgetForAction(pause));
    ASSERT_NE(bell, nullptr);
    const QImage quiet = bell->grab().toImage();
    pause->trigger();
    EXPECT_EQ(bell->text(), "2:00");
    EXPECT_NE(bell->grab().toImage().copy(0, 0, 16, 16), quiet.copy(0, 0, 16, 16));
}
