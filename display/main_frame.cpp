#include "display/main_frame.h"

#include <QAction>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <utility>

#include "display/pane_label.h"

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent), mdi_area_(new QMdiArea(this)) {
    setCentralWidget(mdi_area_);
    // Menus follow the number of document windows, including the last one closing.
    connect(mdi_area_, &QMdiArea::subWindowActivated, this,
            [this](QMdiSubWindow*) { UpdateMenuSet(); });
}

bool CMainFrame::Create() {
    if (fail_step_ == FailStep::ToolBar) return false;
    tool_bar_ = new QToolBar(this);
    tool_bar_->setObjectName("toolbar");
    tool_bar_->setWindowTitle("Standard");
    tool_bar_->setMovable(true);  // the gripper
    tool_bar_->setIconSize(QSize(16, 15));
    tool_bar_->setContentsMargins(0, 0, 0, 0);
    tool_bar_->setAllowedAreas(Qt::AllToolBarAreas);
    addToolBar(Qt::TopToolBarArea, tool_bar_);

    if (fail_step_ == FailStep::StatusBar) return false;
    QStatusBar* bar = statusBar();
    bar->showMessage("Ready");
    connect(bar, &QStatusBar::messageChanged, bar, [bar](const QString& text) {
        if (text.isEmpty()) bar->showMessage("Ready");
    });
    link_counts_ = new PaneLabel(bar);
    link_counts_->setObjectName("linkCounts");
    link_counts_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    // Opaque (its own fill is the bar's plain colour): a new count repaints the pane
    // alone, not the bar and the window beneath it.
    link_counts_->setAutoFillBackground(true);
    link_counts_->setAlignment(Qt::AlignCenter);
    link_counts_->setMinimumWidth(
        link_counts_->fontMetrics().horizontalAdvance("00000000 frames, 00000 bad, 00000 lost") +
        10);
    bar->addPermanentWidget(link_counts_);
    for (const char* name : {"CAP", "NUM", "SCRL"}) {
        auto* pane = new QLabel(name, bar);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setAlignment(Qt::AlignCenter);
        pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance("SCRL") + 10);
        bar->addPermanentWidget(pane);
        indicators_.push_back(pane);
    }
    setDockOptions(dockOptions() | QMainWindow::AllowNestedDocks);
    return true;
}

void CMainFrame::SetLinkCountsText(const QString& text) {
    if (link_counts_ == nullptr || link_counts_->text() == text) return;
    // Once laid out the pane keeps its size: a label that may change size lays out
    // and repaints the whole status bar at every new text.
    if (link_counts_->isVisible() && link_counts_->minimumSize() != link_counts_->maximumSize())
        link_counts_->setFixedSize(link_counts_->size());
    link_counts_->setText(text);
    // The text's advance first: the label's full size hint lays the text out again.
    if (PaneTextAdvance(link_counts_, text) <=
        link_counts_->contentsRect().width() - 2 * link_counts_->margin())
        return;
    const int wanted = link_counts_->sizeHint().width();
    if (wanted > link_counts_->maximumWidth()) link_counts_->setFixedWidth(wanted);
}

int CMainFrame::PaneTextAdvance(const QLabel* pane, const QString& text) {
    const QFontMetrics metrics = pane->fontMetrics();
    MeasuredText& last = measured_[pane];
    QString shape = text;
    for (QChar& c : shape)
        if (c >= u'1' && c <= u'9') c = u'0';
    if (last.reusable && shape == last.shape && pane->font() == last.font) return last.advance;
    const int advance = metrics.horizontalAdvance(text);
    // Only where all ten digits are of one width may their changes be left unmeasured.
    bool reusable = true;
    for (char16_t d = u'1'; d <= u'9'; ++d)
        reusable = reusable &&
                   metrics.horizontalAdvance(QChar(d)) == metrics.horizontalAdvance(QChar(u'0'));
    last = {pane->font(), std::move(shape), advance, reusable};
    return advance;
}

QLabel* CMainFrame::StatusPane(const QString& name) const {
    for (QLabel* pane : status_panes_)
        if (pane->objectName() == name) return pane;
    return nullptr;
}

void CMainFrame::SetStatusPaneText(const QString& name, const QString& text) {
    if (link_counts_ == nullptr) return;
    QLabel* pane = StatusPane(name);
    if (pane == nullptr) {
        if (text.isEmpty()) return;
        QStatusBar* bar = statusBar();
        pane = new PaneLabel(bar);
        pane->setObjectName(name);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setAlignment(Qt::AlignCenter);
        pane->setAutoFillBackground(true);  // as the counts' pane
        // The bar holds no other widgets: the panes made so far come first, then the counts.
        bar->insertPermanentWidget(static_cast<int>(status_panes_.size()), pane);
        status_panes_.push_back(pane);
    }
    if (pane->text() != text) pane->setText(text);
    pane->setVisible(!text.isEmpty());
}

QAction* CMainFrame::AddCommand(int id, const QString& text, const QString& prompt) {
    auto* action = new QAction(text, this);
    action->setData(id);
    if (!prompt.isEmpty()) {
        // "status-line text\ntooltip", as the command prompts are kept.
        int nl = prompt.indexOf('\n');
        action->setStatusTip(nl < 0 ? prompt : prompt.left(nl));
        if (nl >= 0) action->setToolTip(prompt.mid(nl + 1));
    }
    commands_.insert(id, action);
    return action;
}

void CMainFrame::CheckMenuCommand(int id, bool on) {
    QAction* a = Command(id);
    if (a == nullptr) return;
    if (on)
        checked_.insert(id);
    else
        checked_.remove(id);
    a->setChecked(on);
}

void CMainFrame::SetMenuSets(const QList<QMenu*>& without_document,
                             const QList<QMenu*>& with_document) {
    menus_without_document_ = without_document;
    menus_with_document_ = with_document;
    menus_installed_ = false;
    UpdateMenuSet();
}

void CMainFrame::UpdateMenuSet() {
    bool with_document = !mdi_area_->subWindowList().isEmpty();
    if (menus_installed_ && with_document == shows_document_menus_) return;
    QMenuBar* bar = menuBar();
    bar->clear();
    for (QMenu* m : with_document ? menus_with_document_ : menus_without_document_) bar->addMenu(m);
    shows_document_menus_ = with_document;
    menus_installed_ = true;
}
