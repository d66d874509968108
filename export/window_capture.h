// The "Copy as image" and "Save as image.." exports: a picture of the main
// window's current document window, frame and title bar included, or of the main
// window itself when it has no document window.
#pragma once

#include <QImage>

class QMainWindow;
class QWidget;

namespace image_export {

// The window the exports picture: the MDI area's current child window, else the
// main window. nullptr without a main window.
QWidget* WindowToCapture(QMainWindow* mainWindow);

// What the window shows, frame included, as a 32-bit image; null for no window.
// A child window renders itself with its frame and title bar. A top-level window
// is read from the screen over its frame geometry; where the platform cannot read
// the screen (some compositors refuse) it renders itself, without the frame.
QImage CaptureWindowBitmap(QWidget* window);

// Puts the picture on the clipboard. Does nothing without a window to capture.
void CopyWindowImage(QMainWindow* mainWindow);

// Reduces the picture to at most 256 colours and writes "gifFile.gif" in the
// working directory, replacing any earlier one. Nothing is written when there is
// no window to capture or the pixel buffer cannot be had.
void SaveWindowImage(QMainWindow* mainWindow);

}  // namespace image_export
