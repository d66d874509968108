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
    // The MDI area maximizes a window added while another one is maximized.
    bool maximize = isMaximized();
    if (QMdiArea* area = mdiArea()) {
        for (QMdiSubWindow* w : area->subWindowList())
            if (w != this && w->isMaximized()) maximize = true;
    }
    // Show restored first so that the restore geometry is ours, then maximize.
    showNormal();
    setGeometry(RestoredRect());
    if (maximize) showMaximized();
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
