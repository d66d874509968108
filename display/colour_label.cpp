#include "display/colour_label.h"

#include <QColor>
#include <QTextDocument>

namespace {

QColor ToQColor(Colour c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }

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
