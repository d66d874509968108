// File > Export.. of a review window, driven through its real dialog: the part
// selected on the overview with Shift+drag exports to the same bytes velt-process
// writes for that range (EDF+ read back by EDFlib, CSV rows counted); a cancelled
// export leaves nothing and keeps the file it would have replaced; a write that
// cannot happen says why, naming the file.
#include <edflib.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/gui/command_ids.h"
#include "app/gui/document.h"
#include "display/alarm_watch.h"
#include "display/export_dialog.h"
#include "display/review_frame.h"
#include "sessions/session_events.h"
#include "tests/app/gui/shell_fixture.h"
#include "tools/oximeter-sim/sim_session.h"

namespace {

class ReviewExportTest : public ShellTest {
protected:
    void TearDown() override {
        CExportDialog::SetFileChooserForTesting({});
        CExportDialog::SetConfirmForTesting({});
        ShellTest::TearDown();
    }
    // damage_at: a byte offset whose 16 bytes are overwritten, so reading skips them.
    CReviewFrame* OpenSession(double seconds, long damage_at = -1,
                              std::vector<sim::SessionNote> notes = {}) {
        sim::SessionOptions o;
        o.device.protocol = 2;
        o.seconds = seconds;
        o.notes = std::move(notes);
        o.gaps = {{50.0, 8.0, true}};
        std::string error;
        session_ = dir_.File("night.velt");
        EXPECT_TRUE(sim::WriteSimulatedSession(session_, o, &error)) << error;
        if (damage_at >= 0) {
            QFile f(QString::fromStdString(session_));
            EXPECT_TRUE(f.open(QIODevice::ReadWrite) && f.seek(damage_at));
            f.write(QByteArray(16, '\x55'));
        }
        EXPECT_TRUE(app_->InitInstance({QString::fromStdString(session_)}));
        QApplication::processEvents();
        auto* review = dynamic_cast<CReviewFrame*>(Area()->currentSubWindow());
        if (review != nullptr) {
            review->SetMessageForTesting([this](const QString& text) { messages_ << text; });
            EXPECT_TRUE(review->WaitForOverview(60000));
        }
        return review;
    }
    void Mouse(QWidget* w, QEvent::Type type, double x, Qt::KeyboardModifiers modifiers) {
        const QPointF at(x, 10);
        const Qt::MouseButtons held =
            type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent e(type, at, w->mapToGlobal(at), Qt::LeftButton, held, modifiers);
        QApplication::sendEvent(w, &e);
    }
    // The x of a moment on the strip.
    static double XOf(CReviewFrame* review, double seconds) {
        const double duration = static_cast<double>(review->Session()->DurationUs()) / 1e6;
        return seconds / duration * (review->Overview()->width() - 1);
    }
    // Runs File > Export.. (or Report..) with `fill` answering the dialog once it shows.
    void Export(const std::function<void(CExportDialog*)>& fill,
                int command = cmd::kExportSession) {
        QTimer::singleShot(0, [fill] {
            auto* dialog = qobject_cast<CExportDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            fill(dialog);
        });
        app_->MainFrame()->Command(command)->trigger();
    }
    // A PDF's text without the lines that name the program's version.
    static QString PdfText(const std::string& pdf) {
        QProcess p;
        p.start("pdftotext", {QString::fromStdString(pdf), "-"});
        EXPECT_TRUE(p.waitForFinished(30000));
        QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n');
        lines.removeIf([](const QString& l) { return l.contains("VELT Monitoring"); });
        return lines.join('\n');
    }
    std::string VeltProcess(const QStringList& args) {
        QProcess p;
        p.start(VELT_PROCESS_BIN,
                QStringList{"--capture", QString::fromStdString(session_)} + args);
        EXPECT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        return p.readAllStandardError().toStdString();
    }
    QStringList LeftIn(const std::string& dir) {
        return QDir(QString::fromStdString(dir)).entryList(QDir::Files | QDir::Hidden);
    }

    std::string session_;
    QStringList messages_;
};

TEST_F(ReviewExportTest, TheSelectedPartExportsAsVeltProcessWritesIt) {
    CReviewFrame* review = OpenSession(150);
    ASSERT_NE(review, nullptr);
    EXPECT_TRUE(app_->MainFrame()->Command(cmd::kExportSession)->isEnabled());

    // Shift+drag from about 40 s to about 100 s selects; it does not seek.
    review->SeekTo(10000000);
    CReviewOverview* strip = review->Overview();
    Mouse(strip, QEvent::MouseButtonPress, XOf(review, 40.3), Qt::ShiftModifier);
    Mouse(strip, QEvent::MouseMove, XOf(review, 70), Qt::ShiftModifier);
    Mouse(strip, QEvent::MouseMove, XOf(review, 99.6), Qt::ShiftModifier);
    Mouse(strip, QEvent::MouseButtonRelease, XOf(review, 99.6), Qt::ShiftModifier);
    int64_t from = 0, to = 0;
    ASSERT_TRUE(strip->Selection(&from, &to));
    EXPECT_NEAR(from, 40, 1);
    EXPECT_NEAR(to, 100, 1);
    EXPECT_EQ(review->PositionUs(), 10000000u);

    const std::string gui_edf = dir_.File("gui.edf"), gui_csv = dir_.File("gui.csv");
    CExportDialog::SetFileChooserForTesting(
        [&](const QString&) { return QString::fromStdString(gui_edf); });
    Export([](CExportDialog* d) {
        // The selection both ways: from the start, and the time of day.
        EXPECT_TRUE(d->SelectionButton()->text().contains(QRegularExpression(
            "0:0\\d:\\d\\d to 0:0\\d:\\d\\d \\(\\d\\d:\\d\\d:\\d\\d to \\d\\d:\\d\\d:\\d\\d\\)$")))
            << d->SelectionButton()->text().toStdString();
        // Apart from the sessions: exports/ of the working directory at first.
        EXPECT_EQ(d->PathEdit()->text(), QDir::current().absoluteFilePath("exports/night.edf"));
        EXPECT_TRUE(d->SelectionButton()->isEnabled());
        d->SelectionButton()->setChecked(true);
        d->BrowseButton()->click();
        d->PatientEdit()->setText("MCH-0234567 F 02-MAY-1951 X");
        d->OkButton()->click();
    });
    ASSERT_TRUE(review->WaitForExport(60000));
    // Said in a message and the status bar: how long, where, how large.
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains(QRegularExpression("^Exported 0:0\\d:\\d\\d to " +
                                                         QString::fromStdString(gui_edf) +
                                                         " \\(\\d+\\.\\d MB\\)\\.$")))
        << messages_[0].toStdString();
    EXPECT_EQ(app_->MainFrame()->statusBar()->currentMessage() + ".", messages_[0]);

    // The CSV through the same dialog: the format switch renames the suggestion.
    Export([&](CExportDialog* d) {
        // Then the folder chosen last.
        EXPECT_EQ(d->PathEdit()->text().toStdString(), dir_.File("night.edf"));
        d->PathEdit()->setText(QString::fromStdString(gui_edf));
        d->CsvButton()->setChecked(true);
        EXPECT_EQ(d->PathEdit()->text().toStdString(), gui_csv);
        EXPECT_FALSE(d->PatientEdit()->isEnabled());
        d->SelectionButton()->setChecked(true);
        d->OkButton()->click();
    });
    ASSERT_TRUE(review->WaitForExport(60000));
    ASSERT_EQ(messages_.size(), 2);
    EXPECT_TRUE(messages_[1].contains("gui.csv")) << messages_[1].toStdString();

    const QString f = QString::number(from), t = QString::number(to);
    VeltProcess({"--edf", QString::fromStdString(dir_.File("cli.edf")), "--from", f, "--to", t,
                 "--patient", "MCH-0234567 F 02-MAY-1951 X"});
    VeltProcess({"--csv", QString::fromStdString(dir_.File("cli.csv")), "--from", f, "--to", t});
    const std::string edf = dir_.Read("gui.edf"), csv = dir_.Read("gui.csv");
    ASSERT_FALSE(edf.empty());
    EXPECT_TRUE(edf == dir_.Read("cli.edf"));
    EXPECT_EQ(csv, dir_.Read("cli.csv"));

    edf_hdr_struct hdr{};
    ASSERT_EQ(edfopen_file_readonly(gui_edf.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0)
        << hdr.filetype;
    EXPECT_EQ(hdr.datarecords_in_file, to - from);
    EXPECT_STREQ(hdr.patientcode, "MCH-0234567");
    edfclose_file(hdr.handle);
    // A header row and one row per second.
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), to - from + 1);

    // A review saves nothing; a monitoring window exports nothing.
    EXPECT_FALSE(app_->MainFrame()->Command(cmd::kFileSave)->isEnabled());
    EXPECT_FALSE(app_->MainFrame()->Command(cmd::kFileSaveAs)->isEnabled());
    app_->OnFileNew();
    QApplication::processEvents();
    EXPECT_FALSE(app_->MainFrame()->Command(cmd::kExportSession)->isEnabled());
    EXPECT_TRUE(app_->MainFrame()->Command(cmd::kFileSave)->isEnabled());
}

TEST_F(ReviewExportTest, ACancelledExportLeavesNothingAndAFailedOneSaysWhy) {
    CReviewFrame* review = OpenSession(60);
    ASSERT_NE(review, nullptr);
    // A file with contents: replaced only when the user agrees.
    dir_.Write("out.csv", "kept\n");
    QStringList asked;
    bool agree = false;
    CExportDialog::SetConfirmForTesting([&](const QString& text) {
        asked << text;
        return agree;
    });
    // The worker waits at its start until the Cancel has been pressed.
    std::atomic<bool> cancelled{false};
    review->SetExportStartForTesting([&cancelled] {
        while (!cancelled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    Export([&](CExportDialog* d) {
        EXPECT_FALSE(d->SelectionButton()->isEnabled());
        EXPECT_TRUE(d->WholeButton()->isChecked());
        d->CsvButton()->setChecked(true);
        d->PathEdit()->setText(QString::fromStdString(dir_.File("out.csv")));
        d->OkButton()->click();
        // Refused: the dialog stays.
        EXPECT_TRUE(d->isVisible());
        agree = true;
        d->OkButton()->click();
    });
    ASSERT_EQ(asked.size(), 2);
    EXPECT_TRUE(asked[0].contains("out.csv"));
    ASSERT_TRUE(review->ExportRunning());
    QProgressDialog* progress = review->ExportProgress();
    ASSERT_NE(progress, nullptr);
    auto* cancel = progress->findChild<QPushButton*>();
    ASSERT_NE(cancel, nullptr);
    cancel->click();
    cancelled = true;
    ASSERT_TRUE(review->WaitForExport(60000));
    EXPECT_EQ(dir_.Read("out.csv"), "kept\n");
    EXPECT_EQ(LeftIn(dir_.path()).filter("out.csv").size(), 1);
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains(QString::fromStdString(dir_.File("out.csv"))));
    EXPECT_TRUE(messages_[0].contains("cancelled"));

    // A folder that is a regular file cannot hold the export.
    review->SetExportStartForTesting({});
    dir_.Write("plain", "x");
    const QString bad = QString::fromStdString(dir_.File("plain/out.edf"));
    Export([&](CExportDialog* d) {
        d->PathEdit()->setText(bad);
        d->OkButton()->click();
    });
    ASSERT_TRUE(review->WaitForExport(60000));
    ASSERT_EQ(messages_.size(), 2);
    EXPECT_TRUE(messages_[1].contains(bad)) << messages_[1].toStdString();
    EXPECT_TRUE(messages_[1].contains("failed")) << messages_[1].toStdString();
    EXPECT_TRUE(messages_[1].contains("Not a directory")) << messages_[1].toStdString();
    EXPECT_EQ(dir_.Read("plain"), "x");
}

// The reviewed session, by any spelling of its name, is no place for an export or a
// document: refused naming it as the open session, never offered for replacing.
TEST_F(ReviewExportTest, TheOpenSessionIsNeverWrittenOverWhateverItsSpelling) {
    CReviewFrame* review = OpenSession(10);
    ASSERT_NE(review, nullptr);
    const std::string bytes = dir_.Read("night.velt");
    ASSERT_EQ(symlink(session_.c_str(), dir_.File("link.velt").c_str()), 0);
    ASSERT_EQ(link(session_.c_str(), dir_.File("hard.velt").c_str()), 0);
    bool asked = false;
    CExportDialog::SetConfirmForTesting([&](const QString&) { return asked = true; });
    CVELTMonitoringDoc* doc = app_->OnFileNew();
    ASSERT_NE(doc, nullptr);
    for (const std::string& spelled : {session_, dir_.path() + "/./night.velt",
                                       dir_.File("link.velt"), dir_.File("hard.velt")}) {
        const QString name = QString::fromStdString(spelled);
        Area()->setActiveSubWindow(review);
        Export([&](CExportDialog* d) {
            d->PathEdit()->setText(name);
            d->OkButton()->click();
            EXPECT_TRUE(d->isVisible());
            EXPECT_TRUE(d->Problem()->text().contains("is the open session")) << spelled;
            d->reject();
        });
        EXPECT_FALSE(review->ExportRunning());
        app_->SetFileDialogForTesting([name](bool, const QString&) { return name; });
        prompts_.clear();
        Area()->setActiveSubWindow(doc->Frames().front());
        EXPECT_FALSE(app_->OnFileSaveAs());
        EXPECT_TRUE(prompts_.size() == 1 && prompts_[0].contains("is the open session")) << spelled;
    }
    EXPECT_FALSE(asked);
    EXPECT_EQ(dir_.Read("night.velt"), bytes);
}

}  // namespace

TEST_F(ReviewExportTest, AnExportOverDamageSaysWhatItPassedOver) {
    CReviewFrame* review = OpenSession(30, 100000);
    ASSERT_NE(review, nullptr);
    Export([&](CExportDialog* d) {
        d->CsvButton()->setChecked(true);
        d->PathEdit()->setText(QString::fromStdString(dir_.File("out.csv")));
        d->OkButton()->click();
    });
    ASSERT_TRUE(review->WaitForExport(60000));
    EXPECT_FALSE(dir_.Read("out.csv").empty());
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_TRUE(messages_[0].contains("damaged")) << messages_[0].toStdString();
    EXPECT_TRUE(messages_[0].startsWith("Exported 0:00:")) << messages_[0].toStdString();
    EXPECT_TRUE(messages_[0].contains(QString::fromStdString(dir_.File("out.csv"))));
}

// What the window recorded shows in the review: ticks on the overview with their texts
// (an alarm, a mark, damage) and the alarm pane as it was at the position; a mark added
// in the review goes into the marks file beside the session and a removal takes it out.
TEST_F(ReviewExportTest, AlarmsMarksAndDamageShowAndReviewMarksAreKeptBeside) {
    alarms::Event start{alarms::Event::kStart, 0, {}};
    start.alarm.kind = alarms::kSpo2Desat;
    start.alarm.priority = alarms::Priority::kHigh;
    start.alarm.value = 82;
    start.alarm.limit = 85;
    alarms::Event end = start;
    end.what = alarms::Event::kEnd;
    CReviewFrame* review =
        OpenSession(30, 250000,
                    {{4.0, recordings::CaptureKind::Alarm, session_events::AlarmText(start, false)},
                     {9.0, recordings::CaptureKind::Alarm, session_events::AlarmText(end, false)},
                     {14.0, recordings::CaptureKind::Mark, "0\tCough"}});
    ASSERT_NE(review, nullptr);
    EXPECT_EQ(review->Overview()->TickTextAt(static_cast<int>(XOf(review, 4.0) + 0.5)),
              "Alarm: *** SpO2 82 < 85");
    EXPECT_EQ(review->Overview()->TickTextAt(static_cast<int>(XOf(review, 14.0) + 0.5)),
              "Mark: Cough");
    bool damage = false;
    for (int x = 0; x < review->Overview()->width(); ++x)
        damage |= review->Overview()->TickTextAt(x).startsWith("session file damaged: ");
    EXPECT_TRUE(damage);
    review->SeekTo(6000000);
    // The value is the one shown now, as a live pane shows it.
    const QString line = review->AlarmPane()->Lines().value(0);
    EXPECT_TRUE(line.startsWith("*** SpO2 ") && line.endsWith(" < 85")) << line.toStdString();
    review->SeekTo(10000000);
    EXPECT_TRUE(review->AlarmPane()->Lines().isEmpty())
        << review->AlarmPane()->Lines().join("|").toStdString();

    review->SeekTo(20500000);
    review->SetMarkTextForTesting([](QString* text) {
        *text = "Snoring";
        return true;
    });
    app_->MainFrame()->Command(cmd::kMark)->trigger();
    const std::string marks = dir_.Read("night.velt.marks");
    EXPECT_EQ(marks.substr(marks.find('\n') + 1), "20.500\tSnoring\n");
    EXPECT_TRUE(review->Overview()
                    ->TickTextAt(static_cast<int>(XOf(review, 20.5) + 0.5))
                    .contains("Snoring"));
    review->RemoveMark(0);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(dir_.File("night.velt.marks"))));
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join("|").toStdString();
}

// File > Report.. of the selected part: the PDF alone, with what velt-process's report of
// that range says; the session's own file is refused.
TEST_F(ReviewExportTest, TheSelectionsReportIsVeltProcesssReport) {
    CReviewFrame* review = OpenSession(150);
    ASSERT_NE(review, nullptr);
    ASSERT_TRUE(app_->MainFrame()->Command(cmd::kReportSession)->isEnabled());
    CReviewOverview* strip = review->Overview();
    Mouse(strip, QEvent::MouseButtonPress, XOf(review, 20.3), Qt::ShiftModifier);
    Mouse(strip, QEvent::MouseButtonRelease, XOf(review, 120.6), Qt::ShiftModifier);
    int64_t from = 0, to = 0;
    ASSERT_TRUE(strip->Selection(&from, &to));
    const QStringList before = LeftIn(dir_.path());
    const std::string gui_pdf = dir_.File("gui.pdf");
    Export(
        [&](CExportDialog* d) {
            d->PathEdit()->setText(QString::fromStdString(session_));
            d->OkButton()->click();  // the open session: refused, the dialog stays
            EXPECT_TRUE(d->Problem()->text().contains("is the open session"));
            d->PathEdit()->setText(QString::fromStdString(gui_pdf));
            d->SelectionButton()->setChecked(true);
            d->OkButton()->click();
        },
        cmd::kReportSession);
    ASSERT_TRUE(review->WaitForExport(60000));
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_EQ(messages_[0].left(13), "Reported 0:01");
    EXPECT_EQ(app_->MainFrame()->statusBar()->currentMessage() + ".", messages_[0]);
    EXPECT_EQ(LeftIn(dir_.path()).size(), before.size() + 1);  // the PDF and nothing else

    VeltProcess({"--report", QString::fromStdString(dir_.File("cli.pdf")), "--from",
                 QString::number(from), "--to", QString::number(to)});
    const QString text = PdfText(gui_pdf);
    EXPECT_EQ(text, PdfText(dir_.File("cli.pdf")));
    EXPECT_TRUE(text.contains("from " + DurationText(from) + " to " + DurationText(to)));
}
