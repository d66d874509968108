#include "export/window_capture.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QSet>
#include <QWidget>
#include <filesystem>

#include "tests/export/gif_oracle.h"
#include "tests/support/temp_dir.h"

namespace {

using image_export::CaptureWindowBitmap;
using image_export::CopyWindowImage;
using image_export::SaveWindowImage;
using image_export::WindowToCapture;

// "gifFile.gif" goes to the working directory: run each test in its own.
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const std::string& path)
        : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(path);
    }
    ~ScopedWorkingDirectory() { std::filesystem::current_path(previous_); }

private:
    std::filesystem::path previous_;
};

QWidget* SolidWidget(const QColor& colour) {
    auto* widget = new QWidget;
    widget->setAutoFillBackground(true);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
    return widget;
}

class WindowCapture : public ::testing::Test {
protected:
    void SetUp() override {
        area_ = new QMdiArea;
        main_.setCentralWidget(area_);
        main_.resize(1100, 760);
        main_.show();
        QApplication::processEvents();
    }

    QMdiSubWindow* AddChild(const QColor& colour, const QRect& geometry) {
        QMdiSubWindow* child = area_->addSubWindow(SolidWidget(colour));
        child->setWindowTitle("VELT");
        child->show();
        child->setGeometry(geometry);
        area_->setActiveSubWindow(child);
        QApplication::processEvents();
        return child;
    }

    gif_oracle::DecodedGif SavedGif() const { return gif_oracle::Decode(dir_.Read("gifFile.gif")); }

    testing_support::TempDir dir_;
    ScopedWorkingDirectory cwd_{dir_.path()};
    QMainWindow main_;
    QMdiArea* area_ = nullptr;
};

gif_oracle::Rgb ToRgb(QRgb p) { return {uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))}; }

// The decoded file shows the captured picture: every pixel in its own colour,
// except colours first met (from the bottom row up) after 256 others, which show
// the 256th.
void ExpectSamePicture(const gif_oracle::DecodedGif& gif, const QImage& picture) {
    ASSERT_TRUE(gif.ok) << gif.error;
    ASSERT_EQ(gif.width, picture.width());
    ASSERT_EQ(gif.height, picture.height());
    QSet<QRgb> kept;
    QRgb last = 0;
    for (int y = picture.height() - 1; y >= 0; --y)
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb p = picture.pixel(x, y) & 0xFFFFFF;
            if (!kept.contains(p) && kept.size() < 256) {
                kept.insert(p);
                last = p;
            }
            const QRgb shown = kept.contains(p) ? p : last;
            ASSERT_EQ(gif.At(x, y), ToRgb(shown)) << x << "," << y;
        }
}

TEST_F(WindowCapture, SavesTheCurrentChildWindowWithItsFrameAndTitleBar) {
    QMdiSubWindow* child = AddChild(QColor(200, 0, 200), QRect(0, 0, 858, 468));
    ASSERT_EQ(WindowToCapture(&main_), child);
    ASSERT_LT(child->widget()->height(), 468) << "the child has a title bar";

    SaveWindowImage(&main_);
    const gif_oracle::DecodedGif gif = SavedGif();
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_EQ(gif.width, 858);
    EXPECT_EQ(gif.height, 468);
    ExpectSamePicture(gif, CaptureWindowBitmap(child));

    // The content is in the picture below the title bar, and the title bar is not
    // content-coloured.
    const QPoint content = child->widget()->geometry().center();
    EXPECT_EQ(gif.At(content.x(), content.y()), (gif_oracle::Rgb{200, 0, 200}));
    const int titleY = child->widget()->geometry().top() / 2;
    EXPECT_FALSE(gif.At(429, titleY) == (gif_oracle::Rgb{200, 0, 200}));
}

TEST_F(WindowCapture, CopiesTheChildWindowToTheClipboard) {
    QMdiSubWindow* child = AddChild(QColor(0, 90, 200), QRect(0, 0, 858, 468));
    QGuiApplication::clipboard()->setText("before");
    CopyWindowImage(&main_);
    const QImage copied = QGuiApplication::clipboard()->image();
    ASSERT_FALSE(copied.isNull());
    EXPECT_EQ(copied.size(), QSize(858, 468));
    EXPECT_EQ(copied.convertToFormat(QImage::Format_RGB32), CaptureWindowBitmap(child));
    EXPECT_FALSE(std::filesystem::exists(dir_.File("gifFile.gif")));
}

TEST_F(WindowCapture, TheCurrentOfSeveralChildrenIsCaptured) {
    AddChild(QColor(10, 200, 10), QRect(0, 0, 858, 468));
    QMdiSubWindow* second = AddChild(QColor(250, 250, 0), QRect(40, 30, 401, 233));
    ASSERT_EQ(WindowToCapture(&main_), second);
    SaveWindowImage(&main_);
    const gif_oracle::DecodedGif gif = SavedGif();
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_EQ(gif.width, 401);
    EXPECT_EQ(gif.height, 233);
    const QPoint content = second->widget()->geometry().center();
    EXPECT_EQ(gif.At(content.x(), content.y()), (gif_oracle::Rgb{250, 250, 0}));
}

TEST_F(WindowCapture, WithoutAChildTheMainWindowIsCaptured) {
    ASSERT_EQ(WindowToCapture(&main_), &main_);
    SaveWindowImage(&main_);
    const gif_oracle::DecodedGif gif = SavedGif();
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_EQ(QSize(gif.width, gif.height), main_.frameGeometry().size());
    const QImage picture = CaptureWindowBitmap(&main_);
    ExpectSamePicture(gif, picture);
    // Inside the frame, the picture is what the window itself shows.
    const QImage inside = main_.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QPoint offset = main_.geometry().topLeft() - main_.frameGeometry().topLeft();
    EXPECT_EQ(picture.copy(QRect(offset, inside.size())), inside);

    CopyWindowImage(&main_);
    EXPECT_EQ(QGuiApplication::clipboard()->image().size(), main_.frameGeometry().size());
}

TEST_F(WindowCapture, ASecondSaveReplacesTheFirst) {
    QMdiSubWindow* child = AddChild(QColor(200, 0, 0), QRect(0, 0, 858, 468));
    SaveWindowImage(&main_);
    const QPoint content = child->widget()->geometry().center();
    ASSERT_EQ(SavedGif().At(content.x(), content.y()), (gif_oracle::Rgb{200, 0, 0}));

    QPalette palette = child->widget()->palette();
    palette.setColor(QPalette::Window, QColor(0, 0, 150));
    child->widget()->setPalette(palette);
    child->resize(500, 300);
    QApplication::processEvents();
    SaveWindowImage(&main_);
    const gif_oracle::DecodedGif gif = SavedGif();
    ASSERT_TRUE(gif.ok) << gif.error;
    EXPECT_EQ(gif.width, 500);
    EXPECT_EQ(gif.height, 300);
    const QPoint moved = child->widget()->geometry().center();
    EXPECT_EQ(gif.At(moved.x(), moved.y()), (gif_oracle::Rgb{0, 0, 150}));
}

TEST_F(WindowCapture, NoMainWindowDoesNothing) {
    QGuiApplication::clipboard()->setText("untouched");
    EXPECT_EQ(WindowToCapture(nullptr), nullptr);
    EXPECT_TRUE(CaptureWindowBitmap(nullptr).isNull());
    CopyWindowImage(nullptr);
    SaveWindowImage(nullptr);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "untouched");
    EXPECT_FALSE(std::filesystem::exists(dir_.File("gifFile.gif")));
}

}  // namespace
