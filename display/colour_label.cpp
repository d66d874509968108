#include "display/colour_label.h"

#include <QApplication>
#include <QColor>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QRawFont>
#include <QStyleFactory>
#include <QStyleHints>
#include <QStyleOption>
#include <QTextDocument>
#include <QTextLayout>
#include <array>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

QColor ToQColor(Colour c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }

// The application's style, except that a field with a backdrop may draw its panel
// (background and frame) from the picture it keeps.
class KeptPanelStyle : public QProxyStyle {
public:
    // Takes ownership of base, a style of the application's own kind.
    explicit KeptPanelStyle(QStyle* base) : QProxyStyle(base) {}

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element == PE_PanelLineEdit) {
            auto* edit = const_cast<ColourEdit*>(qobject_cast<const ColourEdit*>(widget));
            if (edit != nullptr && edit->DrawKeptPanel(option, painter, baseStyle())) return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
};

// Null when the application's style cannot be made again by name: the fields then
// keep the application's style and draw their panel every time.
QStyle* SharedKeptPanelStyle() {
    static QPointer<KeptPanelStyle> style;
    if (style.isNull()) {
        QStyle* base = QStyleFactory::create(QApplication::style()->name());
        if (base == nullptr) return nullptr;
        style = new KeptPanelStyle(base);
        style->setParent(qApp);
    }
    return style;
}

// A read-only line edit draws no caret, yet with the focus it would blink it twice a
// second all the same: each blink wakes the GUI thread and repaints the field's same
// pixels. While one has the focus nothing blinks; another keeps the platform's blink
// (only the focused field ever blinks, so nothing visible changes).
void StillCaretInReadOnlyFields() {
    static QPointer<QApplication> hooked;
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr || hooked == app) return;
    hooked = app;
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    QObject::connect(app, &QApplication::focusChanged, app, [flash](QWidget*, QWidget* now) {
        const auto* edit = qobject_cast<const QLineEdit*>(now);
        QGuiApplication::styleHints()->setCursorFlashTime(
            edit != nullptr && edit->isReadOnly() ? 0 : flash);
    });
}

// QLineEdit's margins between its contents rectangle and the text's line.
constexpr int kLineEditVerticalMargin = 1;
constexpr int kLineEditHorizontalMargin = 2;

// A text laid out by the text engine in one line, as QLineEdit lays out its text.
struct Shaped {
    QList<quint32> glyphs;
    QList<QPointF> positions;
    QRawFont font;
    bool one_run = false;
    qreal width = 0;
    qreal ascent = 0;
};

Shaped Shape(const QString& text, const QFont& font) {
    QTextLayout layout(text, font);
    QTextOption option = layout.textOption();
    option.setTextDirection(Qt::LeftToRight);
    option.setFlags(QTextOption::IncludeTrailingSpaces);
    layout.setTextOption(option);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    Shaped shaped;
    const QList<QGlyphRun> runs = layout.glyphRuns();
    shaped.one_run = runs.size() == 1;
    if (shaped.one_run) {
        shaped.glyphs = runs[0].glyphIndexes();
        shaped.positions = runs[0].positions();
        shaped.font = runs[0].rawFont();
    }
    shaped.width = line.naturalTextWidth();
    shaped.ascent = line.ascent();
    return shaped;
}

// Qt keeps text positions in 1/64 pixel: exact in a qreal both ways.
int Fixed(qreal x) { return qRound(x * 64); }

}  // namespace

// The characters values are written with, each shaped alone once per font. A text of
// them lays out as its characters alone do, advance after advance, when no pair of
// them kerns or joins: every pair is shaped once to know. Only glyphs of the font
// itself that stay inside its line height are taken, so that such a text's line and
// box are the font's own, as QLineEdit's paint finds them for it.
class ValueGlyphs {
public:
    explicit ValueGlyphs(const QFont& font) : font_(font), raw_(QRawFont::fromFont(font)) {
        const QFontMetrics metrics(font);
        const QFontMetricsF exact(font);
        if (!raw_.isValid() || metrics.height() < qRound(exact.ascent() + exact.descent())) return;
        bool baseline_set = false;
        for (int i = 0; i < kCount; ++i) {
            const QString one(QChar(kChars[i]));
            const Shaped s = Shape(one, font);
            const QRectF box = exact.boundingRect(one);
            if (!s.one_run || s.glyphs.size() != 1 || s.font != raw_ || s.positions[0].x() != 0 ||
                qRound(s.ascent) != metrics.ascent() || box.top() < -exact.ascent() ||
                box.bottom() > exact.descent())
                continue;
            if (!baseline_set) baseline_ = s.positions[0].y();
            baseline_set = true;
            if (s.positions[0].y() != baseline_) continue;
            glyphs_[i] = {s.glyphs[0], Fixed(s.width), true};
        }
        usable_ = baseline_set;
    }

    const QFont& Font() const { return font_; }
    const QRawFont& RawFont() const { return raw_; }

    // The glyphs of text and their pen positions; false if text holds anything else.
    bool LayOut(const QString& text, std::vector<quint32>* glyphs, std::vector<QPointF>* positions,
                int* width) {
        if (!usable_ || text.isEmpty() || text.front() == u' ' || text.back() == u' ') return false;
        glyphs->resize(text.size());
        positions->resize(text.size());
        int x = 0;
        int previous = -1;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const int slot = Slot(text[i].unicode());
            if (slot < 0 || !glyphs_[slot].plain || (previous >= 0 && !Plain(previous, slot)))
                return false;
            (*glyphs)[i] = glyphs_[slot].index;
            (*positions)[i] = QPointF(x / 64.0, baseline_);
            x += glyphs_[slot].advance;
            previous = slot;
        }
        *width = x;
        return true;
    }

    // True if both tables lay text out, with the same glyphs in the same places: the
    // same glyph and advance for every character, and every pair plain in both.
    bool SameLayOut(ValueGlyphs& other, const QString& text) {
        if (!usable_ || !other.usable_ || baseline_ != other.baseline_ || text.isEmpty() ||
            text.front() == u' ' || text.back() == u' ')
            return false;
        int previous = -1;
        for (const QChar c : text) {
            const int slot = Slot(c.unicode());
            if (slot < 0) return false;
            const Glyph& a = glyphs_[slot];
            const Glyph& b = other.glyphs_[slot];
            if (!a.plain || !b.plain || a.index != b.index || a.advance != b.advance) return false;
            if (previous >= 0 && (!Plain(previous, slot) || !other.Plain(previous, slot)))
                return false;
            previous = slot;
        }
        return true;
    }

private:
    static constexpr char16_t kChars[] = u" +,-./0123456789:";
    static constexpr int kCount = static_cast<int>(sizeof kChars / sizeof kChars[0]) - 1;

    static int Slot(char16_t c) {
        static constexpr auto kSlots = [] {
            std::array<signed char, 128> table{};
            table.fill(-1);
            for (int i = 0; i < kCount; ++i) table[kChars[i]] = static_cast<signed char>(i);
            return table;
        }();
        return c < kSlots.size() ? kSlots[c] : -1;
    }

    bool Plain(int a, int b) {
        signed char& known = pairs_[a][b];
        if (known == 0) {
            const QChar pair[2] = {QChar(kChars[a]), QChar(kChars[b])};
            const Shaped s = Shape(QString(pair, 2), font_);
            const bool plain =
                s.one_run && s.font == raw_ &&
                s.glyphs == QList<quint32>{glyphs_[a].index, glyphs_[b].index} &&
                s.positions == QList<QPointF>{QPointF(0, baseline_),
                                              QPointF(glyphs_[a].advance / 64.0, baseline_)} &&
                Fixed(s.width) == glyphs_[a].advance + glyphs_[b].advance;
            known = plain ? 1 : -1;
        }
        return known > 0;
    }

    struct Glyph {
        quint32 index = 0;
        int advance = 0;  // 1/64 pixel
        bool plain = false;
    };
    QFont font_;
    QRawFont raw_;
    qreal baseline_ = 0;
    bool usable_ = false;
    Glyph glyphs_[kCount];
    signed char pairs_[kCount][kCount] = {};  // 0 not shaped yet, 1 plain, -1 not
};

namespace {

// The fields' fonts are few (one, as a rule): their tables live as long as the program.
ValueGlyphs* GlyphsFor(const QFont& font) {
    static std::vector<std::unique_ptr<ValueGlyphs>> tables;
    for (const auto& table : tables)
        if (table->Font() == font) return table.get();
    if (tables.size() >= 16) return nullptr;
    tables.push_back(std::make_unique<ValueGlyphs>(font));
    return tables.back().get();
}

}  // namespace

ColourLabel::ColourLabel(QWidget* widget, QPalette::ColorRole background_role,
                         QPalette::ColorRole text_role, bool fill_background)
    : widget_(widget),
      background_role_(background_role),
      text_role_(text_role),
      fill_background_(fill_background) {}

void ColourLabel::SetBackgroundColour(Colour colour) {
    background_ = colour;
    ApplyColours();
}

void ColourLabel::SetTextColour(Colour colour) {
    text_ = colour;
    ApplyColours();
}

void ColourLabel::ApplyColours() {
    if (!IsSet(text_) && !IsSet(background_)) {
        // Back to the plain control, should colours have been set before.
        if (palette_applied_) {
            widget_->setPalette(QPalette());
            widget_->setAttribute(Qt::WA_SetPalette, false);
            if (fill_background_) widget_->setAutoFillBackground(false);
            palette_applied_ = false;
        }
        widget_->update();
        return;
    }
    // Only the set roles resolve; everything else keeps inheriting the default.
    QPalette palette;
    if (IsSet(background_)) palette.setColor(background_role_, ToQColor(background_));
    if (IsSet(text_)) palette.setColor(text_role_, ToQColor(text_));
    widget_->setPalette(palette);
    if (fill_background_) widget_->setAutoFillBackground(IsSet(background_));
    palette_applied_ = true;
    widget_->update();
}

ColourEdit::ColourEdit(QWidget* parent)
    : QLineEdit(parent), ColourLabel(this, QPalette::Base, QPalette::Text, false) {
    StillCaretInReadOnlyFields();
}

void ColourEdit::ReplaceFieldText(const QString& text) {
    if (backdrop_ != nullptr) ChooseShaping(text);
    // setText() alone would clear the modified flag; a replaced selection sets it.
    setText(text);
    setModified(true);
}

void ColourEdit::ChooseShaping(const QString& text) {
    // A value that the text engine places glyph after glyph, shaped or not, is laid out
    // by QLineEdit without shaping (the font's PreferNoShaping): the same glyphs in the
    // same places for a fraction of the work. Everything but that strategy still comes
    // from the view's font. The two tables stay the field's until its font changes
    // other than by the strategy set here.
    if (shaped_glyphs_ == nullptr || unshaped_glyphs_ == nullptr) {
        QFont shaped = font();
        shaped.setStyleStrategy(
            static_cast<QFont::StyleStrategy>(shaped.styleStrategy() & ~QFont::PreferNoShaping));
        QFont unshaped = shaped;
        unshaped.setStyleStrategy(
            static_cast<QFont::StyleStrategy>(shaped.styleStrategy() | QFont::PreferNoShaping));
        shaped_glyphs_ = GlyphsFor(shaped);
        unshaped_glyphs_ = GlyphsFor(unshaped);
    }
    const bool plain = shaped_glyphs_ != nullptr && unshaped_glyphs_ != nullptr &&
                       shaped_glyphs_->SameLayOut(*unshaped_glyphs_, text);
    if (plain == unshaped_) return;
    unshaped_ = plain;
    setting_strategy_ = true;
    if (plain) {
        QFont strategy;
        strategy.setStyleStrategy(unshaped_glyphs_->Font().styleStrategy());
        setFont(strategy);
    } else {
        setFont(QFont());
    }
    setting_strategy_ = false;
}

void ColourEdit::ReplaceFieldTextUtf8(const char* text) {
    const QString shown = this->text();
    // The same text again would change nothing visible: a read-only field has no
    // undo, and the caret already stands behind the text with nothing selected. While
    // the field holds what the last write gave it (the very same string), its bytes
    // tell that cheaper than a comparison of UTF-8 with UTF-16.
    if (isReadOnly() && !hasSelectedText() && cursorPosition() == shown.size()) {
        const bool same = shown.constData() == written_.constData() && !written_.isEmpty()
                              ? std::strcmp(text, written_utf8_) == 0
                              : QAnyStringView::equal(shown, QUtf8StringView(text));
        if (same) {
            setModified(true);
            return;
        }
    }
    QString replacement = QString::fromUtf8(text);
    ReplaceFieldText(replacement);
    const size_t length = std::strlen(text);
    if (length < sizeof written_utf8_) {
        std::memcpy(written_utf8_, text, length + 1);
        written_ = std::move(replacement);
    } else {
        written_ = QString();
    }
}

void ColourEdit::SetBackdrop(const FieldBackdrop* backdrop) {
    backdrop_ = backdrop;
    if (backdrop == nullptr) return;
    setAttribute(Qt::WA_OpaquePaintEvent);
    if (QStyle* style = SharedKeptPanelStyle()) setStyle(style);
}

void ColourEdit::paintEvent(QPaintEvent* event) {
    if (backdrop_ != nullptr) {
        // The parent no longer paints under the field (it is opaque), so the field
        // starts from what the parent shows there.
        QColor plain;
        if (backdrop_->PlainBackdrop(geometry(), &plain)) {
            plain_backdrop_ = plain;
            panel_from_picture_ = true;
        } else {
            QPainter painter(this);
            backdrop_->PaintBackdrop(painter, geometry());
        }
    }
    if (backdrop_ == nullptr || !PaintValue()) {
        QLineEdit::paintEvent(event);
        scroll_stale_ = false;
    }
    panel_from_picture_ = false;
}

bool ColourEdit::event(QEvent* event) {
    if (scroll_stale_) {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
            case QEvent::KeyPress:
            case QEvent::FocusIn:
            case QEvent::ContextMenu:
            case QEvent::InputMethodQuery:
            case QEvent::DragEnter:
            case QEvent::DragMove:
            case QEvent::Drop:
                PaintByLineEdit();
                break;
            default:
                break;
        }
    }
    return QLineEdit::event(event);
}

void ColourEdit::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        if (!setting_strategy_) shaped_glyphs_ = unshaped_glyphs_ = nullptr;
        value_glyphs_ = nullptr;
        value_text_ = QString();
        value_laid_out_ = false;
    }
    QLineEdit::changeEvent(event);
}

void ColourEdit::PaintByLineEdit() {
    scroll_stale_ = false;
    by_line_edit_ = true;
    repaint();
    by_line_edit_ = false;
}

bool ColourEdit::LayOutValue(const QString& text) {
    value_text_ = text;
    value_laid_out_ = false;
    if (value_glyphs_ == nullptr) value_glyphs_ = GlyphsFor(font());
    if (value_glyphs_ == nullptr ||
        !value_glyphs_->LayOut(text, &value_glyph_ids_, &value_positions_, &value_width_))
        return false;
    // The run refers to the field's own arrays: a new text needs no new run.
    value_run_.setRawFont(value_glyphs_->RawFont());
    value_run_.setRawData(value_glyph_ids_.data(), value_positions_.data(),
                          static_cast<int>(value_glyph_ids_.size()));
    value_laid_out_ = true;
    return true;
}

bool ColourEdit::PaintValue() {
    // What QLineEdit's paint does for a read-only field whose one-line text fits, with
    // the caret behind it and nothing selected; anything else is left to it.
    if (by_line_edit_ || !isReadOnly() || echoMode() != QLineEdit::Normal || hasSelectedText() ||
        !inputMask().isEmpty() || isClearButtonEnabled() || !actions().isEmpty() ||
        layoutDirection() != Qt::LeftToRight || devicePixelRatio() != 1.0 ||
        !styleSheet().isEmpty() || !qApp->styleSheet().isEmpty())
        return false;
    const QString shown = text();
    if (cursorPosition() != shown.size()) return false;
    const bool same = !value_text_.isNull() &&
                      (shown.constData() == value_text_.constData() || shown == value_text_);
    if (!same) LayOutValue(shown);
    if (!value_laid_out_) return false;

    QStyleOptionFrame panel;
    initStyleOption(&panel);
    const QRect contents = style()
                               ->subElementRect(QStyle::SE_LineEditContents, &panel, this)
                               .marginsRemoved(textMargins());
    // The glyphs stay inside the font's line: the line is the font's height.
    const int height = fontMetrics().height();
    const Qt::Alignment align = QStyle::visualAlignment(Qt::LeftToRight, alignment());
    int top = contents.y() + (contents.height() - height + 1) / 2;
    if ((align & Qt::AlignVertical_Mask) == Qt::AlignBottom)
        top = contents.y() + contents.height() - height - kLineEditVerticalMargin;
    else if ((align & Qt::AlignVertical_Mask) == Qt::AlignTop)
        top = contents.y() + kLineEditVerticalMargin;
    const QRect line(contents.x() + kLineEditHorizontalMargin, top,
                     contents.width() - 2 * kLineEditHorizontalMargin, height);
    const int used = qRound(value_width_ / 64.0) + 1;
    if (used > line.width()) return false;  // QLineEdit scrolls it after the caret
    int scroll = 0;
    switch (align & ~(Qt::AlignAbsolute | Qt::AlignVertical_Mask)) {
        case Qt::AlignRight:
            scroll = used - line.width() + 1;
            break;
        case Qt::AlignHCenter:
            scroll = (used - line.width()) / 2;
            break;
        default:
            break;
    }

    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
    painter.setClipRect(contents);
    painter.setPen(palette().text().color());
    painter.drawGlyphRun(QPointF(line.x() - scroll, line.y()), value_run_);
    // QLineEdit did not see this text: before it places a caret or a selection, it
    // paints once itself.
    scroll_stale_ = true;
    return true;
}

bool ColourEdit::DrawKeptPanel(const QStyleOption* option, QPainter* painter, const QStyle* style) {
    const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(option);
    if (!panel_from_picture_ || frame == nullptr || painter->device()->devicePixelRatio() != 1.0)
        return false;
    const PanelKey key{frame->rect,
                       static_cast<int>(frame->state),
                       frame->palette.cacheKey(),
                       static_cast<int>(frame->direction),
                       frame->lineWidth,
                       frame->midLineWidth,
                       static_cast<int>(frame->features),
                       plain_backdrop_.rgba()};
    if (panel_.isNull() || !(key == panel_key_)) {
        // Drawn as the paint would draw it: over the backdrop's colour, with the
        // painter's own pen, brush and font.
        QImage panel(frame->rect.size(), QImage::Format_RGB32);
        panel.fill(plain_backdrop_);
        QPainter p(&panel);
        p.setPen(painter->pen());
        p.setBrush(painter->brush());
        p.setFont(painter->font());
        p.setBackground(painter->background());
        p.setRenderHints(painter->renderHints());
        p.translate(-frame->rect.topLeft());
        style->drawPrimitive(QStyle::PE_PanelLineEdit, frame, &p, this);
        p.end();
        panel_ = panel;
        panel_key_ = key;
    }
    painter->drawImage(frame->rect.topLeft(), panel_);
    return true;
}

ColourMultiLineEdit::ColourMultiLineEdit(QWidget* parent)
    : QPlainTextEdit(parent), ColourLabel(this, QPalette::Base, QPalette::Text, false) {
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTabChangesFocus(true);
}

void ColourMultiLineEdit::ReplaceFieldText(const QString& text) {
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    setPlainText(lines);
    moveCursor(QTextCursor::End);
    document()->setModified(true);
}

QString ColourMultiLineEdit::FieldText() const {
    QString text = toPlainText();
    text.replace(QChar('\n'), QStringLiteral("\r\n"));
    return text;
}

bool ColourMultiLineEdit::IsFieldModified() const { return document()->isModified(); }

void ColourMultiLineEdit::SetFieldModified(bool modified) { document()->setModified(modified); }

ColourStatic::ColourStatic(const QString& text, QWidget* parent)
    : QLabel(text, parent), ColourLabel(this, QPalette::Window, QPalette::WindowText, true) {}
