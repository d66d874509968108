#include "export/window_capture.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <memory>
#include <new>
#include <span>

#include "export/gif_writer.h"
#include "export/indexed_image.h"
#include "export/palette.h"

namespace image_export {

namespace {

// Null where the platform cannot read the screen (some compositors refuse) or
// the window is not on it.
QPixmap GrabFromScreen(QWidget* window) {
    if (!window->isVisible() || window->isMinimized()) return {};
    QScreen* screen = window->screen();
    if (screen == nullptr) return {};
    const QRect frame = window->frameGeometry();
    const QPoint origin = screen->geometry().topLeft();
    QPixmap picture = screen->grabWindow(0, frame.x() - origin.x(), frame.y() - origin.y(),
                                         frame.width(), frame.height());
    const QSize expected = frame.size() * picture.devicePixelRatio();
    if (picture.isNull() || picture.size() != expected) return {};
    return picture;
}

// The 32-bit bottom-up rows (blue, green, red, 0) of the description's size.
void StoreBottomUp(const QImage& image, uint8_t* buffer) {
    const int width = image.width();
    const int height = image.height();
    for (int y = 0; y < height; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        uint8_t* out = buffer + int64_t{4} * width * (height - 1 - y);
        for (int x = 0; x < width; ++x, out += 4) {
            out[0] = static_cast<uint8_t>(qBlue(line[x]));
            out[1] = static_cast<uint8_t>(qGreen(line[x]));
            out[2] = static_cast<uint8_t>(qRed(line[x]));
            out[3] = 0;
        }
    }
}

}  // namespace

QWidget* WindowToCapture(QMainWindow* mainWindow) {
    if (mainWindow == nullptr) return nullptr;
    if (auto* area = qobject_cast<QMdiArea*>(mainWindow->centralWidget())) {
        // The current child stays set while another application has the focus,
        // where the active child would be none.
        QMdiSubWindow* child = area->currentSubWindow();
        if (child == nullptr) child = area->activeSubWindow();
        if (child != nullptr) return child;
    }
    return mainWindow;
}

QImage CaptureWindowBitmap(QWidget* window) {
    if (window == nullptr) return {};
    QPixmap picture;
    if (window->isWindow()) picture = GrabFromScreen(window);
    if (picture.isNull()) picture = window->grab();
    if (picture.isNull()) return {};
    return picture.toImage().convertToFormat(QImage::Format_RGB32);
}

void CopyWindowImage(QMainWindow* mainWindow) {
    const QImage picture = CaptureWindowBitmap(WindowToCapture(mainWindow));
    if (picture.isNull()) return;
    QGuiApplication::clipboard()->setImage(picture);
}

void SaveWindowImage(QMainWindow* mainWindow) {
    const QImage picture = CaptureWindowBitmap(WindowToCapture(mainWindow));
    if (picture.isNull()) return;
    BitmapDescription description = DescribeBitmap32(picture.width(), picture.height());
    if (description.header.sizeImage == 0) return;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[description.header.sizeImage]);
    if (!buffer) return;
    const std::span<uint8_t> bytes(buffer.get(), description.header.sizeImage);
    StoreBottomUp(picture, buffer.get());
    if (description.header.clrUsed == 0 && !ReducePalette(description, bytes)) return;
    WriteGif(MakeIndexedImage(description, bytes), "gifFile.gif");
}

}  // namespace image_export
