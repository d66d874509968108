#include "app/gui/application.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPageSetupDialog>
#include <QPointer>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QSettings>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <algorithm>
#include <cstring>

#include "app/gui/about_dialog.h"
#include "app/gui/command_ids.h"
#include "app/gui/document.h"
#include "app/gui/toolbar_icons.h"
#include "display/alarm_dialog.h"
#include "display/alarm_watch.h"
#include "display/child_frame.h"
#include "display/main_frame.h"
#include "display/marks.h"
#include "display/monitoring_view.h"
#include "display/review_frame.h"
#include "link/configuration.h"
#include "link/gui/port_dialog.h"
#include "link/oximeter.h"
#include "platform/file_identity.h"
#include "platform/system_info.h"
#include "processing/measurement.h"
#include "sessions/session_recording.h"

namespace {

constexpr int kRecentFileCount = 4;
const char* const kAppTitle = "VELT Monitoring";

// Closing the main window is the Exit command: documents are offered for saving first.
class MainCloseFilter : public QObject {
public:
    MainCloseFilter(CVELTMonitoringApp* app, QObject* parent) : QObject(parent), app_(app) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Close && !app_->CloseAllDocuments()) {
            event->ignore();
            return true;
        }
        return false;
    }

private:
    CVELTMonitoringApp* app_;
};

}  // namespace

namespace {

// Earlier versions kept the list in the per-user store under the framework's default
// company name; it moves once, so nothing a user had is lost.
void MoveRecentFilesFromUserStore(QSettings& settings) {
    if (settings.childGroups().contains("Recent File List")) return;
    QSettings old("Local AppWizard-Generated Applications", kAppTitle);
    if (!old.childGroups().contains("Recent File List")) return;
    for (int i = 1; i <= kRecentFileCount; ++i) {
        const QString key = QString("Recent File List/File%1").arg(i);
        const QString f = old.value(key).toString();
        if (!f.isEmpty()) settings.setValue(key, f);
    }
    settings.sync();
    if (settings.status() == QSettings::NoError) old.remove("Recent File List");
}

}  // namespace

CVELTMonitoringApp::CVELTMonitoringApp() = default;

CVELTMonitoringApp::~CVELTMonitoringApp() {
    link_counts_timer_.stop();
    // Views (and with them their links) go before the process-wide state they use.
    // The dying frame's signals must not reach a half-destroyed main window.
    CMainFrame* frame = main_frame_;
    main_frame_ = nullptr;
    if (frame != nullptr) {
        disconnect(frame->MdiArea(), nullptr, this, nullptr);
        delete frame;
    }
    qDeleteAll(documents_);
    documents_.clear();
}

bool CVELTMonitoringApp::InitInstance(const QStringList& args) {
    // 1-4. The configuration directory and file beside the program; the recently used
    // files live there too, where the About box and --help point.
    const std::string ini = config::InitConfigurationPath(platform::ProgramDirectory());
    const QString dir = QFileInfo(QString::fromStdString(ini)).absolutePath();
    settings_ = std::make_unique<QSettings>(dir + "/recent-files.ini", QSettings::IniFormat);
    MoveRecentFilesFromUserStore(*settings_);
    for (int i = 1; i <= kRecentFileCount; ++i) {
        QString f = settings_->value(QString("Recent File List/File%1").arg(i)).toString();
        if (!f.isEmpty()) recent_files_.push_back(f);
    }

    // Sessions go into the working directory's "sessions" folder, read once like reconnect.
    const config::RecordingSettings recording = config::ReadRecordingSettings();
    SessionFolder::Process().Configure(QDir::current().absoluteFilePath("sessions").toStdString(),
                                       recording.max_mb << 20, recording.enabled);

    // 5. The document type: each window gets a view whose link uses the shared state.
    measurement_ = std::make_unique<processing::Measurement>();
    processing::Measurement* m = measurement_.get();
    CVELTMonitoringView::SetLinkFactory([m](const config::ConnectionSettings& s) {
        auto* link = new COximeter(s.port.c_str(), s.protocol, s.heartbeat, m);
        link->SetReconnect(s.reconnect);
        return link;
    });

    // 6. The main frame.
    main_frame_ = new CMainFrame();
    main_frame_->setWindowTitle(kAppTitle);
    main_frame_->setWindowIcon(ProgramIcon());
    if (!main_frame_->Create()) {
        delete main_frame_;
        main_frame_ = nullptr;
        return false;
    }
    BuildCommands();
    BuildMenus();
    main_frame_->installEventFilter(new MainCloseFilter(this, main_frame_));
    connect(main_frame_->MdiArea(), &QMdiArea::subWindowActivated, this,
            &CVELTMonitoringApp::OnSubWindowActivated);
    printer_ = std::make_unique<QPrinter>();
    // Twice a second at most: the counts change with every frame. While records are
    // shown they bring the update; the timer, a little later, runs it when they stop.
    link_counts_timer_.setInterval(kLinkCountsMs + kLinkCountsMs / 5);
    connect(&link_counts_timer_, &QTimer::timeout, this, &CVELTMonitoringApp::UpdateLinkCounts);
    since_link_counts_.start();
    link_counts_timer_.start();

    // 7. The command line: no file, a new document; a file, open it.
    bool ok = args.isEmpty() ? OnFileNew() != nullptr : OpenFile(args.front());
    if (!ok) return false;

    // 8. Show the main window, large enough for one restored document window (a review
    // window, with its overview and transport bar, is taller than a monitoring one).
    QSize child(CChildFrame::kRestoredWidth, CChildFrame::kRestoredHeight);
    if (auto* area = qobject_cast<QMdiArea*>(main_frame_->centralWidget()))
        for (QMdiSubWindow* w : area->subWindowList()) child = child.expandedTo(w->size());
    QSize chrome = main_frame_->sizeHint() - main_frame_->centralWidget()->sizeHint();
    main_frame_->resize(std::max(chrome.width(), 0) + child.width() + 24,
                        std::max(chrome.height(), 0) + child.height() + 24);
    main_frame_->show();
    return true;
}

void CVELTMonitoringApp::BuildCommands() {
    CMainFrame* f = main_frame_;
    auto add = [f](int id, const char* text, const char* prompt, const QKeySequence& key = {},
                   const QKeySequence& key2 = {}) {
        QAction* a = f->AddCommand(id, text, prompt);
        QList<QKeySequence> keys;
        if (!key.isEmpty()) keys << key;
        if (!key2.isEmpty()) keys << key2;
        if (!keys.isEmpty()) a->setShortcuts(keys);
        return a;
    };
    // Framework commands with the framework's prompts.
    add(cmd::kFileNew, "&New\tCtrl+N", "Create a new document\nNew", QKeySequence("Ctrl+N"));
    add(cmd::kFileOpen, "&Open...\tCtrl+O", "Open an existing document\nOpen",
        QKeySequence("Ctrl+O"));
    add(cmd::kOpenSession, "Open Session..", "Review a recorded session\nOpen Session");
    add(cmd::kFileClose, "&Close", "Close the active document\nClose");
    add(cmd::kFileSave, "&Save\tCtrl+S", "Save the active document\nSave", QKeySequence("Ctrl+S"));
    add(cmd::kFileSaveAs, "Save &As...", "Save the active document with a new name\nSave As");
    // A review's own command: enabled while a review window is the active one.
    add(cmd::kExportSession, "Export..", "Export the reviewed session to EDF+ or CSV\nExport")
        ->setEnabled(false);
    add(cmd::kReportSession, "Report..",
        "Write the oximetry report (PDF) of the reviewed session or its selection\nReport")
        ->setEnabled(false);
    add(cmd::kFilePrint, "&Print...\tCtrl+P", "Print the active document\nPrint",
        QKeySequence("Ctrl+P"));
    add(cmd::kFilePrintPreview, "Print Pre&view", "Display full pages\nPrint Preview");
    add(cmd::kFilePrintSetup, "P&rint Setup...",
        "Change the printer and printing options\nPrint Setup");
    add(cmd::kFileMruFile1, "Recent File", "Open this document")->setEnabled(false);
    add(cmd::kAppExit, "E&xit", "Quit the application; prompts to save documents\nExit");
    add(cmd::kEditUndo, "&Undo\tCtrl+Z", "Undo the last action\nUndo", QKeySequence("Ctrl+Z"),
        QKeySequence("Alt+Backspace"));
    add(cmd::kEditCut, "Cu&t\tCtrl+X", "Cut the selection and put it on the Clipboard\nCut",
        QKeySequence("Ctrl+X"), QKeySequence("Shift+Del"));
    add(cmd::kEditCopy, "&Copy\tCtrl+C", "Copy the selection and put it on the Clipboard\nCopy",
        QKeySequence("Ctrl+C"), QKeySequence("Ctrl+Ins"));
    add(cmd::kEditPaste, "&Paste\tCtrl+V", "Insert Clipboard contents\nPaste",
        QKeySequence("Ctrl+V"), QKeySequence("Shift+Ins"));
    add(cmd::kViewToolbar, "&Toolbar", "Show or hide the toolbar\nToggle ToolBar")
        ->setCheckable(true);
    add(cmd::kViewStatusBar, "&Status Bar", "Show or hide the status bar\nToggle StatusBar")
        ->setCheckable(true);
    add(cmd::kWindowNew, "&New Window", "Open another window for the active document\nNew Window");
    add(cmd::kWindowCascade, "&Cascade", "Arrange windows so they overlap\nCascade Windows");
    add(cmd::kWindowTile, "&Tile", "Arrange windows as non-overlapping tiles\nTile Windows");
    add(cmd::kWindowArrange, "&Arrange Icons",
        "Arrange icons at the bottom of the window\nArrange Icons");
    add(cmd::kAppAbout, "&About VELT Monitoring...",
        "Display program information, version number and copyright\nAbout");
    add(cmd::kNextPane, "Next Pane", "Switch to the next window pane\nNext Pane",
        QKeySequence("F6"));
    add(cmd::kPrevPane, "Previous Pane", "Switch back to the previous window pane\nPrevious Pane",
        QKeySequence("Shift+F6"));
    // The application's own commands have no prompts.
    add(cmd::kLoadEdf, "Load..", nullptr);
    add(cmd::kStopReplay, "Stop Replay", nullptr)->setEnabled(false);
    add(cmd::kCopyAsImage, "Copy as image", nullptr);
    add(cmd::kSaveAsImage, "Save as image..", nullptr);
    add(cmd::kHeartbeatSound, "Heartbeat sound", nullptr)->setCheckable(true);
    add(cmd::kChannelIR, "IR", nullptr)->setCheckable(true);
    add(cmd::kChannelRed, "Red", nullptr)->setCheckable(true);
    add(cmd::kChannelRed2, "Red 2", nullptr)->setCheckable(true);
    add(cmd::kPort, "Port..", nullptr);
    add(cmd::kProtocol1, "Generic 57.6 kBd", nullptr)->setCheckable(true);
    add(cmd::kProtocol2, "Generic 115.2 kBd (w. ECG)", nullptr)->setCheckable(true);
    add(cmd::kProtocol3, "Reduced 9.6 kBd", nullptr)->setCheckable(true);
    add(cmd::kConnectAgain, "Connect again", nullptr);
    add(cmd::kDisconnect, "Disconnect", nullptr);
    add(cmd::kRecordSessions, "Record sessions", nullptr)->setCheckable(true);
    add(cmd::kAlarms, "Alarms..", nullptr);
    add(cmd::kAudioPause, "Audio pause\tF9", nullptr, QKeySequence("F9"));
    add(cmd::kMark, "Mark..\tCtrl+M", "Mark this moment, with an optional text\nMark",
        QKeySequence("Ctrl+M"));
    add(cmd::kOpenSessionsFolder, "Open Sessions Folder", nullptr);
    add(cmd::kElfToFlash, "ELF to Flash..", nullptr);
    add(cmd::kD43ToFlash, "D43 to Flash..", nullptr);
    add(cmd::kPublish, "Publish..", nullptr);

    // The Edit items have no handler.
    for (int id : {cmd::kEditUndo, cmd::kEditCut, cmd::kEditCopy, cmd::kEditPaste})
        f->Command(id)->setEnabled(false);

    // Accelerators without a menu item live on the main window.
    f->addAction(f->Command(cmd::kNextPane));
    f->addAction(f->Command(cmd::kPrevPane));

    // The toolbar: New, Open, Save | Cut, Copy, Paste | Print | About | Audio pause.
    QToolBar* bar = f->ToolBar();
    for (int id : {cmd::kFileNew, cmd::kFileOpen, cmd::kFileSave, 0, cmd::kEditCut, cmd::kEditCopy,
                   cmd::kEditPaste, 0, cmd::kFilePrint, 0, cmd::kAppAbout}) {
        if (id == 0) {
            bar->addSeparator();
            continue;
        }
        QAction* a = f->Command(id);
        a->setIcon(ToolbarIcon(id));
        bar->addAction(a);
    }
    // The audio pause, apart: a bell that tells while it is paused, and for how long.
    bar->addSeparator();
    QAction* pause = f->Command(cmd::kAudioPause);
    pause->setIcon(AudioPauseIcon(false));
    pause->setToolTip("Audio pause (F9): silences the alarms' sound for two minutes");
    bar->addAction(pause);

    ConnectFrameworkCommands();
    ConnectOptionCommands();
    ConnectSubsystemCommands();
}

void CVELTMonitoringApp::ConnectFrameworkCommands() {
    CMainFrame* f = main_frame_;
    auto on = [this, f](int id, auto handler) {
        connect(f->Command(id), &QAction::triggered, this, handler);
    };
    on(cmd::kFileNew, [this] { OnFileNew(); });
    on(cmd::kFileOpen, [this] { OnFileOpen(); });
    on(cmd::kOpenSession, [this] { OnOpenSession(); });
    on(cmd::kExportSession, [f] {
        if (auto* review = dynamic_cast<CReviewFrame*>(f->MdiArea()->currentSubWindow()))
            review->RunExport();
    });
    on(cmd::kMark, [this, f] {
        if (auto* review = dynamic_cast<CReviewFrame*>(f->MdiArea()->currentSubWindow()))
            return review->AddMark();
        std::string text;
        uint64_t at_us = 0;
        CVELTMonitoringView* view = ActiveView();
        if (view != nullptr && MarkLive(view, &text, &at_us) && on_marked)
            on_marked(view, at_us, text);
    });
    on(cmd::kReportSession, [f] {
        if (auto* review = dynamic_cast<CReviewFrame*>(f->MdiArea()->currentSubWindow()))
            review->RunReport();
    });
    on(cmd::kFileClose, [this] { OnFileClose(); });
    on(cmd::kFileSave, [this] { OnFileSave(); });
    on(cmd::kFileSaveAs, [this] { OnFileSaveAs(); });
    on(cmd::kFilePrint, [this] { Print(false); });
    on(cmd::kFilePrintPreview, [this] { Print(true); });
    on(cmd::kFilePrintSetup, [this] { PrintSetup(); });
    on(cmd::kAppExit, [this] { OnAppExit(); });
    on(cmd::kAppAbout, [this] { OnAppAbout(); });
    on(cmd::kWindowNew, [this] { OnWindowNew(); });
    on(cmd::kWindowCascade, [f] { f->MdiArea()->cascadeSubWindows(); });
    on(cmd::kWindowTile, [f] { f->MdiArea()->tileSubWindows(); });
    on(cmd::kWindowArrange, [f] {
        // Arrange Icons lines up the minimized windows along the bottom.
        QMdiArea* area = f->MdiArea();
        int x = 0;
        for (QMdiSubWindow* w : area->subWindowList()) {
            if (!w->isMinimized()) continue;
            w->move(x, area->viewport()->height() - w->height());
            x += w->width();
        }
    });
    on(cmd::kNextPane, [f] { f->MdiArea()->activateNextSubWindow(); });
    on(cmd::kPrevPane, [f] { f->MdiArea()->activatePreviousSubWindow(); });

    QAction* toolbar = f->Command(cmd::kViewToolbar);
    toolbar->setChecked(true);
    connect(toolbar, &QAction::toggled, f->ToolBar(), &QToolBar::setVisible);
    connect(f->ToolBar(), &QToolBar::visibilityChanged, toolbar,
            [toolbar, f](bool) { toolbar->setChecked(!f->ToolBar()->isHidden()); });
    QAction* status = f->Command(cmd::kViewStatusBar);
    status->setChecked(true);
    connect(status, &QAction::toggled, f->statusBar(), &QStatusBar::setVisible);
}

void CVELTMonitoringApp::ConnectOptionCommands() {
    // Recording is the process's, not a window's: its mark does not follow the active view.
    CheckMenuCommand(cmd::kRecordSessions, SessionFolder::Process().Enabled());
    connect(main_frame_->Command(cmd::kRecordSessions), &QAction::triggered, this, [this] {
        SessionFolder& folder = SessionFolder::Process();
        folder.SetEnabled(!folder.Enabled());
        CheckMenuCommand(cmd::kRecordSessions, folder.Enabled());
    });
    connect(main_frame_->Command(cmd::kOpenSessionsFolder), &QAction::triggered, this,
            [] { OpenSessionsFolder(); });
    connect(main_frame_->Command(cmd::kAlarms), &QAction::triggered, this, [this] {
        CVELTMonitoringView* view = ActiveView();
        AlarmWatch* watch = view != nullptr ? view->Alarms() : nullptr;
        if (watch == nullptr) return;
        alarms::Settings settings = watch->Settings();
        if (EditAlarmSettings(main_frame_, &settings)) watch->SetSettings(settings);
    });
    // The sound of every window's alarms pauses together: one key for the bedside.
    connect(main_frame_->Command(cmd::kAudioPause), &QAction::triggered, this, [this] {
        for (QMdiSubWindow* w : main_frame_->MdiArea()->subWindowList()) {
            auto* frame = dynamic_cast<CChildFrame*>(w);
            CVELTMonitoringView* view = frame ? CVELTMonitoringDoc::ViewOf(frame) : nullptr;
            if (view != nullptr && view->Alarms() != nullptr) view->Alarms()->PauseAudio();
        }
        UpdateAudioPause();
    });
    for (int id : {cmd::kHeartbeatSound, cmd::kChannelIR, cmd::kChannelRed, cmd::kChannelRed2,
                   cmd::kProtocol1, cmd::kProtocol2, cmd::kProtocol3, cmd::kConnectAgain,
                   cmd::kDisconnect, cmd::kPort}) {
        connect(main_frame_->Command(id), &QAction::triggered, this,
                [this, id] { OnOptionCommand(id); });
    }
}

void CVELTMonitoringApp::ConnectSubsystemCommands() {
    for (int id : {cmd::kLoadEdf, cmd::kStopReplay, cmd::kCopyAsImage, cmd::kSaveAsImage,
                   cmd::kElfToFlash, cmd::kD43ToFlash, cmd::kPublish}) {
        connect(main_frame_->Command(id), &QAction::triggered, this,
                [this, id] { OnSubsystemCommand(id); });
    }
}

void CVELTMonitoringApp::BuildMenus() {
    CMainFrame* f = main_frame_;
    auto menu = [f](const char* title, std::initializer_list<int> ids) {
        auto* m = new QMenu(title, f);
        for (int id : ids) {
            if (id == 0)
                m->addSeparator();
            else
                m->addAction(f->Command(id));
        }
        return m;
    };
    QMenu* file128 =
        menu("&File", {cmd::kFileNew, cmd::kFileOpen, cmd::kOpenSession, 0, cmd::kFilePrintSetup, 0,
                       cmd::kOpenSessionsFolder, 0, cmd::kFileMruFile1, 0, cmd::kAppExit});
    QMenu* view128 = menu("&View", {cmd::kViewToolbar, cmd::kViewStatusBar});
    QMenu* help128 = menu("&Help", {cmd::kAppAbout});

    QMenu* file129 =
        menu("&File", {cmd::kFileNew, cmd::kFileOpen, cmd::kOpenSession, cmd::kFileClose,
                       cmd::kFileSave, cmd::kFileSaveAs, cmd::kExportSession, cmd::kReportSession,
                       0, cmd::kFilePrint, cmd::kFilePrintPreview, cmd::kFilePrintSetup, 0,
                       cmd::kOpenSessionsFolder, 0, cmd::kFileMruFile1, 0, cmd::kAppExit});
    QMenu* edf = menu("EDFFile", {cmd::kLoadEdf, cmd::kStopReplay});
    QMenu* edit = menu("&Edit", {cmd::kEditUndo, 0, cmd::kEditCut, cmd::kEditCopy, cmd::kEditPaste,
                                 0, cmd::kCopyAsImage, cmd::kSaveAsImage, 0, cmd::kMark});
    QMenu* view129 = menu("&View", {cmd::kViewToolbar, cmd::kViewStatusBar});
    QMenu* window = menu(
        "&Window", {cmd::kWindowNew, cmd::kWindowCascade, cmd::kWindowTile, cmd::kWindowArrange});
    QMenu* option = new QMenu("Option", f);
    option->addAction(f->Command(cmd::kHeartbeatSound));
    QMenu* pleth = option->addMenu("Plethysmogramm");
    pleth->addAction(f->Command(cmd::kChannelIR));
    pleth->addAction(f->Command(cmd::kChannelRed));
    pleth->addAction(f->Command(cmd::kChannelRed2));
    option->addSeparator();
    option->addAction(f->Command(cmd::kPort));
    QMenu* protocol = option->addMenu("Protocol..");
    protocol->addAction(f->Command(cmd::kProtocol1));
    protocol->addAction(f->Command(cmd::kProtocol2));
    protocol->addSeparator();
    protocol->addAction(f->Command(cmd::kProtocol3));
    option->addAction(f->Command(cmd::kConnectAgain));
    option->addAction(f->Command(cmd::kDisconnect));
    option->addAction(f->Command(cmd::kPublish));
    option->addAction(f->Command(cmd::kRecordSessions));
    option->addAction(f->Command(cmd::kAlarms));
    option->addAction(f->Command(cmd::kAudioPause));
    option->addSeparator();
    option->addAction(f->Command(cmd::kElfToFlash));
    option->addAction(f->Command(cmd::kD43ToFlash));
    QMenu* help129 = menu("&Help", {cmd::kAppAbout});

    // The Window menu also lists the open windows.
    QAction* window_list_separator = window->addSeparator();
    connect(window, &QMenu::aboutToShow, this, [this, window, window_list_separator] {
        const QList<QAction*> actions = window->actions();
        bool after = false;
        for (QAction* a : actions) {
            if (after) {
                window->removeAction(a);
                a->deleteLater();
            }
            if (a == window_list_separator) after = true;
        }
        QMdiArea* area = main_frame_->MdiArea();
        int n = 0;
        for (QMdiSubWindow* w : area->subWindowList()) {
            QAction* a = window->addAction(QString("&%1 %2").arg(++n).arg(w->windowTitle()));
            a->setCheckable(true);
            a->setChecked(w == area->currentSubWindow());
            connect(a, &QAction::triggered, area, [area, w] { area->setActiveSubWindow(w); });
        }
        window_list_separator->setVisible(n > 0);
    });

    file_menus_ = {file128, file129};
    f->SetMenuSets({file128, view128, help128},
                   {file129, edf, edit, view129, window, option, help129});
    UpdateRecentFileMenu();
}

void CVELTMonitoringApp::OnOptionCommand(int id) {
    if (id == cmd::kPort) {
        RunPortDialog(ActiveLink(), main_frame_);  // also without a monitoring window
        return;
    }
    COximeter* link = ActiveLink();
    if (link == nullptr) {
        // Qt flipped the chosen item's mark; with no link it keeps the mark last set.
        if (main_frame_->Command(id)->isCheckable())
            CheckMenuCommand(id, main_frame_->MenuCheck(id));
        return;
    }
    switch (id) {
        case cmd::kHeartbeatSound:
            link->SetHeartbeatSound(!link->HeartbeatSound());
            CheckMenuCommand(cmd::kHeartbeatSound, link->HeartbeatSound());
            break;
        case cmd::kChannelIR:
        case cmd::kChannelRed:
        case cmd::kChannelRed2:
            link->SetTrendChannel(id - cmd::kChannelIR + 1);
            UpdateChannelChecks(link);
            break;
        case cmd::kProtocol1:
        case cmd::kProtocol2:
        case cmd::kProtocol3:
            link->SetProtocol(id - cmd::kProtocol1 + 1);
            UpdateProtocolChecks(link);
            break;
        case cmd::kConnectAgain:
            link->Reconnect();
            break;
        case cmd::kDisconnect:
            link->Disconnect();
            break;
        default:
            break;
    }
}

void CVELTMonitoringApp::OnSubsystemCommand(int id) {
    const std::function<void()>* handler = nullptr;
    switch (id) {
        case cmd::kLoadEdf:
            handler = &on_load_edf;
            break;
        case cmd::kStopReplay:
            handler = &on_stop_replay;
            break;
        case cmd::kCopyAsImage:
            handler = &on_copy_as_image;
            break;
        case cmd::kSaveAsImage:
            handler = &on_save_as_image;
            break;
        case cmd::kElfToFlash:
            handler = &on_elf_to_flash;
            break;
        case cmd::kD43ToFlash:
            handler = &on_d43_to_flash;
            break;
        case cmd::kPublish:
            handler = &on_publish;
            break;
        default:
            break;
    }
    // Unwired until the owning subsystem sets its handler.
    if (handler != nullptr && *handler) (*handler)();
    if (id == cmd::kLoadEdf || id == cmd::kStopReplay) UpdateReplayProgress();
}

CVELTMonitoringView* CVELTMonitoringApp::ActiveView() const {
    if (main_frame_ == nullptr) return nullptr;
    QMdiSubWindow* window = main_frame_->MdiArea()->currentSubWindow();
    // A review's view prints and pictures like a monitoring window's.
    if (auto* review = dynamic_cast<CReviewFrame*>(window)) return review->View();
    auto* frame = dynamic_cast<CChildFrame*>(window);
    return frame ? CVELTMonitoringDoc::ViewOf(frame) : nullptr;
}

COximeter* CVELTMonitoringApp::ActiveLink() const {
    CVELTMonitoringView* view = ActiveView();
    return view ? view->GetLink() : nullptr;
}

CVELTMonitoringDoc* CVELTMonitoringApp::ActiveDocument() const {
    if (main_frame_ == nullptr) return nullptr;
    auto* frame = dynamic_cast<CChildFrame*>(main_frame_->MdiArea()->currentSubWindow());
    for (CVELTMonitoringDoc* d : documents_)
        if (d->Frames().contains(frame)) return d;
    return nullptr;
}

void CVELTMonitoringApp::CheckMenuCommand(int id, bool on) {
    if (main_frame_ != nullptr) main_frame_->CheckMenuCommand(id, on);
}

void CVELTMonitoringApp::UpdateProtocolChecks(COximeter* link) {
    CheckMenuCommand(cmd::kProtocol1, link->Protocol() == 1);
    CheckMenuCommand(cmd::kProtocol2, link->Protocol() == 2);
    CheckMenuCommand(cmd::kProtocol3, link->Protocol() == 3);
}

void CVELTMonitoringApp::UpdateChannelChecks(COximeter* link) {
    CheckMenuCommand(cmd::kChannelIR, link->TrendChannel() == 1);
    CheckMenuCommand(cmd::kChannelRed, link->TrendChannel() == 2);
    CheckMenuCommand(cmd::kChannelRed2, link->TrendChannel() == 3);
}

void CVELTMonitoringApp::UpdateChecksFrom(CVELTMonitoringView* view) {
    if (view == nullptr || view->GetLink() == nullptr) return;
    COximeter* link = view->GetLink();
    CheckMenuCommand(cmd::kHeartbeatSound, link->HeartbeatSound());
    UpdateProtocolChecks(link);
    UpdateChannelChecks(link);
}

void CVELTMonitoringApp::OnSubWindowActivated(QMdiSubWindow* window) {
    const bool review = dynamic_cast<CReviewFrame*>(window) != nullptr;
    main_frame_->Command(cmd::kExportSession)->setEnabled(review);
    main_frame_->Command(cmd::kReportSession)->setEnabled(review);
    // A review has nothing to save: its session is written only by its recorder.
    main_frame_->Command(cmd::kFileSave)->setEnabled(!review);
    main_frame_->Command(cmd::kFileSaveAs)->setEnabled(!review);
    if (window == last_active_) return;
    // Deactivation of the old view first, then activation of the new one.
    QPointer<QMdiSubWindow> old = last_active_;
    if (old) UpdateChecksFrom(CVELTMonitoringDoc::ViewOf(dynamic_cast<CChildFrame*>(old.data())));
    if (window != nullptr) {
        UpdateChecksFrom(CVELTMonitoringDoc::ViewOf(dynamic_cast<CChildFrame*>(window)));
        last_active_ = window;
    }
    UpdateMainTitle();
}

CChildFrame* CVELTMonitoringApp::CreateFrame(CVELTMonitoringDoc* doc) {
    auto* frame = new CChildFrame();
    auto* view = new CVELTMonitoringView(frame);
    frame->setWidget(view);
    main_frame_->MdiArea()->addSubWindow(frame);
    doc->AddFrame(frame);
    connect(frame, &CChildFrame::aboutToClose, this, &CVELTMonitoringApp::OnFrameAboutToClose);
    connect(frame, &QObject::destroyed, this, [this, frame] { OnFrameDestroyed(frame); });
    if (AlarmWatch* alarms = view->Alarms())
        connect(alarms, &AlarmWatch::highestChanged, this, &CVELTMonitoringApp::UpdateMainTitle);
    connect(view, &CVELTMonitoringView::recordsShown, this, [this] {
        if (since_link_counts_.elapsed() >= kLinkCountsMs) UpdateLinkCounts();
    });
    frame->ShowPlaced();
    main_frame_->UpdateMenuSet();
    main_frame_->MdiArea()->setActiveSubWindow(frame);
    return frame;
}

CVELTMonitoringDoc* CVELTMonitoringApp::OnFileNew() {
    auto* doc = new CVELTMonitoringDoc(this);
    if (!doc->OnNewDocument()) {
        delete doc;
        return nullptr;
    }
    doc->SetTitle(QString("VELTMo%1").arg(++untitled_count_));
    documents_.push_back(doc);
    connect(doc, &CVELTMonitoringDoc::titleChanged, this, &CVELTMonitoringApp::UpdateMainTitle);
    CreateFrame(doc);
    return doc;
}

CVELTMonitoringDoc* CVELTMonitoringApp::OpenDocumentFile(const QString& path) {
    QFileInfo info(path);
    if (!info.exists() || !info.isFile()) {
        Warn(QString("%1\nCannot open this file.").arg(path));
        return nullptr;
    }
    // A document already open is activated instead of opened twice.
    for (CVELTMonitoringDoc* d : documents_) {
        if (!d->PathName().isEmpty() && QFileInfo(d->PathName()) == info &&
            !d->Frames().isEmpty()) {
            main_frame_->MdiArea()->setActiveSubWindow(d->Frames().front());
            return d;
        }
    }
    auto* doc = new CVELTMonitoringDoc(this);
    doc->SetPathName(info.absoluteFilePath());
    doc->SetTitle(info.fileName());
    doc->Serialize(false);
    documents_.push_back(doc);
    connect(doc, &CVELTMonitoringDoc::titleChanged, this, &CVELTMonitoringApp::UpdateMainTitle);
    CreateFrame(doc);
    AddToRecentFiles(info.absoluteFilePath());
    return doc;
}

void CVELTMonitoringApp::OnFileOpen() {
    QString path = file_dialog_ ? file_dialog_(false, QString())
                                : QFileDialog::getOpenFileName(main_frame_, "Open", QString(),
                                                               "All Files (*)");
    if (!path.isEmpty()) OpenFile(path);
}

namespace {

// A file named as a session is read as one or refused: it never opens as a document
// (which would open a port).
bool NamedAsSession(const QString& path) {
    return path.endsWith(QLatin1String(kSessionExtension), Qt::CaseInsensitive);
}

// Why path cannot be opened as a file at all; empty when it can be tried.
QString NotAFile(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir()) return "This is a folder, not a file.";
    if (!info.exists()) return "Cannot open this file: there is no such file.";
    if (!info.isFile()) return "Cannot open this file: it is not a regular file.";
    return QString();
}

}  // namespace

bool CVELTMonitoringApp::OpenFile(const QString& path) {
    if (const QString why = NotAFile(path); !why.isEmpty()) {
        Warn(QString("%1\n%2").arg(path, why));
        return false;
    }
    if (CReviewFrame::IsSessionFile(path) || NamedAsSession(path))
        return OpenReview(path) != nullptr;
    return OpenDocumentFile(path) != nullptr;
}

void CVELTMonitoringApp::OnOpenSession() {
    QString path = file_dialog_ ? file_dialog_(false, QString())
                                : QFileDialog::getOpenFileName(main_frame_, "Open Session",
                                                               QString(), "All Files (*)");
    if (path.isEmpty()) return;
    if (const QString why = NotAFile(path); !why.isEmpty()) {
        Warn(QString("%1\n%2").arg(path, why));
        return;
    }
    if (!CReviewFrame::IsSessionFile(path) && !NamedAsSession(path)) {
        Warn(QString("%1\nThis file is not a recorded session.").arg(path));
        return;
    }
    OpenReview(path);
}

CReviewFrame* CVELTMonitoringApp::OpenReview(const QString& path) {
    auto* frame = new CReviewFrame();
    if (!frame->Open(path)) {
        Warn(QString("%1\nThis recorded session cannot be read: %2.").arg(path, frame->Error()));
        delete frame;
        return nullptr;
    }
    main_frame_->MdiArea()->addSubWindow(frame);
    connect(frame, &QObject::destroyed, this, [this, frame] {
        if (last_active_ == frame) last_active_ = nullptr;
        if (main_frame_ == nullptr) return;
        main_frame_->UpdateMenuSet();
        UpdateMainTitle();
    });
    frame->ShowPlaced();
    main_frame_->UpdateMenuSet();
    main_frame_->MdiArea()->setActiveSubWindow(frame);
    frame->setFocus();
    AddToRecentFiles(QFileInfo(path).absoluteFilePath());
    return frame;
}

void CVELTMonitoringApp::Warn(const QString& text) {
    if (prompt_)
        prompt_(text);
    else
        QMessageBox::warning(main_frame_, kAppTitle, text);
}

void CVELTMonitoringApp::WarnSaveFailed(const CVELTMonitoringDoc* doc) {
    const QString& reason = doc->SaveError();
    Warn(reason.isEmpty() ? QString("Failed to save document.")
                          : QString("Failed to save document.\n\n%1").arg(reason));
}

bool CVELTMonitoringApp::OnFileSave() {
    CVELTMonitoringDoc* doc = ActiveDocument();
    return doc != nullptr && SaveDocument(doc);
}

QString CVELTMonitoringApp::OpenSessionAt(const QString& path) const {
    const std::string file = QFile::encodeName(path).toStdString();
    for (QMdiSubWindow* w : main_frame_->MdiArea()->subWindowList()) {
        QString session;
        if (auto* review = dynamic_cast<CReviewFrame*>(w)) {
            session = review->SessionPath();
        } else if (CVELTMonitoringView* view =
                       CVELTMonitoringDoc::ViewOf(dynamic_cast<CChildFrame*>(w));
                   view != nullptr && view->GetLink() != nullptr) {
            session = QFile::decodeName(view->GetLink()->Recording().Path().c_str());
        }
        if (!session.isEmpty() &&
            platform::SameFile(file, QFile::encodeName(session).toStdString()))
            return session;
    }
    return platform::HeldByWriter(file) ? path : QString();
}

bool CVELTMonitoringApp::RefuseOpenSession(const QString& path) {
    const QString session = OpenSessionAt(path);
    if (session.isEmpty()) return false;
    Warn(QString("%1\nThis is the open session %2: the document is never saved over it. Choose "
                 "another name.")
             .arg(path, session));
    return true;
}

bool CVELTMonitoringApp::SaveDocument(CVELTMonitoringDoc* doc) {
    if (doc->PathName().isEmpty()) return DoSaveAs(doc);
    if (RefuseOpenSession(doc->PathName())) return false;
    if (!doc->DoSave(doc->PathName())) {
        WarnSaveFailed(doc);
        return false;
    }
    AddToRecentFiles(doc->PathName());
    return true;
}

bool CVELTMonitoringApp::OnFileSaveAs() {
    CVELTMonitoringDoc* doc = ActiveDocument();
    return doc != nullptr && DoSaveAs(doc);
}

bool CVELTMonitoringApp::DoSaveAs(CVELTMonitoringDoc* doc) {
    QString suggested = doc->PathName().isEmpty() ? doc->Title() : doc->PathName();
    QString path = file_dialog_ ? file_dialog_(true, suggested)
                                : QFileDialog::getSaveFileName(main_frame_, "Save As", suggested,
                                                               "All Files (*)");
    if (path.isEmpty()) return false;
    if (RefuseOpenSession(path)) return false;
    if (doc->WouldReplaceContents(path)) {
        Warn(QString("%1\nThis file already holds data and is not replaced. Choose another name.")
                 .arg(path));
        return false;
    }
    if (!doc->DoSave(path)) {
        WarnSaveFailed(doc);
        return false;
    }
    doc->SetTitle(QFileInfo(path).fileName());
    AddToRecentFiles(QFileInfo(path).absoluteFilePath());
    return true;
}

bool CVELTMonitoringApp::SaveModified(CVELTMonitoringDoc* doc) {
    if (!doc->IsModified()) return true;
    QString text = QString("Save changes to %1?")
                       .arg(doc->PathName().isEmpty() ? doc->Title() : doc->PathName());
    QMessageBox::StandardButton answer =
        prompt_ ? prompt_(text)
                : QMessageBox::question(main_frame_, kAppTitle, text,
                                        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                        QMessageBox::Yes);
    if (answer == QMessageBox::Cancel) return false;
    if (answer == QMessageBox::No) return true;
    return SaveDocument(doc);
}

void CVELTMonitoringApp::OnFileClose() {
    // A review has nothing to save.
    if (auto* review = dynamic_cast<CReviewFrame*>(main_frame_->MdiArea()->currentSubWindow())) {
        review->close();
        return;
    }
    CVELTMonitoringDoc* doc = ActiveDocument();
    if (doc == nullptr || !SaveModified(doc)) return;
    closing_all_ = true;  // asked once for the whole document
    for (CChildFrame* f : doc->Frames()) f->close();
    closing_all_ = false;
}

void CVELTMonitoringApp::OnFrameAboutToClose(CChildFrame* frame, bool* accept) {
    if (closing_all_) return;
    for (CVELTMonitoringDoc* d : documents_) {
        // Only the last window of a document asks.
        if (d->Frames().contains(frame) && d->Frames().size() == 1 && !SaveModified(d))
            *accept = false;
    }
}

void CVELTMonitoringApp::OnFrameDestroyed(CChildFrame* frame) {
    if (last_active_ == frame) last_active_ = nullptr;
    for (int i = 0; i < documents_.size(); ++i) {
        CVELTMonitoringDoc* d = documents_[i];
        if (!d->Frames().contains(frame)) continue;
        d->RemoveFrame(frame);
        if (d->Frames().isEmpty()) {
            documents_.removeAt(i);
            // Later, as a caller up the stack may still hold it; should the event loop
            // have ended by then, the app, its parent, deletes it.
            d->deleteLater();
        }
        break;
    }
    if (main_frame_ != nullptr) {
        main_frame_->UpdateMenuSet();
        UpdateMainTitle();
    }
}

void CVELTMonitoringApp::OnWindowNew() {
    CVELTMonitoringDoc* doc = ActiveDocument();
    if (doc != nullptr) CreateFrame(doc);
}

bool CVELTMonitoringApp::CloseAllDocuments() {
    for (CVELTMonitoringDoc* d : documents_)
        if (!SaveModified(d)) return false;
    closing_all_ = true;
    const QList<CVELTMonitoringDoc*> docs = documents_;
    for (CVELTMonitoringDoc* d : docs) {
        const QList<CChildFrame*> frames = d->Frames();
        for (CChildFrame* f : frames) delete f;  // destroys view and link now
    }
    closing_all_ = false;
    return true;
}

void CVELTMonitoringApp::OnAppExit() {
    if (main_frame_ != nullptr) main_frame_->close();
}

void CVELTMonitoringApp::OnAppAbout() {
    CAboutDlg dlg(main_frame_);
    dlg.exec();
}

void CVELTMonitoringApp::AddToRecentFiles(const QString& path) {
    recent_files_.removeAll(path);
    recent_files_.prepend(path);
    while (recent_files_.size() > kRecentFileCount) recent_files_.removeLast();
    for (int i = 0; i < kRecentFileCount; ++i) {
        QString key = QString("Recent File List/File%1").arg(i + 1);
        if (i < recent_files_.size())
            settings_->setValue(key, recent_files_[i]);
        else
            settings_->remove(key);
    }
    UpdateRecentFileMenu();
}

void CVELTMonitoringApp::UpdateRecentFileMenu() {
    QAction* placeholder = main_frame_->Command(cmd::kFileMruFile1);
    for (QMenu* m : file_menus_) {
        for (QAction* a : m->actions()) {
            if (a->property("mru").toBool()) {
                m->removeAction(a);
                a->deleteLater();
            }
        }
        QList<QAction*> acts = m->actions();
        int at = acts.indexOf(placeholder);
        QAction* before = at + 1 < acts.size() ? acts[at + 1] : nullptr;
        for (int i = 0; i < recent_files_.size(); ++i) {
            QString path = recent_files_[i];
            auto* a = new QAction(QString("&%1 %2").arg(i + 1).arg(path), m);
            a->setProperty("mru", true);
            a->setData(cmd::kFileMruFile1 + i);
            a->setStatusTip("Open this document");
            connect(a, &QAction::triggered, this, [this, path] { OpenFile(path); });
            m->insertAction(before, a);
        }
    }
    placeholder->setVisible(recent_files_.isEmpty());
}

void CVELTMonitoringApp::UpdateMainTitle() {
    if (main_frame_ == nullptr) return;
    CVELTMonitoringDoc* doc = ActiveDocument();
    QString title = doc ? doc->Title() : QString();
    if (auto* review = dynamic_cast<CReviewFrame*>(main_frame_->MdiArea()->currentSubWindow()))
        title = review->windowTitle();
    // Whichever window alarms, the title says so right after the program's name (what a
    // taskbar shows; the name stays first for whatever finds the window by it): the
    // highest priority's marks and the windows in alarm.
    alarms::Priority highest = alarms::Priority::kNone;
    QStringList alarming;
    for (CVELTMonitoringDoc* d : documents_)
        for (CChildFrame* frame : d->Frames()) {
            CVELTMonitoringView* view = CVELTMonitoringDoc::ViewOf(frame);
            AlarmWatch* watch = view != nullptr ? view->Alarms() : nullptr;
            if (watch == nullptr || watch->Highest() == alarms::Priority::kNone) continue;
            highest = std::max(highest, watch->Highest());
            alarming << frame->windowTitle();
        }
    QStringList parts{kAppTitle};
    if (!alarming.isEmpty())
        parts << QString("%1 ALARM %2").arg(alarms::PriorityPrefix(highest), alarming.join(", "));
    if (!title.isEmpty()) parts << title;
    main_frame_->setWindowTitle(parts.join(" - "));
}

void CVELTMonitoringApp::UpdateAudioPause() {
    if (main_frame_ == nullptr) return;
    uint64_t left_ms = 0;
    for (CVELTMonitoringDoc* d : documents_)
        for (CChildFrame* frame : d->Frames()) {
            CVELTMonitoringView* view = CVELTMonitoringDoc::ViewOf(frame);
            if (view != nullptr && view->Alarms() != nullptr)
                left_ms = std::max(left_ms, view->Alarms()->PauseLeftMs());
        }
    QAction* pause = main_frame_->Command(cmd::kAudioPause);
    const bool paused = left_ms > 0;
    const QString left = paused ? AudioPauseLeft(left_ms) : QString();
    if (paused == audio_paused_ && pause->iconText() == left) return;
    if (paused != audio_paused_) pause->setIcon(AudioPauseIcon(paused));
    audio_paused_ = paused;
    pause->setIconText(paused ? left : QString("Audio pause"));
    if (auto* button = qobject_cast<QToolButton*>(main_frame_->ToolBar()->widgetForAction(pause)))
        button->setToolButtonStyle(paused ? Qt::ToolButtonTextBesideIcon : Qt::ToolButtonIconOnly);
}

void CVELTMonitoringApp::Print(bool preview) {
    CVELTMonitoringView* view = ActiveView();
    if (view == nullptr) return;
    if (preview) {
        QPrintPreviewDialog dlg(printer_.get(), main_frame_);
        connect(&dlg, &QPrintPreviewDialog::paintRequested, view,
                [view](QPrinter* p) { view->PrintTo(p); });
        dlg.exec();
        return;
    }
    QPrintDialog dlg(printer_.get(), main_frame_);
    if (dlg.exec() == QDialog::Accepted) view->PrintTo(printer_.get());
}

void CVELTMonitoringApp::UpdateReplayProgress() {
    if (main_frame_ == nullptr) return;
    const QString text = replay_progress_text ? replay_progress_text() : QString();
    main_frame_->SetStatusPaneText(QStringLiteral("replayProgress"), text);
    main_frame_->Command(cmd::kStopReplay)->setEnabled(!text.isEmpty());
}

void CVELTMonitoringApp::UpdateLinkCounts() {
    since_link_counts_.restart();
    link_counts_timer_.start();
    UpdateReplayProgress();
    UpdateAudioPause();
    if (main_frame_ == nullptr || main_frame_->LinkCountsPane() == nullptr) return;
    char text[sizeof shown_link_counts_] = "";
    std::string recording;
    if (COximeter* link = ActiveLink()) {
        FormatLinkCountsPane(text, sizeof text, link->Statistics().Read());
        recording = link->Recording().StatusText();
    }
    // A pane whose text stays is left alone: nothing to lay out or repaint.
    if (std::strcmp(text, shown_link_counts_) != 0) {
        main_frame_->SetLinkCountsText(QString::fromLatin1(text));
        std::memcpy(shown_link_counts_, text, sizeof text);
    }
    // Once shown the pane keeps its size (as the counts do): a label that may change
    // size lays out and repaints the whole status bar at every new text, twice a second.
    QLabel* pane = main_frame_->StatusPane(QStringLiteral("recording"));
    const bool unsized =
        pane != nullptr && pane->isVisible() && pane->minimumSize() != pane->maximumSize();
    if (recording == shown_recording_ && !unsized) return;
    shown_recording_ = recording;
    const QString recording_text = QString::fromStdString(recording);
    if (unsized) {
        const int usual = pane->fontMetrics().horizontalAdvance(
                              QString::fromUtf8("REC 000:00:00 \u00b7 00000.0 MB")) +
                          2 * pane->margin() + 2 * pane->frameWidth() + 6;
        pane->setFixedSize(usual, pane->height());
    }
    // A long reason ("REC: cannot write <file>: <why>") is shortened in its middle to
    // the pane, never over the counts beside it; the whole text is the tooltip. A time
    // that plainly fits is not laid out again to find that out.
    QString shown = recording_text;
    if (pane != nullptr && pane->minimumSize() == pane->maximumSize()) {
        const int room = pane->contentsRect().width() - 2 * pane->margin() - 4;
        if (main_frame_->PaneTextAdvance(pane, recording_text) >= room)
            shown = pane->fontMetrics().elidedText(recording_text, Qt::ElideMiddle, room);
        pane->setToolTip(shown == recording_text ? QString() : recording_text);
    }
    main_frame_->SetStatusPaneText(QStringLiteral("recording"), shown);
}

bool CVELTMonitoringApp::OpenSessionsFolder() {
    const QString dir = QString::fromStdString(SessionFolder::Process().Dir());
    if (dir.isEmpty() || !QDir().mkpath(dir)) return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(dir));
}

void CVELTMonitoringApp::PrintSetup() {
    QPageSetupDialog dlg(printer_.get(), main_frame_);
    dlg.exec();
}
