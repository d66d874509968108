#include "app/gui/toolbar_icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "app/gui/command_ids.h"

namespace {

void Page(QPainter& p) {
    p.setPen(Qt::black);
    p.setBrush(Qt::white);
    p.drawPolygon(
        QPolygon({QPoint(3, 1), QPoint(10, 1), QPoint(13, 4), QPoint(13, 14), QPoint(3, 14)}));
    p.drawLine(10, 1, 10, 4);
    p.drawLine(10, 4, 13, 4);
}

}  // namespace

QIcon ToolbarIcon(int id) {
    QPixmap pm(16, 15);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    switch (id) {
        case cmd::kFileNew:
            Page(p);
            break;
        case cmd::kFileOpen:
            p.setPen(Qt::black);
            p.setBrush(QColor(255, 255, 128));
            p.drawPolygon(QPolygon({QPoint(1, 4), QPoint(5, 4), QPoint(6, 5), QPoint(12, 5),
                                    QPoint(12, 13), QPoint(1, 13)}));
            p.setBrush(QColor(224, 192, 64));
            p.drawPolygon(QPolygon({QPoint(3, 8), QPoint(15, 8), QPoint(12, 13), QPoint(1, 13)}));
            break;
        case cmd::kFileSave:
            p.setPen(Qt::black);
            p.setBrush(QColor(0, 0, 160));
            p.drawRect(1, 1, 13, 13);
            p.setBrush(Qt::white);
            p.drawRect(4, 1, 7, 5);
            p.setBrush(QColor(192, 192, 192));
            p.drawRect(4, 9, 7, 5);
            break;
        case cmd::kEditCut:
            p.setPen(QPen(Qt::black, 1));
            p.drawLine(5, 1, 9, 9);
            p.drawLine(10, 1, 6, 9);
            p.drawEllipse(2, 9, 4, 4);
            p.drawEllipse(9, 9, 4, 4);
            break;
        case cmd::kEditCopy:
            p.translate(-2, -1);
            Page(p);
            p.translate(4, 2);
            Page(p);
            break;
        case cmd::kEditPaste:
            p.setPen(Qt::black);
            p.setBrush(QColor(160, 112, 48));
            p.drawRect(1, 2, 10, 12);
            p.setBrush(QColor(192, 192, 192));
            p.drawRect(4, 1, 4, 2);
            p.setBrush(Qt::white);
            p.drawRect(7, 6, 7, 8);
            break;
        case cmd::kFilePrint:
            p.setPen(Qt::black);
            p.setBrush(Qt::white);
            p.drawRect(4, 1, 8, 5);
            p.setBrush(QColor(192, 192, 192));
            p.drawRect(1, 6, 14, 6);
            p.setBrush(Qt::white);
            p.drawRect(4, 10, 8, 4);
            break;
        case cmd::kAppAbout:
        default:
            p.setPen(Qt::black);
            p.setBrush(QColor(255, 255, 192));
            p.drawEllipse(1, 0, 13, 13);
            p.setPen(QPen(QColor(0, 0, 160), 2));
            p.drawLine(8, 6, 8, 11);
            p.drawPoint(8, 3);
            break;
    }
    p.end();
    return QIcon(pm);
}

QIcon AudioPauseIcon(bool paused) {
    QPixmap pm(16, 15);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::black);
    p.setBrush(QColor(255, 208, 64));
    QPainterPath bell;
    bell.moveTo(2, 11);
    bell.cubicTo(4, 9, 3, 2, 8, 2);
    bell.cubicTo(13, 2, 12, 9, 14, 11);
    bell.closeSubpath();
    p.drawPath(bell);
    p.drawEllipse(QPointF(8, 12.5), 1.5, 1.5);
    if (paused) {
        p.setPen(QPen(QColor(200, 0, 0), 2));
        p.drawLine(2, 1, 14, 14);
    }
    p.end();
    return QIcon(pm);
}

QIcon ProgramIcon() {
    // The images live in a static library: register them before the first use.
    Q_INIT_RESOURCE(velt_icons);
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/icons/icons/velt-monitoring-%1.png").arg(size), QSize(size, size));
    return icon;
}
