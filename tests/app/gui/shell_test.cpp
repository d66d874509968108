#include <sys/stat.h>

#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <cerrno>
#include <cstring>

#include "app/gui/about_dialog.h"
#include "app/gui/command_ids.h"
#include "app/gui/document.h"
#include "display/child_frame.h"
#include "display/monitoring_view.h"
#include "link/oximeter.h"
#include "tests/app/gui/shell_fixture.h"

namespace {

// "Text|id" per item, "-" for a separator, ">Title" and "<" around a submenu.
QStringList Describe(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions()) {
        if (!a->isVisible()) continue;
        if (a->isSeparator()) {
            out << "-";
        } else if (a->menu() != nullptr) {
            out << ">" + a->text();
            out << Describe(a->menu());
            out << "<";
        } else {
            out << QString("%1|%2").arg(a->text()).arg(a->data().toInt());
        }
    }
    return out;
}

QStringList MenuTitles(QMenuBar* bar) {
    QStringList out;
    for (QAction* a : bar->actions()) out << a->text();
    return out;
}

}  // namespace

// Readable failure messages for Qt string lists.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << "{\"" << list.join("\", \"").toStdString() << "\"}";
}
QT_END_NAMESPACE

namespace {

QMenu* MenuNamed(QMenuBar* bar, const QString& title) {
    for (QAction* a : bar->actions())
        if (a->text() == title) return a->menu();
    return nullptr;
}

}  // namespace

TEST_F(ShellTest, FirstRunUsesDefaultsAndOpensOneWindow) {
    Start();
    EXPECT_FALSE(
        QFile::exists(QString::fromStdString(dir_.File("configuration/VELTMonitoring.ini"))));
    struct stat st {};
    ASSERT_EQ(stat(dir_.File("configuration").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(config::ConfigPath(), dir_.File("configuration/VELTMonitoring.ini"));
    ASSERT_EQ(Area()->subWindowList().size(), 1);
    EXPECT_EQ(Area()->subWindowList()[0]->windowTitle(), "VELTMo1");
    COximeter* link = app_->ActiveLink();
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->Protocol(), 1);
    EXPECT_TRUE(link->HeartbeatSound());
}

TEST_F(ShellTest, MenuBarsMatchTheTablesAndSwitchWithDocumentWindows) {
    Start();
    QMenuBar* bar = app_->MainFrame()->menuBar();
    EXPECT_EQ(MenuTitles(bar),
              QStringList({"&File", "EDFFile", "&Edit", "&View", "&Window", "Option", "&Help"}));
    EXPECT_EQ(
        Describe(MenuNamed(bar, "&File")),
        QStringList({"&New\tCtrl+N|57600", "&Open...\tCtrl+O|57601", "Open Session..|32790",
                     "&Close|57602", "&Save\tCtrl+S|57603", "Save &As...|57604", "Export..|32793",
                     "Report..|32800", "-", "&Print...\tCtrl+P|57607", "Print Pre&view|57609",
                     "P&rint Setup...|57606", "-", "Open Sessions Folder|32792", "-",
                     "Recent File|57616", "-", "E&xit|57665"}));
    EXPECT_EQ(Describe(MenuNamed(bar, "EDFFile")),
              QStringList({"Load..|32771", "Stop Replay|32788"}));
    EXPECT_EQ(Describe(MenuNamed(bar, "&Edit")),
              QStringList({"&Undo\tCtrl+Z|57643", "-", "Cu&t\tCtrl+X|57635", "&Copy\tCtrl+C|57634",
                           "&Paste\tCtrl+V|57637", "-", "Copy as image|32775",
                           "Save as image..|32776", "-", "Mark..\tCtrl+M|32798"}));
    EXPECT_EQ(Describe(MenuNamed(bar, "&View")),
              QStringList({"&Toolbar|59392", "&Status Bar|59393"}));
    QStringList window = Describe(MenuNamed(bar, "&Window"));
    EXPECT_EQ(window.mid(0, 4), QStringList({"&New Window|57648", "&Cascade|57650", "&Tile|57651",
                                             "&Arrange Icons|57649"}));
    EXPECT_EQ(Describe(MenuNamed(bar, "Option")), QStringList({"Heartbeat sound|32784",
                                                               ">Plethysmogramm",
                                                               "IR|32785",
                                                               "Red|32786",
                                                               "Red 2|32787",
                                                               "<",
                                                               "-",
                                                               "Port..|32772",
                                                               ">Protocol..",
                                                               "Generic 57.6 kBd|32780",
                                                               "Generic 115.2 kBd (w. ECG)|32781",
                                                               "-",
                                                               "Reduced 9.6 kBd|32782",
                                                               "<",
                                                               "Connect again|32777",
                                                               "Disconnect|32783",
                                                               "Publish..|32789",
                                                               "Record sessions|32791",
                                                               "Alarms..|32794",
                                                               "Audio pause\tF9|32795",
                                                               "-",
                                                               "ELF to Flash..|32773",
                                                               "D43 to Flash..|32774"}));
    EXPECT_EQ(Describe(MenuNamed(bar, "&Help")), QStringList({"&About VELT Monitoring...|57664"}));

    // Closing the only window brings back the menus without a document.
    Area()->subWindowList()[0]->close();
    QApplication::processEvents();
    EXPECT_EQ(MenuTitles(bar), QStringList({"&File", "&View", "&Help"}));
    EXPECT_EQ(Describe(MenuNamed(bar, "&File")),
              QStringList({"&New\tCtrl+N|57600", "&Open...\tCtrl+O|57601", "Open Session..|32790",
                           "-", "P&rint Setup...|57606", "-", "Open Sessions Folder|32792", "-",
                           "Recent File|57616", "-", "E&xit|57665"}));
    app_->OnFileNew();
    EXPECT_EQ(MenuTitles(bar).size(), 7);
}

TEST_F(ShellTest, EditItemsAreDisabledAndAcceleratorsMapped) {
    Start();
    CMainFrame* f = app_->MainFrame();
    for (int id : {cmd::kEditUndo, cmd::kEditCut, cmd::kEditCopy, cmd::kEditPaste})
        EXPECT_FALSE(f->Command(id)->isEnabled()) << id;
    auto keys = [f](int id) {
        QStringList out;
        for (const QKeySequence& k : f->Command(id)->shortcuts()) out << k.toString();
        return out;
    };
    EXPECT_EQ(keys(cmd::kFileNew), QStringList({"Ctrl+N"}));
    EXPECT_EQ(keys(cmd::kFileOpen), QStringList({"Ctrl+O"}));
    EXPECT_EQ(keys(cmd::kFileSave), QStringList({"Ctrl+S"}));
    EXPECT_EQ(keys(cmd::kFilePrint), QStringList({"Ctrl+P"}));
    EXPECT_EQ(keys(cmd::kEditUndo), QStringList({"Ctrl+Z", "Alt+Backspace"}));
    EXPECT_EQ(keys(cmd::kEditCut), QStringList({"Ctrl+X", "Shift+Del"}));
    EXPECT_EQ(keys(cmd::kEditCopy), QStringList({"Ctrl+C", "Ctrl+Ins"}));
    EXPECT_EQ(keys(cmd::kEditPaste), QStringList({"Ctrl+V", "Shift+Ins"}));
    EXPECT_EQ(keys(cmd::kNextPane), QStringList({"F6"}));
    EXPECT_EQ(keys(cmd::kPrevPane), QStringList({"Shift+F6"}));
    EXPECT_TRUE(f->actions().contains(f->Command(cmd::kNextPane)));

    // F6 moves to the next window.
    app_->OnFileNew();
    QMdiSubWindow* second = Area()->currentSubWindow();
    f->Command(cmd::kNextPane)->trigger();
    EXPECT_NE(Area()->currentSubWindow(), second);
}

TEST_F(ShellTest, ToolbarAndStatusBar) {
    Start();
    CMainFrame* f = app_->MainFrame();
    QStringList entries;
    for (QAction* a : f->ToolBar()->actions())
        entries << (a->isSeparator() ? QString("-") : QString::number(a->data().toInt()));
    EXPECT_EQ(entries, QStringList({"57600", "57601", "57603", "-", "57635", "57634", "57637", "-",
                                    "57607", "-", "57664", "-", "32795"}));
    QAction* fnew = f->Command(cmd::kFileNew);
    EXPECT_EQ(fnew->toolTip(), "New");
    EXPECT_EQ(fnew->statusTip(), "Create a new document");
    EXPECT_EQ(fnew->icon().actualSize(QSize(16, 15)), QSize(16, 15));
    EXPECT_EQ(f->statusBar()->currentMessage(), "Ready");
    QStringList panes;
    for (QLabel* l : f->IndicatorPanes()) panes << l->text();
    EXPECT_EQ(panes, QStringList({"CAP", "NUM", "SCRL"}));
    // The link's counts sit left of "CAP"; the link of the window here never opened.
    QLabel* counts = f->LinkCountsPane();
    ASSERT_NE(counts, nullptr);
    EXPECT_LT(counts->x(), f->IndicatorPanes().front()->x());
    ASSERT_NE(app_->ActiveLink(), nullptr);
    app_->ActiveLink()->Statistics().Add(LinkStatistics::kFrames, 3036);
    app_->ActiveLink()->Statistics().Add(LinkStatistics::kIncomplete, 2);
    app_->ActiveLink()->Statistics().Add(LinkStatistics::kDropped, 1);
    QElapsedTimer waited;
    waited.start();
    while (counts->text().isEmpty() && waited.elapsed() < 2000) QApplication::processEvents();
    EXPECT_EQ(counts->text(), "3036 frames, 0 bad, 3 lost");
    EXPECT_LE(waited.elapsed(), 1000) << "refreshed twice a second";
    // The pane keeps its size between counts, but never cuts a count off.
    const QSize pane_size = counts->size();
    app_->ActiveLink()->Statistics().Add(LinkStatistics::kFrames, 4000000000u);
    app_->ActiveLink()->Statistics().Add(LinkStatistics::kBadChecksums, 4000000000u);
    waited.restart();
    while (!counts->text().startsWith("4000003036") && waited.elapsed() < 2000)
        QApplication::processEvents();
    QApplication::processEvents();
    ASSERT_EQ(counts->text(), "4000003036 frames, 4000000000 bad, 3 lost");
    EXPECT_EQ(counts->height(), pane_size.height());
    EXPECT_GE(counts->width(), counts->fontMetrics().horizontalAdvance(counts->text()));
    // While records are shown they bring the counts once due, before the timer would.
    app_->ActiveLink()->Statistics().Add(LinkStatistics::kFrames, 1);
    QThread::msleep(510);
    emit app_->ActiveView()->recordsShown();
    EXPECT_EQ(counts->text(), "4000003037 frames, 4000000000 bad, 3 lost");
    // The panes paint their background themselves, exactly as the bar does under them.
    f->SetStatusPaneText("test", QString::fromUtf8("REC 00:00:01 \u00b7 0.1 MB"));
    for (QLabel* pane : {counts, f->StatusPane("test")}) {
        ASSERT_TRUE(pane->autoFillBackground());
        const QImage opaque = f->statusBar()->grab().toImage();
        pane->setAutoFillBackground(false);
        EXPECT_EQ(f->statusBar()->grab().toImage(), opaque) << pane->text().toStdString();
        pane->setAutoFillBackground(true);
    }
    // The View items hide and show the bars.
    f->Command(cmd::kViewToolbar)->trigger();
    EXPECT_TRUE(f->ToolBar()->isHidden());
    f->Command(cmd::kViewStatusBar)->trigger();
    EXPECT_TRUE(f->statusBar()->isHidden());
}

TEST_F(ShellTest, MainFrameCreationFailsWhenABarCannotBeMade) {
    for (auto step : {CMainFrame::FailStep::ToolBar, CMainFrame::FailStep::StatusBar}) {
        CMainFrame frame;
        frame.SetFailStepForTesting(step);
        EXPECT_FALSE(frame.Create());
    }
}

TEST_F(ShellTest, FreshDocumentClosesWithoutAskingTypingMakesItAsk) {
    Start();
    QMdiSubWindow* w = Area()->subWindowList()[0];
    w->close();
    QApplication::processEvents();
    EXPECT_TRUE(prompts_.isEmpty());
    EXPECT_TRUE(Area()->subWindowList().isEmpty());

    app_->OnFileNew();
    CVELTMonitoringView* view = app_->ActiveView();
    ASSERT_NE(view, nullptr);
    auto* op = qobject_cast<QLineEdit*>(view->Field(DocSerial));
    ASSERT_NE(op, nullptr);
    op->setFocus();
    op->insert("SN 42");  // as typing does
    answer_ = QMessageBox::Cancel;
    Area()->currentSubWindow()->close();
    QApplication::processEvents();
    ASSERT_EQ(prompts_.size(), 1);
    EXPECT_EQ(prompts_[0], "Save changes to VELTMo2?");
    EXPECT_EQ(Area()->subWindowList().size(), 1) << "Cancel keeps the window open";
}

TEST_F(ShellTest, SavingWritesSettingsAndTheNextCloseDoesNotAskAgain) {
    Start();
    QString docpath = QString::fromStdString(dir_.File("doc.velt"));
    app_->SetFileDialogForTesting(
        [docpath](bool save, const QString&) { return save ? docpath : QString(); });
    COximeter* link = app_->ActiveLink();
    ASSERT_NE(link, nullptr);
    link->SetHeartbeatSound(false);
    CVELTMonitoringDoc* doc = app_->ActiveDocument();
    ASSERT_TRUE(doc->IsModified());
    ASSERT_TRUE(app_->OnFileSave());
    EXPECT_TRUE(QFile::exists(docpath));
    EXPECT_EQ(QFile(docpath).size(), 0);
    EXPECT_FALSE(doc->IsModified());
    EXPECT_EQ(doc->Title(), "doc.velt");
    EXPECT_EQ(app_->RecentFiles().value(0), QFileInfo(docpath).absoluteFilePath());
    std::string ini = dir_.Read("configuration/VELTMonitoring.ini");
    EXPECT_NE(ini.find("heartbeat=0"), std::string::npos) << ini;
    Area()->currentSubWindow()->close();
    QApplication::processEvents();
    EXPECT_TRUE(prompts_.isEmpty());
}

TEST_F(ShellTest, AFailedSettingsSaveIsReportedAndClosingStillAsks) {
    Start();
    QString docpath = QString::fromStdString(dir_.File("doc.velt"));
    app_->SetFileDialogForTesting([docpath](bool, const QString&) { return docpath; });
    // A directory where the configuration file belongs: no write can replace it.
    const std::string ini = dir_.File("configuration/VELTMonitoring.ini");
    ASSERT_EQ(mkdir(ini.c_str(), 0777), 0);
    app_->ActiveLink()->SetProtocol(2);
    CVELTMonitoringDoc* doc = app_->ActiveDocument();
    EXPECT_FALSE(app_->OnFileSave());
    ASSERT_EQ(prompts_.size(), 1);
    EXPECT_EQ(prompts_[0], QString("Failed to save document.\n\nThe settings could not be written "
                                   "to %1: %2.")
                               .arg(QString::fromStdString(ini), std::strerror(EISDIR)));
    EXPECT_TRUE(doc->IsModified());
    EXPECT_TRUE(doc->ModifiedFlag());
    EXPECT_TRUE(doc->PathName().isEmpty());

    // Closing asks; Yes tries again, fails again and keeps the window.
    answer_ = QMessageBox::Yes;
    Area()->currentSubWindow()->close();
    QApplication::processEvents();
    ASSERT_EQ(prompts_.size(), 3);
    EXPECT_EQ(prompts_[1], "Save changes to VELTMo1?");
    EXPECT_TRUE(prompts_[2].startsWith("Failed to save document.\n\n"));
    EXPECT_EQ(Area()->subWindowList().size(), 1);

    // Once the file can be written, a save succeeds and closing no longer asks.
    ASSERT_EQ(rmdir(ini.c_str()), 0);
    prompts_.clear();
    ASSERT_TRUE(app_->OnFileSave());
    EXPECT_NE(dir_.Read("configuration/VELTMonitoring.ini").find("protocol=2"), std::string::npos);
    Area()->currentSubWindow()->close();
    QApplication::processEvents();
    EXPECT_TRUE(prompts_.isEmpty());
    EXPECT_TRUE(Area()->subWindowList().isEmpty());
}

TEST_F(ShellTest, ChangedLinkSettingsAskAndYesSavesThroughTheDialog) {
    Start();
    QString docpath = QString::fromStdString(dir_.File("saved.velt"));
    app_->SetFileDialogForTesting([docpath](bool, const QString&) { return docpath; });
    app_->ActiveLink()->SetTrendChannel(2);  // not a saved setting
    EXPECT_FALSE(app_->ActiveDocument()->IsModified());
    app_->ActiveLink()->SetProtocol(3);
    answer_ = QMessageBox::Yes;
    Area()->currentSubWindow()->close();
    QApplication::processEvents();
    EXPECT_EQ(prompts_.size(), 1);
    EXPECT_TRUE(QFile::exists(docpath));
    EXPECT_TRUE(Area()->subWindowList().isEmpty());
}

// Exit closes every window; the documents go with the application even though no
// event loop runs any more to carry out their deferred deletion.
TEST_F(ShellTest, ExitLeavesNoDocumentViewOrLinkBehind) {
    Start();
    QList<QPointer<QObject>> alive;
    alive << QPointer<QObject>(app_->ActiveDocument());
    app_->OnFileNew();
    ASSERT_EQ(Area()->subWindowList().size(), 2);
    for (QMdiSubWindow* w : Area()->subWindowList()) {
        alive << QPointer<QObject>(w) << QPointer<QObject>(w->widget());
    }
    alive << QPointer<QObject>(app_->ActiveDocument());
    app_->OnAppExit();
    EXPECT_TRUE(Area()->subWindowList().isEmpty());
    app_.reset();
    for (const QPointer<QObject>& p : alive) EXPECT_TRUE(p.isNull());
}

TEST_F(ShellTest, OpenTitlesTheWindowWithTheFileNameAndNewWindowSharesTheDocument) {
    Start();
    dir_.Write("patient.velt", "");
    ASSERT_NE(app_->OpenDocumentFile(QString::fromStdString(dir_.File("patient.velt"))), nullptr);
    EXPECT_EQ(Area()->currentSubWindow()->windowTitle(), "patient.velt");
    app_->OnWindowNew();
    ASSERT_EQ(Area()->subWindowList().size(), 3);
    EXPECT_EQ(Area()->subWindowList()[1]->windowTitle(), "patient.velt:1");
    EXPECT_EQ(Area()->subWindowList()[2]->windowTitle(), "patient.velt:2");
    // Each window has its own link.
    EXPECT_NE(CVELTMonitoringDoc::ViewOf(static_cast<CChildFrame*>(Area()->subWindowList()[1]))
                  ->GetLink(),
              CVELTMonitoringDoc::ViewOf(static_cast<CChildFrame*>(Area()->subWindowList()[2]))
                  ->GetLink());
    EXPECT_EQ(app_->OpenDocumentFile(QString::fromStdString(dir_.File("missing.velt"))), nullptr);
}

TEST_F(ShellTest, AboutBoxClosesWithEscape) {
    CAboutDlg dlg;
    QTimer::singleShot(0, &dlg, [&dlg] {
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&dlg, &esc);
    });
    EXPECT_EQ(dlg.exec(), QDialog::Rejected);
    EXPECT_TRUE(dlg.findChild<QLabel*>("version")->text().startsWith("VELT Monitoring Version"));
}

TEST_F(ShellTest, AboutBoxShowsTheConfigurationDirectory) {
    Start();
    CAboutDlg dlg;
    EXPECT_EQ(dlg.findChild<QLabel*>("configuration")->text().toStdString(),
              "Configuration: " + dir_.File("configuration"));
}

TEST_F(ShellTest, MainWindowCarriesTheProgramIcon) {
    Start();
    const QList<QSize> sizes = app_->MainFrame()->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
    EXPECT_TRUE(sizes.contains(QSize(256, 256)));
}

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
    std::string bytes(n, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return bytes;
}

}  // namespace

// A file given on the command line (a capture, a log, anything) opens as a document;
// saving it writes the settings and leaves every byte of the file as it was.
TEST_F(ShellTest, SavingAnOpenedFileKeepsItsContents) {
    const std::string bytes = RandomBytes(5000, 7);
    dir_.Write("session.cap", bytes);
    ASSERT_TRUE(app_->InitInstance({QString::fromStdString(dir_.File("session.cap"))}));
    QApplication::processEvents();
    ASSERT_NE(app_->ActiveLink(), nullptr);
    app_->ActiveLink()->SetHeartbeatSound(false);
    ASSERT_TRUE(app_->OnFileSave());
    EXPECT_TRUE(prompts_.isEmpty()) << prompts_.join("|").toStdString();
    EXPECT_EQ(dir_.Read("session.cap"), bytes);
    EXPECT_FALSE(app_->ActiveDocument()->IsModified());
    EXPECT_NE(dir_.Read("configuration/VELTMonitoring.ini").find("heartbeat=0"), std::string::npos);
    // Save As onto its own name is a save as well.
    app_->SetFileDialogForTesting(
        [this](bool, const QString&) { return QString::fromStdString(dir_.File("session.cap")); });
    ASSERT_TRUE(app_->OnFileSaveAs());
    EXPECT_EQ(dir_.Read("session.cap"), bytes);
}

TEST_F(ShellTest, SaveAsOntoAnotherFileWithContentsIsRefusedAndNamesIt) {
    Start();
    const std::string bytes = RandomBytes(4096, 11);
    dir_.Write("photo.jpg", bytes);
    const QString target = QString::fromStdString(dir_.File("photo.jpg"));
    app_->SetFileDialogForTesting([target](bool, const QString&) { return target; });
    app_->ActiveLink()->SetHeartbeatSound(false);
    CVELTMonitoringDoc* doc = app_->ActiveDocument();
    EXPECT_FALSE(app_->OnFileSaveAs());
    ASSERT_EQ(prompts_.size(), 1);
    EXPECT_TRUE(prompts_[0].startsWith(target + "\n")) << prompts_[0].toStdString();
    EXPECT_EQ(dir_.Read("photo.jpg"), bytes);
    EXPECT_TRUE(doc->PathName().isEmpty());
    EXPECT_TRUE(doc->IsModified());

    // An empty file of that name may be taken; a new name is created empty.
    dir_.Write("empty.velt", "");
    const QString empty = QString::fromStdString(dir_.File("empty.velt"));
    app_->SetFileDialogForTesting([empty](bool, const QString&) { return empty; });
    EXPECT_TRUE(app_->OnFileSaveAs());
    EXPECT_EQ(doc->PathName(), empty);
    EXPECT_FALSE(doc->IsModified());
    EXPECT_EQ(prompts_.size(), 1);
}

// The recent-file list sits in the configuration directory; a list an earlier version
// left in the per-user store moves there once.
TEST_F(ShellTest, RecentFilesLiveInTheConfigurationDirectory) {
    const QString old_entry = QString::fromStdString(dir_.File("earlier.velt"));
    {
        QSettings old("Local AppWizard-Generated Applications", "VELT Monitoring");
        old.setValue("Recent File List/File1", old_entry);
    }
    Start();
    EXPECT_EQ(app_->RecentFiles().value(0), old_entry);
    EXPECT_FALSE(QSettings("Local AppWizard-Generated Applications", "VELT Monitoring")
                     .contains("Recent File List/File1"))
        << "moved, not copied";
    dir_.Write("patient.velt", "");
    ASSERT_NE(app_->OpenDocumentFile(QString::fromStdString(dir_.File("patient.velt"))), nullptr);
    QSettings stored(QString::fromStdString(dir_.File("configuration/recent-files.ini")),
                     QSettings::IniFormat);
    EXPECT_EQ(stored.value("Recent File List/File1").toString(),
              QFileInfo(QString::fromStdString(dir_.File("patient.velt"))).absoluteFilePath());
    EXPECT_EQ(stored.value("Recent File List/File2").toString(), old_entry);
}
