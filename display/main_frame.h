// The main window: menu bar (two menu sets, switched by whether a document window
// is open), toolbar, status bar, and the MDI area holding the document windows.
#pragma once

#include <QFont>
#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QSet>

class QAction;
class QLabel;
class QMdiArea;
class QMenu;
class QToolBar;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);

    // The create handler: toolbar, status bar, docking. Returns false (and builds
    // nothing further) when a bar cannot be made.
    bool Create();

    QMdiArea* MdiArea() const { return mdi_area_; }
    QToolBar* ToolBar() const { return tool_bar_; }

    // One action per command id, shared by both menu sets and the toolbar.
    // The command id is kept as the action's data.
    QAction* AddCommand(int id, const QString& text, const QString& prompt = QString());
    QAction* Command(int id) const { return commands_.value(id, nullptr); }

    // Sets or clears the check mark of a command.
    void CheckMenuCommand(int id, bool on);
    // The mark last set by CheckMenuCommand; Qt's own toggle of a chosen item does not count.
    bool MenuCheck(int id) const { return checked_.contains(id); }

    // The menus of the bar without (128) and with (129) a document window.
    void SetMenuSets(const QList<QMenu*>& without_document, const QList<QMenu*>& with_document);
    // Shows the set that fits the number of open document windows.
    void UpdateMenuSet();

    // The status-bar indicator panes, in order "CAP", "NUM", "SCRL".
    QList<QLabel*> IndicatorPanes() const { return indicators_; }
    // The pane left of "CAP" with the active link's counts; empty without a link.
    QLabel* LinkCountsPane() const { return link_counts_; }
    // Its text; the pane widens when a text needs more room than it has.
    void SetLinkCountsText(const QString& text);

    // A pane of its own (object name `name`) left of the link's counts, made on first
    // use and shown only while its text is not empty.
    void SetStatusPaneText(const QString& name, const QString& text);
    QLabel* StatusPane(const QString& name) const;
    // The advance of a pane's text in the pane's font. The counts and times change
    // only in their digits most of the time, and digits share one width in nearly every
    // font: a text that differs from the pane's last measured one in its digits alone
    // is not laid out again.
    int PaneTextAdvance(const QLabel* pane, const QString& text);

    // Test seam: makes the next Create() fail at the toolbar or status bar step.
    enum class FailStep { None, ToolBar, StatusBar };
    void SetFailStepForTesting(FailStep step) { fail_step_ = step; }

private:
    QMdiArea* mdi_area_;
    QToolBar* tool_bar_ = nullptr;
    QMap<int, QAction*> commands_;
    QSet<int> checked_;
    QList<QMenu*> menus_without_document_;
    QList<QMenu*> menus_with_document_;
    QList<QLabel*> indicators_;
    QLabel* link_counts_ = nullptr;
    QList<QLabel*> status_panes_;  // SetStatusPaneText's, left to right
    struct MeasuredText {
        QFont font;
        QString shape;  // the text with every digit as '0'
        int advance = 0;
        bool reusable = false;
    };
    QMap<const QLabel*, MeasuredText> measured_;
    bool shows_document_menus_ = false;
    bool menus_installed_ = false;
    FailStep fail_step_ = FailStep::None;
};
