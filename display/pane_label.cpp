#include "display/pane_label.h"

#include <QApplication>
#include <QBackingStore>
#include <QFontMetrics>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QTextLayout>
#include <QtMath>
#include <algorithm>
#include <memory>

namespace {

// Qt keeps text positions in 1/64 pixel: exact in a qreal both ways.
int Fixed(qreal x) { return qRound(x * 64); }

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The characters a pane's text is painted with here: Latin-1 without controls and
// the soft hyphen, so that the text is one left-to-right line of one script; '<'
// could make it rich text.
bool Paintable(char16_t c) {
    return ((c >= 0x20 && c < 0x7F) || (c >= 0xA0 && c <= 0xFF)) && c != 0xAD && c != u'<';
}

// A text laid out by the text engine in one line, as QPainter::drawText lays out a
// label's line (left-aligned, no wrap within the line's width).
struct Line {
    QList<QGlyphRun> runs;
    int length = 0;
    qreal advance = 0;
    qreal natural = 0;
    qreal ascent = 0;
    qreal descent = 0;
};

Line LayOutLine(const QString& text, const QFont& font) {
    QTextLayout layout(text, font);
    QTextOption option;
    option.setTextDirection(Qt::LeftToRight);
    option.setAlignment(Qt::AlignLeft);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    line.setLineWidth(0x01000000);
    line.setPosition(QPointF(0, 0));
    layout.endLayout();
    Line laid;
    laid.runs = layout.glyphRuns();
    laid.length = line.textLength();
    laid.advance = line.horizontalAdvance();
    laid.natural = line.naturalTextWidth();
    laid.ascent = line.ascent();
    laid.descent = line.descent();
    return laid;
}

}  // namespace

// The glyphs of one font: each digit, and each character beside one, shaped alone
// once, and every pair of a digit and a character shaped once to know whether the
// pair lays out as its characters alone do, advance after advance (no kerning, no
// ligature, the font's own glyphs). A digit that changes between two such neighbours
// changes its glyph and shifts what follows by its advance, and nothing else.
class PaneGlyphs {
public:
    explicit PaneGlyphs(const QFont& font)
        : font_(font),
          raw_(QRawFont::fromFont(font)),
          half_x_(QFontMetrics(font).horizontalAdvance(u'x') / 2) {}

    const QFont& Font() const { return font_; }
    const QRawFont& RawFont() const { return raw_; }
    // Half the advance of an 'x', a framed label's indent.
    int HalfX() const { return half_x_; }

    // The glyph of c shaped alone, and its advance in 1/64 pixel; false if that is
    // not one glyph of the font itself.
    bool Single(char16_t c, quint32* index, int* advance) {
        Glyph& g = singles_[c & 0xFF];
        if (g.state == 0) {
            const Line line = LayOutLine(QString(QChar(c)), font_);
            const bool one = line.runs.size() == 1 && line.runs[0].glyphIndexes().size() == 1 &&
                             line.runs[0].rawFont() == raw_ && line.runs[0].positions()[0].x() == 0;
            g.state = one ? 1 : -1;
            if (one) {
                g.index = line.runs[0].glyphIndexes()[0];
                g.advance = Fixed(line.advance);
            }
        }
        *index = g.index;
        *advance = g.advance;
        return g.state > 0;
    }

    // True if a then b lay out as each alone; one of them is a digit.
    bool Plain(char16_t a, char16_t b) {
        signed char& known =
            IsDigit(b) ? before_digit_[a & 0xFF][b - u'0'] : after_digit_[a - u'0'][b & 0xFF];
        if (known == 0) {
            quint32 ga = 0, gb = 0;
            int aa = 0, ab = 0;
            bool plain = Single(a, &ga, &aa) && Single(b, &gb, &ab);
            if (plain) {
                const QChar pair[2] = {QChar(a), QChar(b)};
                const Line line = LayOutLine(QString(pair, 2), font_);
                plain = line.runs.size() == 1 && line.runs[0].rawFont() == raw_ &&
                        line.runs[0].glyphIndexes() == QList<quint32>{ga, gb} &&
                        Fixed(line.advance) == aa + ab;
                if (plain) {
                    const QList<QPointF> at = line.runs[0].positions();
                    plain = at[0].x() == 0 && Fixed(at[1].x()) == aa && at[0].y() == at[1].y();
                }
            }
            known = plain ? 1 : -1;
        }
        return known > 0;
    }

private:
    struct Glyph {
        quint32 index = 0;
        int advance = 0;
        signed char state = 0;  // 0 not shaped yet, 1 one glyph, -1 not
    };
    QFont font_;
    QRawFont raw_;
    int half_x_ = 0;
    Glyph singles_[256];
    // 0 not shaped yet, 1 plain, -1 not.
    signed char before_digit_[256][10] = {};
    signed char after_digit_[10][256] = {};
};

namespace {

// The panes share the bar's font as a rule: the tables live as long as the program.
PaneGlyphs* GlyphsFor(const QFont& font) {
    static std::vector<std::unique_ptr<PaneGlyphs>> tables;
    for (const auto& table : tables)
        if (table->Font() == font) return table.get();
    if (tables.size() >= 8) return nullptr;
    tables.push_back(std::make_unique<PaneGlyphs>(font));
    return tables.back().get();
}

}  // namespace

PaneLabel::PaneLabel(QWidget* parent) : QLabel(parent) {
    // The pane fills its background itself (as autoFillBackground would), so that a
    // new text may repaint only the glyphs that changed over what the pane shows.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(true);
}

void PaneLabel::FillBackground(QPainter& painter, const QRegion& region) {
    // As QWidget fills an auto-filled background.
    const QBrush brush = palette().brush(backgroundRole());
    if (brush.style() == Qt::TexturePattern) {
        const QRect rect = region.boundingRect();
        painter.save();
        painter.setClipRegion(region);
        painter.drawTiledPixmap(rect, brush.texture(), rect.topLeft());
        painter.restore();
    } else if (brush.gradient() != nullptr &&
               (brush.gradient()->coordinateMode() == QGradient::ObjectBoundingMode ||
                brush.gradient()->coordinateMode() == QGradient::ObjectMode)) {
        painter.save();
        painter.setClipRegion(region);
        painter.fillRect(0, 0, painter.device()->width(), painter.device()->height(), brush);
        painter.restore();
    } else {
        for (const QRect& rect : region) painter.fillRect(rect, brush);
    }
}

void PaneLabel::paintEvent(QPaintEvent* event) {
    if (PaintText(event)) return;
    painted_device_ = nullptr;
    {
        QPainter painter(this);
        FillBackground(painter, event->region());
    }
    QLabel::paintEvent(event);
}

void PaneLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        glyphs_ = nullptr;
        shape_ = QString();
        text_ = QString();
    }
    QLabel::changeEvent(event);
}

bool PaneLabel::LayOutShape(const QString& shape) {
    shape_ = shape;
    shape_usable_ = false;
    const Line line = LayOutLine(shape, font());
    if (line.runs.size() != 1 || line.length != shape.size() ||
        line.runs[0].rawFont() != glyphs_->RawFont())
        return false;
    const QList<quint32> glyphs = line.runs[0].glyphIndexes();
    const QList<QPointF> positions = line.runs[0].positions();
    if (glyphs.size() != shape.size()) return false;
    quint32 zero = 0;
    int zero_advance = 0;
    if (!glyphs_->Single(u'0', &zero, &zero_advance)) return false;
    shape_glyphs_.assign(glyphs.begin(), glyphs.end());
    shape_x_.resize(glyphs.size());
    baseline_ = positions[0].y();
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
        if (positions[i].y() != baseline_) return false;
        shape_x_[i] = Fixed(positions[i].x());
    }
    advance_ = Fixed(line.advance);
    natural_ = Fixed(line.natural);
    height_ = line.ascent + line.descent;
    // Each digit's place holds the digit's own glyph, one advance wide, between
    // neighbours it does not interact with.
    for (qsizetype i = 0; i < shape.size(); ++i) {
        if (shape[i] != u'0') continue;
        const int end = i + 1 < shape.size() ? shape_x_[i + 1] : advance_;
        if (shape_glyphs_[i] != zero || end - shape_x_[i] != zero_advance) return false;
        if (i > 0 && !glyphs_->Plain(shape[i - 1].unicode(), u'0')) return false;
        if (i + 1 < shape.size() && !glyphs_->Plain(u'0', shape[i + 1].unicode())) return false;
    }
    // Every digit that may come into a place is tried beside its neighbours now, once
    // per shape: the texts that follow are laid out without the text engine.
    for (qsizetype i = 0; i < shape.size(); ++i) {
        if (shape[i] != u'0') continue;
        for (char16_t d = u'0'; d <= u'9'; ++d) {
            if (i > 0) glyphs_->Plain(shape[i - 1].unicode(), d);
            if (i + 1 < shape.size()) glyphs_->Plain(d, shape[i + 1].unicode());
            if (i + 1 < shape.size() && shape[i + 1] == u'0')
                for (char16_t e = u'0'; e <= u'9'; ++e) glyphs_->Plain(d, e);
        }
    }
    shape_usable_ = true;
    return true;
}

bool PaneLabel::LayOut(const QString& text) {
    text_ = text;
    laid_out_ = false;
    if (text.isEmpty() || text.front() == u' ' || text.back() == u' ') return false;
    QString shape = text;
    for (QChar& c : shape) {
        if (!Paintable(c.unicode())) return false;
        if (IsDigit(c.unicode())) c = u'0';
    }
    if (glyphs_ == nullptr) glyphs_ = GlyphsFor(font());
    if (glyphs_ == nullptr) return false;
    if (shape != shape_ && !LayOutShape(shape)) return false;
    if (!shape_usable_) return false;

    quint32 zero = 0;
    int zero_advance = 0;
    glyphs_->Single(u'0', &zero, &zero_advance);
    const qsizetype n = text.size();
    run_glyphs_.assign(shape_glyphs_.begin(), shape_glyphs_.end());
    run_positions_.resize(n);
    int shift = 0;  // 1/64 pixel, what the digits so far added to the shape's advances
    for (qsizetype i = 0; i < n; ++i) {
        run_positions_[i] = QPointF((shape_x_[i] + shift) / 64.0, baseline_);
        const char16_t c = text[i].unicode();
        if (!IsDigit(c) || c == u'0') continue;
        int advance = 0;
        if (!glyphs_->Single(c, &run_glyphs_[i], &advance)) return false;
        if (i > 0 && !glyphs_->Plain(text[i - 1].unicode(), c)) return false;
        if (i + 1 < n && !glyphs_->Plain(c, text[i + 1].unicode())) return false;
        shift += advance - zero_advance;
    }
    text_advance_ = advance_ + shift;
    text_natural_ = natural_ + shift;
    // The run refers to the pane's own arrays: a new text needs no new run.
    run_.setRawFont(glyphs_->RawFont());
    run_.setRawData(run_glyphs_.data(), run_positions_.data(), static_cast<int>(n));
    laid_out_ = true;
    return true;
}

bool PaneLabel::PaintText(const QPaintEvent* event) {
    // What QLabel's paint does for a plain, enabled, one-line text label aligned left
    // or centred, through the style's drawItemText and QPainter::drawText; anything
    // else is left to it.
    const QFont f = font();
    if (!isEnabled() || wordWrap() || buddy() != nullptr || textFormat() == Qt::RichText ||
        (textInteractionFlags() & (Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard)) ||
        devicePixelRatio() != 1.0 || !styleSheet().isEmpty() || !qApp->styleSheet().isEmpty() ||
        f.underline() || f.overline() || f.strikeOut() || f.letterSpacing() != 0 ||
        f.wordSpacing() != 0 || f.capitalization() != QFont::MixedCase)
        return false;
    const Qt::Alignment align = QStyle::visualAlignment(Qt::LeftToRight, alignment());
    if (align & (Qt::AlignRight | Qt::AlignJustify)) return false;
    const QString shown = text();
    const bool same = !text_.isNull() && (shown.constData() == text_.constData() || shown == text_);
    if (!same) LayOut(shown);
    if (!laid_out_) return false;

    // The label's text rectangle: its contents less the margin, and less the indent
    // on an aligned side (a framed label without one indents by half an 'x').
    QRect r = contentsRect();
    const int m = margin();
    r.adjust(m, m, -m, -m);
    int indent = this->indent();
    if (indent < 0 && frameWidth() != 0) indent = glyphs_->HalfX() - m;
    if (indent > 0) {
        if (align & Qt::AlignLeft) r.setLeft(r.left() + indent);
        if (align & Qt::AlignTop) r.setTop(r.top() + indent);
        if (align & Qt::AlignBottom) r.setBottom(r.bottom() - indent);
    }
    // Where QPainter::drawText puts one line in it.
    const QRectF area(r);
    qreal y = 0;
    if (align & Qt::AlignBottom)
        y = area.height() - height_;
    else if (align & Qt::AlignVCenter)
        y = (area.height() - height_) / 2;
    const bool centred = (align & Qt::AlignHCenter) != 0;
    const qreal natural = text_natural_ / 64.0;
    const QRectF bounds(area.x() + (centred ? (area.width() - natural) / 2 : 0), area.y() + y,
                        natural, height_);
    const qreal x = centred ? (area.width() - text_advance_ / 64.0) / 2 : 0;

    const QPointF origin(area.x() + x, area.y() + y);
    const bool clip = !area.contains(bounds);

    QPainter painter(this);
    const PaintedKey key{size(), palette().cacheKey(),     glyphs_, r, origin.y(),
                         clip,   painter.deviceTransform()};
    // Only the window's own store keeps what was painted: a grab paints anew.
    const QPaintDevice* device = painter.paintEngine()->paintDevice();
    if (backingStore() == nullptr || device != backingStore()->paintDevice()) device = nullptr;
    // Over the pane's own last paint on the same device, a new text whose glyphs
    // changed in places repaints those places alone: what lies around them is what
    // a whole paint would paint there again.
    QRect span;
    int first = 0, last = -1;
    const bool partial = device != nullptr && device == painted_device_ && key == painted_key_ &&
                         palette().brush(backgroundRole()).style() == Qt::SolidPattern &&
                         contentsRect().contains(event->rect()) &&
                         ChangedSpan(origin.x(), &span, &first, &last);
    if (partial) {
        painter.setClipRect(span, Qt::IntersectClip);
        painter.fillRect(span, palette().brush(backgroundRole()));
    } else {
        FillBackground(painter, event->region());
        drawFrame(&painter);
    }
    if (clip) painter.setClipRect(area, Qt::IntersectClip);
    painter.setPen(QPen(palette().brush(foregroundRole()), painter.pen().widthF()));
    if (partial) {
        QGlyphRun part;
        part.setRawFont(glyphs_->RawFont());
        part.setRawData(run_glyphs_.data() + first, run_positions_.data() + first,
                        last - first + 1);
        if (last >= first) painter.drawGlyphRun(origin, part);
    } else {
        painter.drawGlyphRun(origin, run_);
    }
    // A paint that left part of the contents alone leaves nothing to build on.
    painted_device_ = (QRegion(contentsRect()) - event->region()).isEmpty() ? device : nullptr;
    painted_key_ = key;
    painted_glyphs_.assign(run_glyphs_.begin(), run_glyphs_.end());
    painted_x_.resize(run_positions_.size());
    for (size_t i = 0; i < run_positions_.size(); ++i)
        painted_x_[i] = origin.x() + run_positions_[i].x();
    return true;
}

QRectF PaneLabel::Ink(quint32 glyph, qreal x) const {
    // The glyph's box, widened for the pixels its edges touch.
    return glyphs_->RawFont()
        .boundingRect(glyph)
        .translated(x, painted_key_.y + baseline_)
        .adjusted(-2, -2, 2, 2);
}

bool PaneLabel::ChangedSpan(qreal x, QRect* span, int* first, int* last) const {
    const size_t n = run_glyphs_.size();
    if (painted_glyphs_.size() != n) return false;
    QRectF changed;
    for (size_t i = 0; i < n; ++i) {
        const qreal now = x + run_positions_[i].x();
        if (painted_glyphs_[i] == run_glyphs_[i] && painted_x_[i] == now) continue;
        changed |= Ink(painted_glyphs_[i], painted_x_[i]) | Ink(run_glyphs_[i], now);
    }
    if (changed.isNull()) return false;
    const QRect contents = contentsRect();
    *span = QRect(QPoint(qFloor(changed.left()), contents.top()),
                  QPoint(qCeil(changed.right()), contents.bottom()))
                .intersected(contents);
    // Every glyph that reaches into the span is drawn again, in order.
    *first = static_cast<int>(n);
    *last = -1;
    for (size_t i = 0; i < n; ++i) {
        const QRectF ink = Ink(run_glyphs_[i], x + run_positions_[i].x());
        if (ink.right() < span->left() || ink.left() > span->right() + 1) continue;
        *first = std::min(*first, static_cast<int>(i));
        *last = std::max(*last, static_cast<int>(i));
    }
    return true;
}
