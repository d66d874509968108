// The coloured controls of the monitoring view: an edit field (single- and multi-line)
// and a static label that may carry their own text and background colours.
// ColourLabel is their shared colour handling; with both colours unset a control is
// left exactly as the plain widget (no palette of its own).
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QString>

#include "platform/colour.h"

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
    // The text as the field holds it; lines of a multi-line field end in CR LF.
    virtual QString FieldText() const = 0;
    virtual bool IsFieldModified() const = 0;
    virtual void SetFieldModified(bool modified) = 0;
    virtual QWidget* AsWidget() = 0;
    virtual ColourLabel& Colours() = 0;
};

class ColourEdit : public QLineEdit, public ColourLabel, public FieldControl {
    Q_OBJECT
public:
    explicit ColourEdit(QWidget* parent = nullptr);

    void ReplaceFieldText(const QString& text) override;
    QString FieldText() const override { return text(); }
    bool IsFieldModified() const override { return isModified(); }
    void SetFieldModified(bool modified) override { setModified(modified); }
    QWidget* AsWidget() override { return this; }
    ColourLabel& Colours() override { return *this; }
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
