#include "display/colour_label.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QTextDocument>

namespace {

QImage Render(QWidget& w) {
    w.ensurePolished();
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QFont PinnedFont() {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(12);
    return f;
}

TEST(ColourLabel, UnsetControlsPaintExactlyLikePlainWidgets) {
    QWidget parent;
    parent.setFont(PinnedFont());
    ColourEdit coloured(&parent);
    QLineEdit plain(&parent);
    ColourStatic coloured_label(QStringLiteral(" Pulse /bpm"), &parent);
    QLabel plain_label(QStringLiteral(" Pulse /bpm"), &parent);
    for (QWidget* w : {static_cast<QWidget*>(&coloured), static_cast<QWidget*>(&plain)}) {
        w->resize(70, 20);
        static_cast<QLineEdit*>(w)->setText(QStringLiteral("12.5"));
    }
    coloured_label.resize(100, 20);
    plain_label.resize(100, 20);

    EXPECT_EQ(coloured.BackgroundColour(), ColourLabel::DEFAULT_COLOUR);
    EXPECT_EQ(coloured.TextColour(), ColourLabel::DEFAULT_COLOUR);
    EXPECT_FALSE(coloured.testAttribute(Qt::WA_SetPalette));
    EXPECT_FALSE(coloured_label.testAttribute(Qt::WA_SetPalette));
    EXPECT_EQ(Render(coloured), Render(plain));
    EXPECT_EQ(Render(coloured_label), Render(plain_label));

    // Setting a colour and unsetting it again gives the plain control back.
    coloured.SetBackgroundColour(RGB(10, 200, 30));
    EXPECT_NE(Render(coloured), Render(plain));
    coloured.SetBackgroundColour(0xFF123456u);  // any high byte 0xFF means unset
    EXPECT_FALSE(ColourLabel::IsSet(coloured.BackgroundColour()));
    EXPECT_EQ(Render(coloured), Render(plain));
    EXPECT_FALSE(coloured.testAttribute(Qt::WA_SetPalette));
}

TEST(ColourLabel, BackgroundColourFillsControlAndKeepsDefaultText) {
    QWidget parent;
    parent.setFont(PinnedFont());
    ColourEdit edit(&parent);
    edit.resize(70, 20);
    edit.setReadOnly(true);
    // Stored before the first paint, used by it.
    edit.SetBackgroundColour(RGB(240, 240, 240));
    EXPECT_EQ(edit.BackgroundColour(), RGB(240, 240, 240));
    const QImage image = Render(edit);
    EXPECT_EQ(image.pixelColor(35, 10), QColor(240, 240, 240));
    EXPECT_EQ(edit.palette().color(QPalette::Text),
              QApplication::palette(&edit).color(QPalette::Text));

    ColourStatic label(QStringLiteral(" SPO2 /%"), &parent);
    label.resize(100, 20);
    label.SetBackgroundColour(RGB(224, 224, 255));
    const QImage li = Render(label);
    // Corners and the right end, away from the text, show the background.
    for (QPoint p : {QPoint(0, 0), QPoint(99, 19), QPoint(95, 10), QPoint(0, 19)})
        EXPECT_EQ(li.pixelColor(p), QColor(224, 224, 255)) << p.x() << "," << p.y();
    EXPECT_EQ(label.palette().color(QPalette::WindowText),
              QApplication::palette(&label).color(QPalette::WindowText));
}

TEST(ColourLabel, TextColourColoursTheText) {
    QWidget parent;
    parent.setFont(PinnedFont());
    ColourStatic label(QStringLiteral("MMMM"), &parent);
    QLabel plain(QStringLiteral("MMMM"), &parent);
    label.resize(60, 20);
    plain.resize(60, 20);
    label.SetTextColour(RGB(255, 0, 0));
    // Antialiased glyphs: count clearly red pixels, which the plain label has none of.
    auto reddish = [](const QImage& image) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.red() > 150 && c.green() < 100 && c.blue() < 100) ++n;
            }
        return n;
    };
    EXPECT_GT(reddish(Render(label)), 20);
    EXPECT_EQ(reddish(Render(plain)), 0);
    // Only the text role changed: the label keeps the parent's background.
    EXPECT_FALSE(label.autoFillBackground());
}

TEST(ColourEditFields, ReplacingTextMarksTheFieldModified) {
    ColourEdit edit;
    edit.setText(QStringLiteral("old"));
    EXPECT_FALSE(edit.IsFieldModified());
    edit.ReplaceFieldText(QStringLiteral("new value"));
    EXPECT_EQ(edit.FieldText(), QStringLiteral("new value"));
    EXPECT_TRUE(edit.IsFieldModified());
    edit.SetFieldModified(false);
    EXPECT_FALSE(edit.isModified());
    // Read-only fields are written the same way.
    edit.setReadOnly(true);
    edit.ReplaceFieldText(QStringLiteral("x"));
    EXPECT_EQ(edit.text(), QStringLiteral("x"));
    EXPECT_TRUE(edit.IsFieldModified());
}

// A parent whose picture is its background colour, or a pattern in the first column.
class BackdropParent : public QWidget, public FieldBackdrop {
public:
    bool patterned = false;
    bool PlainBackdrop(const QRect&, QColor* colour) const override {
        if (patterned) return false;
        *colour = palette().color(backgroundRole());
        return true;
    }
    void PaintBackdrop(QPainter& painter, const QRect& area) const override {
        painter.translate(-area.topLeft());
        Paint(painter);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        Paint(painter);
    }

private:
    void Paint(QPainter& painter) const {
        painter.fillRect(rect(), palette().color(backgroundRole()));
        if (patterned) painter.fillRect(QRect(0, 0, 1, height()), QColor(0, 255, 0));
    }
};

// A field that paints its own backdrop, with its panel from the kept picture, looks
// exactly like the plain field on the parent's picture.
TEST(ColourEditFields, FieldWithBackdropPaintsExactlyLikeOneOverItsParent) {
    for (bool patterned : {false, true}) {
        SCOPED_TRACE(patterned ? "patterned backdrop" : "plain backdrop");
        BackdropParent parent;
        parent.patterned = patterned;
        parent.setFont(PinnedFont());
        parent.resize(70, 40);
        ColourEdit kept(&parent);
        ColourEdit plain(&parent);
        for (ColourEdit* edit : {&kept, &plain}) {
            edit->setReadOnly(true);
            edit->SetBackgroundColour(RGB(240, 240, 240));
            edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        }
        kept.SetBackdrop(&parent);
        EXPECT_TRUE(kept.testAttribute(Qt::WA_OpaquePaintEvent));
        kept.setGeometry(0, 0, 70, 20);
        plain.setGeometry(0, 20, 70, 20);
        for (const char* text : {"97.0", "0.0965", "1234567890123"}) {
            kept.ReplaceFieldTextUtf8(text);
            plain.ReplaceFieldTextUtf8(text);
            const QImage shot = parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
            EXPECT_EQ(shot.copy(0, 0, 70, 20), shot.copy(0, 20, 70, 20)) << text;
        }
    }
}

// A value field paints its text itself where it can (read-only, text that fits, caret
// behind it): pixel for pixel what QLineEdit paints, in every alignment and colour, and
// the texts it leaves to QLineEdit look the same too.
TEST(ColourEditFields, ValueFieldsLookLikeLineEditsWhateverTheirTextAlignmentAndColour) {
    BackdropParent parent;
    parent.setFont(PinnedFont());
    parent.resize(160, 40);
    ColourEdit kept(&parent);
    ColourEdit plain(&parent);
    kept.setGeometry(0, 0, 160, 20);
    plain.setGeometry(0, 20, 160, 20);
    kept.SetBackdrop(&parent);
    const Qt::Alignment aligns[] = {Qt::AlignRight | Qt::AlignVCenter,
                                    Qt::AlignLeft | Qt::AlignVCenter,
                                    Qt::AlignHCenter | Qt::AlignTop};
    const Colour colours[][2] = {{RGB(240, 240, 240), ColourLabel::DEFAULT_COLOUR},
                                 {RGB(255, 255, 0), RGB(200, 0, 0)},
                                 {ColourLabel::DEFAULT_COLOUR, RGB(0, 0, 255)}};
    for (ColourEdit* edit : {&kept, &plain}) edit->setReadOnly(true);
    for (const Qt::Alignment align : aligns)
        for (const auto& colour : colours) {
            for (ColourEdit* edit : {&kept, &plain}) {
                edit->setAlignment(align);
                edit->SetBackgroundColour(colour[0]);
                edit->SetTextColour(colour[1]);
            }
            for (const char* text :
                 {"97", "0.0965", "-12.5", "1.09", "2026-12-10 16:18:33", "11:07", "+4.7/1,0",
                  "Connected..", "", " 7", "7 ", "1234567890123456789012345678901234567890"}) {
                kept.ReplaceFieldTextUtf8(text);
                plain.ReplaceFieldTextUtf8(text);
                const QImage shot = parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
                EXPECT_EQ(shot.copy(0, 0, 160, 20), shot.copy(0, 20, 160, 20))
                    << text << " alignment " << align;
            }
        }
    // The text stays QLineEdit's: selecting after a value was painted takes the text shown.
    kept.ReplaceFieldTextUtf8("0.0965");
    parent.grab();
    kept.selectAll();
    EXPECT_EQ(kept.selectedText(), QStringLiteral("0.0965"));
}

TEST(ColourEditFields, MultiLineFieldKeepsLinesAndReportsThemWithCrLf) {
    ColourMultiLineEdit edit;
    edit.ReplaceFieldText(QStringLiteral("first\r\nsecond\nthird"));
    EXPECT_EQ(edit.document()->blockCount(), 3);
    EXPECT_EQ(edit.toPlainText(), QStringLiteral("first\nsecond\nthird"));
    EXPECT_EQ(edit.FieldText(), QStringLiteral("first\r\nsecond\r\nthird"));
    EXPECT_TRUE(edit.IsFieldModified());
    edit.SetFieldModified(false);
    EXPECT_FALSE(edit.IsFieldModified());
    EXPECT_EQ(edit.lineWrapMode(), QPlainTextEdit::NoWrap);
}

}  // namespace
