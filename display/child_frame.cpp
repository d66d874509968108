#include "display/child_frame.h"

#include <QCloseEvent>
#include <QMdiArea>

CChildFrame::CChildFrame(QWidget* parent) : QMdiSubWindow(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
}

QRect CChildFrame::RestoredRect() const {
    int w = kRestoredWidth;
    int h = kRestoredHeight;
    if (QWidget* view = widget()) {
        // Frame margins as this style draws them.
        QSize content = view->minimumSize().expandedTo(view->sizeHint());
        QMargins m = contentsMargins();
        int frame_w = m.left() + m.right();
        int frame_h = m.top() + m.bottom();
        w = std::max(w, content.width() + frame_w);
        h = std::max(h, content.height() + frame_h);
    }
    return QRect(0, 0, w, h);
}

void CChildFrame::ShowPlaced() {
    QMdiArea* area = mdiArea();
    bool sibling_maximized = false;
    if (area != nullptr) {
        for (QMdiSubWindow* w : area->subWindowList())
            if (w != this && w->isMaximized()) sibling_maximized = true;
    }
    // Show restored first so the restore geometry is ours, then follow a maximized sibling.
    showNormal();
    setGeometry(RestoredRect());
    if (sibling_maximized) showMaximized();
}

void CChildFrame::closeEvent(QCloseEvent* event) {
    bool accept = true;
    emit aboutToClose(this, &accept);
    if (!accept) {
        event->ignore();
        return;
    }
    QMdiSubWindow::closeEvent(event);
}
