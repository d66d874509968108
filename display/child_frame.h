// A document window inside the main window; holds exactly one monitoring view.
#pragma once

#include <QMdiSubWindow>

class CChildFrame : public QMdiSubWindow {
    Q_OBJECT
public:
    explicit CChildFrame(QWidget* parent = nullptr);

    // The restored rectangle in the MDI area: (0, 0, 858, 468), widened when the
    // frame's borders and title bar would otherwise cut into the view.
    QRect RestoredRect() const;

    static constexpr int kRestoredWidth = 858;
    static constexpr int kRestoredHeight = 468;

    // Shows the frame with its placement applied, also when a sibling is maximized.
    void ShowPlaced();

signals:
    void aboutToClose(CChildFrame* frame, bool* accept);

protected:
    void closeEvent(QCloseEvent* event) override;
};
