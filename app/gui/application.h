// The application object: start-up, the document windows (new, open, save, close),
// the recently-used file list, and the commands of the menus.
#pragma once

#include <QElapsedTimer>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

class CChildFrame;
class CMainFrame;
class CReviewFrame;
class COximeter;
class CVELTMonitoringDoc;
class CVELTMonitoringView;
class QMenu;
class QMdiSubWindow;
class QPrinter;
class QSettings;

namespace processing {
class Measurement;
}

class CVELTMonitoringApp : public QObject {
    Q_OBJECT
public:
    CVELTMonitoringApp();
    ~CVELTMonitoringApp() override;

    // Start-up; false ends the program. args: the command line after the program name.
    bool InitInstance(const QStringList& args);

    CMainFrame* MainFrame() const { return main_frame_; }
    processing::Measurement* Measurement() const { return measurement_.get(); }

    // The link of the view in the active document window, or none.
    COximeter* ActiveLink() const;
    CVELTMonitoringView* ActiveView() const;
    CVELTMonitoringDoc* ActiveDocument() const;

    void CheckMenuCommand(int id, bool on);
    void UpdateProtocolChecks(COximeter* link);
    void UpdateChannelChecks(COximeter* link);
    // Marks from one view's link (activation and deactivation).
    void UpdateChecksFrom(CVELTMonitoringView* view);

    // Framework commands.
    CVELTMonitoringDoc* OnFileNew();
    CVELTMonitoringDoc* OpenDocumentFile(const QString& path);
    void OnFileOpen();
    // A recorded session opens in a review window, any other file as a document; a
    // session's review is found by the file's header. False when nothing opened.
    bool OpenFile(const QString& path);
    // File > Open Session..: a review window for the chosen recorded session.
    void OnOpenSession();
    CReviewFrame* OpenReview(const QString& path);
    bool OnFileSave();
    bool OnFileSaveAs();
    void OnFileClose();
    void OnWindowNew();
    bool CloseAllDocuments();  // false when the user cancelled
    void OnAppExit();
    void OnAppAbout();

    // The four recently used files, newest first.
    QStringList RecentFiles() const { return recent_files_; }

    // Test seams: the save question, the file dialogs, the About box.
    using PromptFn = std::function<QMessageBox::StandardButton(const QString& text)>;
    using FileFn = std::function<QString(bool save, const QString& suggested)>;
    void SetPromptForTesting(PromptFn fn) { prompt_ = std::move(fn); }
    void SetFileDialogForTesting(FileFn fn) { file_dialog_ = std::move(fn); }

    QList<CVELTMonitoringDoc*> Documents() const { return documents_; }

    // Handlers of the commands that other subsystems provide; set by whoever owns them.
    std::function<void()> on_load_edf;
    std::function<void()> on_stop_replay;
    // The running replay's status-bar text ("Replay 12:03 of 1:02:00"), empty when none.
    std::function<QString()> replay_progress_text;
    std::function<void()> on_copy_as_image;
    std::function<void()> on_save_as_image;
    std::function<void()> on_elf_to_flash;
    std::function<void()> on_d43_to_flash;
    std::function<void()> on_publish;
    // A live window marked a moment (MarkLive's monotonic time and text).
    std::function<void(CVELTMonitoringView* view, uint64_t at_us, const std::string& text)>
        on_marked;

private:
    void BuildCommands();
    void BuildMenus();
    void ConnectFrameworkCommands();
    void ConnectOptionCommands();
    // File > Open Sessions Folder: made when missing, shown in the desktop's file manager.
    static bool OpenSessionsFolder();
    void ConnectSubsystemCommands();
    // The link commands of the Option menu, and "Port..".
    void OnOptionCommand(int id);
    // Runs the handler another subsystem set for the command, if any.
    void OnSubsystemCommand(int id);
    CChildFrame* CreateFrame(CVELTMonitoringDoc* doc);
    bool SaveModified(CVELTMonitoringDoc* doc);  // false: cancelled
    bool DoSaveAs(CVELTMonitoringDoc* doc);
    // Saves under the document's path, or asks for one; warns when it fails.
    bool SaveDocument(CVELTMonitoringDoc* doc);
    // The open session that path is (a review's file, a file a window records, or any
    // program's session being recorded), by its own name; empty when none.
    QString OpenSessionAt(const QString& path) const;
    // Warns and returns true when path is an open session: a save never goes there.
    bool RefuseOpenSession(const QString& path);
    void Warn(const QString& text);
    // "Failed to save document.", with the document's reason when it has one.
    void WarnSaveFailed(const CVELTMonitoringDoc* doc);
    void OnFrameAboutToClose(CChildFrame* frame, bool* accept);
    void OnFrameDestroyed(CChildFrame* frame);
    void OnSubWindowActivated(QMdiSubWindow* window);
    void AddToRecentFiles(const QString& path);
    void UpdateRecentFileMenu();
    void UpdateMainTitle();
    // The toolbar's bell: crossed out with the time left while the sound is paused.
    void UpdateAudioPause();
    void Print(bool preview);
    void PrintSetup();
    // The status bar's counts of the active link.
    static constexpr int kLinkCountsMs = 500;
    void UpdateLinkCounts();
    void UpdateReplayProgress();

    std::unique_ptr<processing::Measurement> measurement_;
    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<QPrinter> printer_;
    CMainFrame* main_frame_ = nullptr;
    QList<CVELTMonitoringDoc*> documents_;
    QMdiSubWindow* last_active_ = nullptr;
    int untitled_count_ = 0;
    QStringList recent_files_;
    QList<QMenu*> file_menus_;
    PromptFn prompt_;
    FileFn file_dialog_;
    bool closing_all_ = false;
    bool audio_paused_ = false;  // as the toolbar's bell shows it
    QTimer link_counts_timer_;
    QElapsedTimer since_link_counts_;  // since the status bar's counts were last updated
    // What the status bar's panes show, as last written.
    char shown_link_counts_[96] = "";
    std::string shown_recording_;
};
