// The coloured controls of the monitoring view: an edit field (single- and multi-line)
// and a static label that may carry their own text and background colours.
// ColourLabel is their shared colour handling; with both colours unset a control is
// left exactly as the plain widget (no palette of its own).
#pragma once

#include <QColor>
#include <QGlyphRun>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QRect>
#include <QString>
#include <vector>

#include "platform/colour.h"

class QPainter;
class QStyle;
class QStyleOption;
class ValueGlyphs;

class ColourLabel {
public:
    // Any colour whose high byte is 0xFF means "not set": the platform's default.
    static constexpr Colour DEFAULT_COLOUR = 0xFF000000u;
    static bool IsSet(Colour c) { return (c & 0xFF000000u) != 0xFF000000u; }

    ColourLabel(QWidget* widget, QPalette::ColorRole background_role, QPalette::ColorRole text_role,
                bool fill_background);
    virtual ~ColourLabel() = default;
    ColourLabel(const ColourLabel&) = delete;
    ColourLabel& operator=(const ColourLabel&) = delete;

    // Stores the colour and repaints the control at once.
    void SetBackgroundColour(Colour colour);
    void SetTextColour(Colour colour);
    Colour BackgroundColour() const { return background_; }
    Colour TextColour() const { return text_; }

private:
    void ApplyColours();

    QWidget* widget_;
    QPalette::ColorRole background_role_;
    QPalette::ColorRole text_role_;
    bool fill_background_;
    Colour text_ = DEFAULT_COLOUR;
    Colour background_ = DEFAULT_COLOUR;
    bool palette_applied_ = false;
};

// What the view does with any of its 38 fields, single- or multi-line.
class FieldControl {
public:
    virtual ~FieldControl() = default;
    // Replaces the whole text and marks the field modified, like typing would.
    virtual void ReplaceFieldText(const QString& text) = 0;
    // The same from UTF-8 text, as the view's writers pass it.
    virtual void ReplaceFieldTextUtf8(const char* text) {
        ReplaceFieldText(QString::fromUtf8(text));
    }
    // The text as the field holds it; lines of a multi-line field end in CR LF.
    virtual QString FieldText() const = 0;
    virtual bool IsFieldModified() const = 0;
    virtual void SetFieldModified(bool modified) = 0;
    virtual QWidget* AsWidget() = 0;
    virtual ColourLabel& Colours() = 0;
};

// What lies under a field: its parent's own picture. A field that knows it paints it
// itself and is opaque, so its repaint leaves the parent alone.
class FieldBackdrop {
public:
    virtual ~FieldBackdrop() = default;
    // True, with the colour, when the area (parent coordinates) is one plain colour.
    virtual bool PlainBackdrop(const QRect& area, QColor* colour) const = 0;
    // The area's picture, with the area's top-left corner at the painter's origin.
    virtual void PaintBackdrop(QPainter& painter, const QRect& area) const = 0;
};

class ColourEdit : public QLineEdit, public ColourLabel, public FieldControl {
    Q_OBJECT
public:
    explicit ColourEdit(QWidget* parent = nullptr);

    // From now on the field paints its backdrop itself. Over a plain backdrop its
    // frame and background come from a picture kept per look, drawn by the same style
    // over the same colour, so a value change costs the text only.
    void SetBackdrop(const FieldBackdrop* backdrop);
    // For the style: draws the panel from the kept picture when this paint may.
    bool DrawKeptPanel(const QStyleOption* option, QPainter* painter, const QStyle* style);

    void ReplaceFieldText(const QString& text) override;
    // A read-only field that already shows the text keeps it (and is only marked
    // modified): most values repeat, and nothing needs repainting then.
    void ReplaceFieldTextUtf8(const char* text) override;
    QString FieldText() const override { return text(); }
    bool IsFieldModified() const override { return isModified(); }
    void SetFieldModified(bool modified) override { setModified(modified); }
    QWidget* AsWidget() override { return this; }
    ColourLabel& Colours() override { return *this; }

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Paints a value field as QLineEdit would, from glyphs laid out once per text and
    // without its text engine; false where that paint does not apply (then QLineEdit
    // paints).
    bool PaintValue();
    // Lays out text into value_run_; false if it is not a text PaintValue draws.
    bool LayOutValue(const QString& text);
    // QLineEdit's own paint: it keeps the text's scroll from it, which places the
    // cursor and selection.
    void PaintByLineEdit();
    // Sets the font's shaping strategy for the text about to be shown.
    void ChooseShaping(const QString& text);

    struct PanelKey {
        QRect rect;
        int state = 0;
        qint64 palette = 0;
        int direction = 0;
        int line_width = 0;
        int mid_line_width = 0;
        int features = 0;
        QRgb backdrop = 0;
        bool operator==(const PanelKey&) const = default;
    };

    // The last text written through ReplaceFieldTextUtf8, as given and as set.
    QString written_;
    char written_utf8_[32] = "";
    const FieldBackdrop* backdrop_ = nullptr;
    bool panel_from_picture_ = false;  // during a paint over a plain backdrop
    QColor plain_backdrop_;
    PanelKey panel_key_;
    QImage panel_;
    // The text value_run_ holds (a null string: none), and its width in 1/64 pixel.
    QString value_text_;
    bool value_laid_out_ = false;
    int value_width_ = 0;
    QGlyphRun value_run_;
    std::vector<quint32> value_glyph_ids_;
    std::vector<QPointF> value_positions_;
    ValueGlyphs* value_glyphs_ = nullptr;   // the glyph table of the field's font
    bool by_line_edit_ = false;             // this paint is QLineEdit's
    bool scroll_stale_ = false;             // QLineEdit has not painted the text shown
    bool unshaped_ = false;                 // the font is the view's without shaping
    bool setting_strategy_ = false;         // the font changes by ChooseShaping() alone
    ValueGlyphs* shaped_glyphs_ = nullptr;  // the view's font with and without shaping
    ValueGlyphs* unshaped_glyphs_ = nullptr;
};

// The multi-line variant (the comment field): Enter starts a new line, long lines
// scroll instead of wrapping.
class ColourMultiLineEdit : public QPlainTextEdit, public ColourLabel, public FieldControl {
    Q_OBJECT
public:
    explicit ColourMultiLineEdit(QWidget* parent = nullptr);

    void ReplaceFieldText(const QString& text) override;
    QString FieldText() const override;
    bool IsFieldModified() const override;
    void SetFieldModified(bool modified) override;
    QWidget* AsWidget() override { return this; }
    ColourLabel& Colours() override { return *this; }
};

class ColourStatic : public QLabel, public ColourLabel {
    Q_OBJECT
public:
    explicit ColourStatic(const QString& text, QWidget* parent = nullptr);
};
