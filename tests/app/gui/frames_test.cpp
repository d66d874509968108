#include <QMdiSubWindow>

#include "display/child_frame.h"
#include "display/monitoring_view.h"
#include "tests/app/gui/shell_fixture.h"

TEST_F(ShellTest, ChildFrameRestoredRectangleFitsTheView) {
    Start();
    app_->MainFrame()->resize(1200, 800);
    auto* frame = static_cast<CChildFrame*>(Area()->subWindowList()[0]);
    EXPECT_EQ(frame->geometry().topLeft(), QPoint(0, 0));
    EXPECT_GE(frame->width(), CChildFrame::kRestoredWidth);
    EXPECT_GE(frame->height(), CChildFrame::kRestoredHeight);
    QWidget* view = frame->widget();
    EXPECT_GE(view->width(), 843);
    EXPECT_GE(view->height(), 436);
}

TEST_F(ShellTest, NewWindowWhileAnotherIsMaximizedRestoresToThePlacement) {
    Start();
    app_->MainFrame()->resize(1200, 800);
    Area()->subWindowList()[0]->showMaximized();
    ASSERT_TRUE(Area()->subWindowList()[0]->isMaximized());
    app_->OnFileNew();
    auto* second = static_cast<CChildFrame*>(Area()->currentSubWindow());
    EXPECT_TRUE(second->isMaximized());
    second->showNormal();
    EXPECT_EQ(second->geometry(), second->RestoredRect());
    EXPECT_EQ(second->geometry().topLeft(), QPoint(0, 0));
}
