#include "display/pane_label.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QScreen>

namespace {

QImage Render(QWidget& w) {
    w.ensurePolished();
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// A pane paints pixel for pixel what a QLabel of the same looks paints: in the
// panes' alignments and sizes, in a narrow pane that cuts the text off, for texts
// whose digits alone change (laid out once) and for texts it leaves to QLabel.
TEST(PaneLabel, PaintsExactlyAsAQLabel) {
    QFont pinned(QStringLiteral("DejaVu Sans"));
    pinned.setPixelSize(12);
    QPalette red;
    red.setColor(QPalette::WindowText, Qt::red);
    const QSize sizes[] = {{181, 19}, {240, 22}, {50, 15}};
    const Qt::Alignment aligns[] = {Qt::AlignCenter, Qt::AlignLeft | Qt::AlignVCenter,
                                    Qt::AlignHCenter | Qt::AlignTop};
    const char* texts[] = {"3036 frames, 0 bad, 3 lost",
                           "9147 frames, 8 bad, 1 lost",
                           "4000003036 frames, 4000000000 bad, 3 lost",
                           "REC 00:00:01 \u00b7 0.1 MB",
                           "REC 01:17:49 \u00b7 1234.5 MB",
                           "REC 11:11:11 \u00b7 4747.7 MB",
                           "MQTT: connected",
                           "MQTT: retrying (connection refused)",
                           "Te AV fi ffl 1/7 77 LT 4,7",
                           "Te AV 12 LT. Wo",
                           "Te AV 83 LT. Wo",
                           "REC: cannot write /srv/\u010de\u0161tina: No space left on device",
                           "<b>12</b> bold",
                           " 12 ",
                           ""};
    for (const QFont& font : {pinned, QApplication::font()})
        for (const QSize size : sizes)
            for (const Qt::Alignment align : aligns) {
                PaneLabel pane;
                QLabel plain;
                for (QLabel* label : {static_cast<QLabel*>(&pane), &plain}) {
                    label->setFont(font);
                    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
                    label->setAutoFillBackground(true);
                    label->setAlignment(align);
                    label->resize(size);
                    if (size.width() == 240) label->setPalette(red);
                }
                for (const char* text : texts) {
                    pane.setText(QString::fromUtf8(text));
                    plain.setText(QString::fromUtf8(text));
                    EXPECT_EQ(Render(pane), Render(plain))
                        << text << " in " << size.width() << "x" << size.height() << ", alignment "
                        << align << ", " << font.family().toStdString();
                }
            }
}

// Shown, a pane repaints the glyphs that changed alone: its window then shows what a
// whole paint shows.
TEST(PaneLabel, ChangedGlyphsRepaintedAloneShowWhatAWholePaintShows) {
    QWidget window;
    window.resize(200, 30);
    PaneLabel pane(&window);
    QLabel plain;
    for (QLabel* label : {static_cast<QLabel*>(&pane), &plain}) {
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAutoFillBackground(true);
        label->setAlignment(Qt::AlignCenter);
        label->resize(181, 19);
    }
    window.show();
    for (const char* text : {"REC 00:00:01 \u00b7 0.1 MB", "REC 00:00:02 \u00b7 0.1 MB",
                             "REC 00:00:09 \u00b7 0.4 MB", "REC 00:01:11 \u00b7 0.4 MB",
                             "REC 00:01:11 \u00b7 10.4 MB", "REC 07:41:17 \u00b7 87.1 MB"}) {
        pane.setText(QString::fromUtf8(text));
        plain.setText(QString::fromUtf8(text));
        for (int i = 0; i < 3; ++i) QApplication::processEvents();
        const QImage shown = window.screen()
                                 ->grabWindow(window.winId(), 0, 0, 181, 19)
                                 .toImage()
                                 .convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(shown, Render(plain)) << text;
    }
}

}  // namespace
