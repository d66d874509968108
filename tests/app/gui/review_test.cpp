// The review window: opened from the command line, File > Open... and File > Open
// Session.. by the file's header; keys and the overview move it; a seek shows what
// playing shows; printing and the picture commands take the review's view.
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QMouseEvent>

#include "app/gui/command_ids.h"
#include "app/gui/document.h"
#include "display/monitoring_view.h"
#include "display/review_frame.h"
#include "export/window_capture.h"
#include "recordings/capture_file.h"
#include "tests/app/gui/shell_fixture.h"
#include "tools/oximeter-sim/sim_session.h"

namespace {

class ReviewTest : public ShellTest {
protected:
    QString MakeSession(const std::string& name, double seconds) {
        sim::SessionOptions o;
        o.device.protocol = 2;
        o.seconds = seconds;
        o.gaps = {{100.0, 10.0, true}};
        std::string error;
        const std::string path = dir_.File(name);
        EXPECT_TRUE(sim::WriteSimulatedSession(path, o, &error)) << error;
        return QString::fromStdString(path);
    }
    CReviewFrame* ActiveReview() { return dynamic_cast<CReviewFrame*>(Area()->currentSubWindow()); }
    QString Field(CReviewFrame* r, int field) {
        return static_cast<QLineEdit*>(r->View()->Field(field))->text();
    }
    void Key(CReviewFrame* r, int key) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(r, &press);
    }
};

TEST_F(ReviewTest, ACaptureOnTheCommandLineOpensAReviewBesideNothingElse) {
    // Named like a document: the header decides.
    const QString path = MakeSession("night.velt", 180);
    ASSERT_TRUE(app_->InitInstance({path}));
    QApplication::processEvents();
    ASSERT_EQ(Area()->subWindowList().size(), 1);
    CReviewFrame* review = ActiveReview();
    ASSERT_NE(review, nullptr);
    EXPECT_EQ(review->windowTitle(), "night.velt Review");
    // The main window shows the review whole, its transport bar included.
    EXPECT_TRUE(Area()->rect().contains(review->geometry()))
        << Area()->width() << "x" << Area()->height() << " for " << review->width() << "x"
        << review->height();
    EXPECT_EQ(app_->ActiveView(), review->View());
    EXPECT_EQ(app_->ActiveLink(), nullptr);
    EXPECT_EQ(review->View()->GetLink(), nullptr);
    EXPECT_TRUE(review->PositionText().endsWith(" / 0:03:00"))
        << review->PositionText().toStdString();
    EXPECT_EQ(Field(review, PortText), "/dev/ttyUSB0");
    EXPECT_EQ(Field(review, ComputerText), "ward-3");
    ASSERT_TRUE(review->WaitForOverview(60000));
    EXPECT_EQ(review->Overview()->SecondCount(), 182u);

    // Keys move it; a seek shows what playing from the start shows.
    Key(review, Qt::Key_PageDown);
    EXPECT_EQ(review->PositionUs(), 60000000u);
    // The time of day and the time from the start.
    EXPECT_TRUE(review->PositionText().endsWith(QString::fromUtf8(" \u00b7 0:01:00 / 0:03:00")))
        << review->PositionText().toStdString();
    Key(review, Qt::Key_Right);
    Key(review, Qt::Key_Right);
    EXPECT_EQ(review->PositionUs(), 80000000u);
    Key(review, Qt::Key_Left);
    EXPECT_EQ(review->PositionUs(), 70000000u);
    Key(review, Qt::Key_End);
    EXPECT_EQ(review->PositionUs(), review->Session()->DurationUs());
    Key(review, Qt::Key_Home);
    EXPECT_EQ(review->PositionUs(), 0u);
    Key(review, Qt::Key_PageUp);
    EXPECT_EQ(review->PositionUs(), 0u);

    // A click on the overview seeks there: the middle of the strip is the middle.
    CReviewOverview* strip = review->Overview();
    const QPointF middle((strip->width() - 1) / 2, 10);
    QMouseEvent click(QEvent::MouseButtonPress, middle, strip->mapToGlobal(middle), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(strip, &click);
    EXPECT_NEAR(static_cast<double>(review->PositionUs()), 90010000.0, 400000.0);
    // In the loss: what the live window showed then.
    review->SeekTo(105000000);
    EXPECT_EQ(Field(review, StatusText), "*** Connection lost (error 5)");
    EXPECT_EQ(Field(review, Spo2), "x");

    review->SeekTo(150000000);
    const QString spo2 = Field(review, Spo2);
    const QString status = Field(review, StatusText);
    WaveformPlot::Snapshot sought;
    review->View()->MutablePlot().Save(sought);
    // Played from the start in another review of the same file.
    ASSERT_NE(app_->OpenReview(path), nullptr);
    CReviewFrame* other = ActiveReview();
    ASSERT_NE(other, review);
    other->SeekTo(0);
    for (uint64_t t = 0; t <= 150000000; t += 500000) other->Session()->AdvanceTo(t);
    EXPECT_EQ(Field(other, Spo2), spo2);
    EXPECT_EQ(Field(other, StatusText), status);
    WaveformPlot::Snapshot played;
    other->View()->MutablePlot().Save(played);
    EXPECT_EQ(played.write_position, sought.write_position);
    EXPECT_EQ(played.runs, sought.runs);
}

TEST_F(ReviewTest, PlaysAsFastAsPossibleToTheEndAndStops) {
    Start();
    const QString path = MakeSession("short.vcap", 30);
    app_->SetFileDialogForTesting([path](bool, const QString&) { return path; });
    app_->MainFrame()->Command(cmd::kFileOpen)->trigger();
    CReviewFrame* review = ActiveReview();
    ASSERT_NE(review, nullptr);
    EXPECT_EQ(Area()->subWindowList().size(), 2);  // beside the live window
    review->SetSpeed(0);
    Key(review, Qt::Key_Space);
    EXPECT_TRUE(review->Playing());
    QElapsedTimer waited;
    waited.start();
    while (review->Playing() && waited.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_FALSE(review->Playing());
    EXPECT_EQ(review->PositionUs(), review->Session()->DurationUs());
    EXPECT_EQ(Field(review, StatusText), "Disconnected");

    EXPECT_EQ(app_->MainFrame()->windowTitle(), "VELT Monitoring - short.vcap Review");

    // The picture commands take the review window, frame and transport bar included.
    EXPECT_EQ(image_export::WindowToCapture(app_->MainFrame()), review);
    const QImage picture = image_export::CaptureWindowBitmap(review);
    EXPECT_GE(picture.height(), review->View()->height() + review->Overview()->height());

    // File > Close closes the review, and nothing else.
    app_->MainFrame()->Command(cmd::kFileClose)->trigger();
    QApplication::processEvents();
    EXPECT_EQ(Area()->subWindowList().size(), 1);
    EXPECT_EQ(ActiveReview(), nullptr);
}

TEST_F(ReviewTest, OpenSessionRefusesOtherFilesAndOpenKeepsThemDocuments) {
    Start();
    dir_.Write("notes.velt", "");
    const QString notes = QString::fromStdString(dir_.File("notes.velt"));
    app_->SetFileDialogForTesting([notes](bool, const QString&) { return notes; });
    app_->MainFrame()->Command(cmd::kOpenSession)->trigger();
    ASSERT_EQ(prompts_.size(), 1);
    EXPECT_TRUE(prompts_[0].contains("not a recorded session")) << prompts_[0].toStdString();
    EXPECT_EQ(Area()->subWindowList().size(), 1);
    app_->MainFrame()->Command(cmd::kFileOpen)->trigger();
    EXPECT_EQ(Area()->subWindowList().size(), 2);
    EXPECT_EQ(ActiveReview(), nullptr);
    EXPECT_EQ(app_->ActiveDocument()->Title(), "notes.velt");

    // A capture whose header is damaged: said so, nothing opens.
    std::string bytes(recordings::kCaptureMagic, sizeof recordings::kCaptureMagic);
    bytes += std::string("\x07\x00\x18\x00", 4);
    dir_.Write("bad.vcap", bytes);
    const QString bad = QString::fromStdString(dir_.File("bad.vcap"));
    app_->SetFileDialogForTesting([bad](bool, const QString&) { return bad; });
    app_->MainFrame()->Command(cmd::kOpenSession)->trigger();
    ASSERT_EQ(prompts_.size(), 2);
    EXPECT_TRUE(prompts_[1].contains("cannot be read")) << prompts_[1].toStdString();
    EXPECT_EQ(Area()->subWindowList().size(), 2);

    // Named as a session but none: said so, no window, no port; a folder is called one.
    dir_.Write("empty.vcap", "");
    dir_.Write("text.vcap", "not a session\n");
    for (const char* name : {"empty.vcap", "text.vcap", "."}) {
        prompts_.clear();
        EXPECT_FALSE(app_->OpenFile(QString::fromStdString(dir_.File(name))));
        EXPECT_TRUE(prompts_.size() == 1 &&
                    prompts_[0].contains(name[0] == '.' ? "This is a folder" : "cannot be read: "))
            << name;
    }
    EXPECT_EQ(Area()->subWindowList().size(), 2);
}

}  // namespace
