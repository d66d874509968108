// A status-bar pane: a QLabel whose one-line text is painted from glyphs laid out
// once per text shape. The panes' texts change in their digits (counts, times,
// megabytes) several times a second; QLabel's paint lays out and shapes the whole
// text every time, which costs many times the drawing itself.
#pragma once

#include <QGlyphRun>
#include <QLabel>
#include <QRawFont>
#include <QString>
#include <QTransform>
#include <vector>

class PaneGlyphs;

class PaneLabel : public QLabel {
    Q_OBJECT
public:
    explicit PaneLabel(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // Paints frame and text as QLabel would; false where that paint does not apply
    // (then QLabel paints).
    bool PaintText(const QPaintEvent* event);
    void FillBackground(QPainter& painter, const QRegion& region);
    // The span of the contents where the glyphs laid out (pen at x) differ from the
    // ones painted last, and the glyphs that reach into it; false if none differ.
    bool ChangedSpan(qreal x, QRect* span, int* first, int* last) const;
    QRectF Ink(quint32 glyph, qreal x) const;
    // Lays out text into run_; false if it is not a text PaintText draws.
    bool LayOut(const QString& text);
    // Lays out shape (a text with every digit as '0') with the text engine, as
    // QPainter::drawText lays out a label's line, into the template below.
    bool LayOutShape(const QString& shape);

    PaneGlyphs* glyphs_ = nullptr;  // the table of the pane's font

    // The last shape laid out by the text engine: its glyphs and pen positions
    // (1/64 pixel), and the line's measures.
    QString shape_;
    bool shape_usable_ = false;
    std::vector<quint32> shape_glyphs_;
    std::vector<int> shape_x_;
    qreal baseline_ = 0;
    int advance_ = 0;  // the line's advance, 1/64 pixel
    int natural_ = 0;  // its natural width, 1/64 pixel
    qreal height_ = 0;

    // The text run_ holds (a null string: none).
    QString text_;
    bool laid_out_ = false;
    int text_advance_ = 0;
    int text_natural_ = 0;
    QGlyphRun run_;
    std::vector<quint32> run_glyphs_;
    std::vector<QPointF> run_positions_;

    // What the last paint put where: its device, looks and glyphs (pen x, pixels).
    struct PaintedKey {
        QSize size;
        qint64 palette = 0;
        const PaneGlyphs* glyphs = nullptr;
        QRect area;
        qreal y = 0;
        bool clip = false;
        QTransform device;
        bool operator==(const PaintedKey&) const = default;
    };
    const QPaintDevice* painted_device_ = nullptr;
    PaintedKey painted_key_;
    std::vector<quint32> painted_glyphs_;
    std::vector<qreal> painted_x_;
};
