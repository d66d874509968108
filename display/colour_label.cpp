#include "display/colour_label.h"

#include <QApplication>
#include <QColor>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>
#include <QTextDocument>
#include <cstring>
#include <utility>

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
    : QLineEdit(parent), ColourLabel(this, QPalette::Base, QPalette::Text, false) {}

void ColourEdit::ReplaceFieldText(const QString& text) {
    // setText() alone would clear the modified flag; a replaced selection sets it.
    setText(text);
    setModified(true);
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
    QLineEdit::paintEvent(event);
    panel_from_picture_ = false;
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
