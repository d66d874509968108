#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "platform/system_info.h"
#include "recordings/edf_writer.h"
#include "recordings/gui/edf_load.h"
#include "tests/recordings/analysis_support.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace recordings;
using namespace recordings_test;
using testing_support::DebugCapture;
using testing_support::TempDir;

// Runs the event loop until the predicate holds or the time is up.
template <typename Pred>
bool SpinUntil(Pred pred, int ms) {
    QDeadlineTimer deadline(ms);
    while (!pred() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return pred();
}

void Spin(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

class LoadEdfTest : public ::testing::Test {
protected:
    LoadEdfTest() { analysis_.SetDumpDirectory(dir_.path()); }
    ~LoadEdfTest() override {
        EndCurrentReplay();
        SetEdfFileChooser({});
        SetEdfNotice({});
    }

    std::string Recording(const std::string& name, int samples, uint32_t step) {
        std::vector<uint8_t> bytes;
        for (int i = 0; i < samples; ++i)
            AppendEdfSample(bytes, static_cast<uint32_t>(i) * step, 500 + (i % 30) * 40);
        dir_.Write(name, std::string(bytes.begin(), bytes.end()));
        return dir_.File(name);
    }

    void Choose(const std::string& path) {
        SetEdfFileChooser([path, this](QWidget*, const QString& folder) {
            ++dialogs_;
            folder_ = folder;
            return std::optional<QString>(QString::fromStdString(path));
        });
    }

    size_t SummaryLines() const { return WithPrefix(capture_.Lines(), "dCorrAll[i] ").size(); }

    TempDir dir_;
    DebugCapture capture_;
    CPulseAnalysis analysis_;
    int dialogs_ = 0;
    QString folder_;
};

TEST_F(LoadEdfTest, CancelledDialogChangesNothing) {
    Choose(Recording("a.edf", 40, 1));
    ASSERT_EQ(LoadEdfFile(nullptr, analysis_), 0);
    CEdfReplayDriver* running = CurrentReplay();
    ASSERT_NE(running, nullptr);
    SetEdfFileChooser([](QWidget*, const QString&) { return std::optional<QString>(); });
    EXPECT_EQ(LoadEdfFile(nullptr, analysis_), 0);
    EXPECT_EQ(CurrentReplay(), running);  // the running replay is kept
}

TEST_F(LoadEdfTest, ReplayRunsOnAPrecise5msTimerAndStopsAtTheEnd) {
    Choose(Recording("paced.edf", 40, 1));  // 195 ms of recording
    ASSERT_EQ(LoadEdfFile(nullptr, analysis_), 0);
    CEdfReplayDriver* driver = CurrentReplay();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->LastStatus(), kReplayWaiting);
    EXPECT_TRUE(driver->TimerActive());
    EXPECT_EQ(driver->TimerInterval(), 5);
    EXPECT_EQ(driver->TimerType(), Qt::PreciseTimer);
    EXPECT_LT(analysis_.State().lNData, 40);

    ASSERT_TRUE(SpinUntil([&] { return driver->Replay().Ended(); }, 5000));
    EXPECT_EQ(driver->LastStatus(), kReplayEnded);
    EXPECT_FALSE(driver->TimerActive());
    EXPECT_EQ(analysis_.State().lNData, 40);
    EXPECT_EQ(SummaryLines(), 138u);
    Spin(30);
    EXPECT_EQ(SummaryLines(), 138u);  // once per replay
}

TEST_F(LoadEdfTest, ZeroTimeStampsFinishInsideTheCommand) {
    Choose(Recording("zero.edf", 650, 0));
    EXPECT_EQ(LoadEdfFile(nullptr, analysis_), 0);
    EXPECT_TRUE(CurrentReplay()->Replay().Ended());
    EXPECT_FALSE(CurrentReplay()->TimerActive());
    EXPECT_EQ(AutoCorrLines(capture_.Lines()).size(), 2u);
}

TEST_F(LoadEdfTest, NewLoadDestroysTheOldReplayAndItsTimer) {
    const std::string slow = Recording("slow.edf", 2000, 1);  // 10 s
    Choose(slow);
    ASSERT_EQ(LoadEdfFile(nullptr, analysis_), 0);
    QPointer<CEdfReplayDriver> first = CurrentReplay();
    Spin(50);
    const int after_first = analysis_.State().lNData;
    EXPECT_GT(after_first, 1);

    ASSERT_EQ(LoadEdfFile(nullptr, analysis_), 0);  // the same file again
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(analysis_.State().lNData, after_first + 2);  // started over at its first record
    EndCurrentReplay();
    const int stopped = analysis_.State().lNData;
    Spin(50);
    EXPECT_EQ(analysis_.State().lNData, stopped);  // no tick reached a destroyed replay
    EXPECT_EQ(SummaryLines(), 0u);
}

TEST_F(LoadEdfTest, FailuresAreReturnedAndSilent) {
    Choose(dir_.File("missing.edf"));
    EXPECT_EQ(LoadEdfFile(nullptr, analysis_), kReplayCannotOpen);
    EXPECT_FALSE(CurrentReplay()->TimerActive());

    std::vector<uint8_t> bytes;
    AppendEdfSample(bytes, 0, 1);
    bytes.insert(bytes.end(), {9, 0, 0, 0, 0, 0, 0, 0});
    AppendEdfSample(bytes, 0, 2);
    dir_.Write("bad.edf", std::string(bytes.begin(), bytes.end()));
    Choose(dir_.File("bad.edf"));
    EXPECT_EQ(LoadEdfFile(nullptr, analysis_), kReplayBadRecord);
    EXPECT_FALSE(CurrentReplay()->TimerActive());
    EXPECT_EQ(analysis_.State().lNData, 1);
    EXPECT_TRUE(capture_.Lines().empty());
}

TEST_F(LoadEdfTest, StopReplayEndsItWithTheSummaryAndClearsTheProgress) {
    Choose(Recording("hour.edf", 2000, 400));  // time stamps 2 s apart: 1:06:38 long
    EXPECT_TRUE(ReplayProgressText().isEmpty());
    ASSERT_EQ(LoadEdfFile(nullptr, analysis_), 0);
    CEdfReplayDriver* driver = CurrentReplay();
    // Samples 0 and 1 read (the second lies 2 s ahead), 40 of 40,000 bytes.
    EXPECT_EQ(ReplayProgressText(), "Replay 0:02 of 1:06:38");
    int finished = 0;
    QObject::connect(driver, &CEdfReplayDriver::Finished, [&](int) { ++finished; });

    StopCurrentReplay();
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(driver->Replay().Ended());
    EXPECT_FALSE(driver->TimerActive());
    EXPECT_EQ(SummaryLines(), 138u);
    EXPECT_TRUE(ReplayProgressText().isEmpty());
    StopCurrentReplay();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(SummaryLines(), 138u);
}

TEST_F(LoadEdfTest, ProgressFollowsThePositionAndTheFilesLength) {
    std::vector<uint8_t> bytes;
    // 100 samples, one a minute later, then 3 more a second apart: 60 s for the
    // 2,000 bytes after the first sample puts the last 60 bytes 1.8 s further.
    for (uint32_t t = 0; t < 100; ++t) AppendEdfSample(bytes, t, 1);
    AppendEdfSample(bytes, 12000, 1);
    for (uint32_t t = 1; t <= 3; ++t) AppendEdfSample(bytes, 12000 + 200 * t, 1);
    dir_.Write("jump.edf", std::string(bytes.begin(), bytes.end()));
    Choose(dir_.File("jump.edf"));
    ASSERT_EQ(LoadEdfFile(nullptr, analysis_), 0);
    // The first 100 samples play within half a second; the one a minute later waits.
    ASSERT_TRUE(SpinUntil([] { return CurrentReplay()->Replay().PositionMs() == 60000; }, 5000));
    EXPECT_EQ(ReplayProgressText(), "Replay 1:00 of 1:01");
}

TEST_F(LoadEdfTest, AEuropeanDataFormatFileIsNamedNotReplayed) {
    QStringList notices;
    SetEdfNotice([&](QWidget*, const QString& text) { notices << text; });
    Choose(Recording("running.edf", 2000, 1));
    ASSERT_EQ(LoadEdfFile(nullptr, analysis_), 0);
    CEdfReplayDriver* running = CurrentReplay();

    dir_.Write("export.edf", "0       X X X X" + std::string(240, ' '));
    Choose(dir_.File("export.edf"));
    EXPECT_EQ(LoadEdfFile(nullptr, analysis_), kReplayBadRecord);
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].contains("\"export.edf\" is a European Data Format"));
    EXPECT_TRUE(notices[0].contains("\"Load..\" replays the device's own recordings"));
    EXPECT_EQ(CurrentReplay(), running);  // the replay that ran goes on
    EXPECT_TRUE(running->Running());

    // A record stream whose first bytes only start like it is still replayed.
    dir_.Write("stream.edf", std::string("0      \x01") + std::string(12, '\0'));
    Choose(dir_.File("stream.edf"));
    LoadEdfFile(nullptr, analysis_);
    EXPECT_EQ(notices.size(), 1);
    EXPECT_EQ(CurrentReplay()->Replay().FileName(), dir_.File("stream.edf"));
}

TEST_F(LoadEdfTest, UnknownTypeInATimerStepStopsTheReplay) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 5; ++i) AppendEdfSample(bytes, i, i);
    bytes.insert(bytes.end(), {9, 0, 0, 0, 0, 0, 0, 0});
    for (int i = 5; i < 10; ++i) AppendEdfSample(bytes, i, i);
    dir_.Write("late_bad.edf", std::string(bytes.begin(), bytes.end()));
    Choose(dir_.File("late_bad.edf"));
    ASSERT_EQ(LoadEdfFile(nullptr, analysis_), 0);
    CEdfReplayDriver* driver = CurrentReplay();
    int finished = 0, status = 1;
    QObject::connect(driver, &CEdfReplayDriver::Finished, [&](int s) {
        ++finished;
        status = s;
    });
    ASSERT_TRUE(SpinUntil([&] { return driver->Replay().Ended(); }, 3000));
    Spin(40);
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(status, kReplayBadRecord);
    EXPECT_EQ(analysis_.State().lNData, 5);
    EXPECT_FALSE(driver->TimerActive());
}

TEST(EdfDialog, InitialFolderGoesThroughTheDeviceMap) {
    TempDir program;
    platform::SetProgramDirectoryForTesting(program.path());
    EXPECT_EQ(EdfInitialFolder(),
              QDir::homePath() + (QDir(QDir::homePath() + "/EDF").exists() ? "/EDF" : ""));
    ASSERT_EQ(platform::CreateDirectoryIfMissing(program.File("configuration")), 0);
    ASSERT_EQ(platform::CreateDirectoryIfMissing(program.File("configuration/dosdevices")), 0);
    TempDir drive;
    ASSERT_EQ(symlink(drive.path().c_str(), program.File("configuration/dosdevices/d:").c_str()),
              0);
    EXPECT_EQ(QDir(EdfInitialFolder()).canonicalPath(),
              QDir(QString::fromStdString(drive.path())).canonicalPath());
    ASSERT_EQ(platform::CreateDirectoryIfMissing(drive.File("EDF")), 0);
    EXPECT_EQ(QDir(EdfInitialFolder()).canonicalPath(),
              QDir(QString::fromStdString(drive.File("EDF"))).canonicalPath());
    platform::SetProgramDirectoryForTesting("");
}

TEST(EdfDialog, RealDialogIsSetUpForRecordingsAndReturnsTheChosenFile) {
    TempDir dir;
    dir.Write("one.edf", "");
    QFileDialog probe;
    ConfigureEdfDialog(probe, QString::fromStdString(dir.path()));
    EXPECT_EQ(probe.fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(probe.acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(probe.nameFilters(), QStringList{"*.edf"});
    EXPECT_EQ(probe.defaultSuffix(), "edf");
    EXPECT_EQ(QDir(probe.directory()).canonicalPath(),
              QDir(QString::fromStdString(dir.path())).canonicalPath());

    QString name_field;
    QStringList messages;
    // Answers the dialog a moment after it shows (its folder listing fills in the
    // background), tries again after a message box, and gives up by cancelling, so
    // the test cannot hang.
    // A message box runs inside the answering timer's slot, so another timer closes it.
    QTimer boxes;
    QObject::connect(&boxes, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                messages << box->text();
                box->reject();
            }
        }
    });
    boxes.start(20);
    auto answer = [&](bool accept) {
        auto poll = std::make_unique<QTimer>();
        QObject::connect(poll.get(), &QTimer::timeout, [&, accept, seen = 0]() mutable {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<QFileDialog*>(w);
                if (dialog == nullptr || !dialog->isVisible()) continue;
                if (++seen == 1) {
                    if (auto* edit = dialog->findChild<QLineEdit*>()) name_field = edit->text();
                }
                if (seen % 15 != 0) return;
                if (accept && seen < 150) {
                    // Typed into the name field, as a user would.
                    if (auto* edit = dialog->findChild<QLineEdit*>()) edit->setText("one.edf");
                    static_cast<QDialog*>(dialog)->accept();  // through the public slot
                } else {
                    dialog->reject();
                }
                return;
            }
        });
        poll->start(20);
        return poll;
    };
    const QString folder = QString::fromStdString(dir.path());
    {
        auto poll = answer(true);
        const auto chosen = ChooseEdfFileWithDialog(nullptr, folder);
        ASSERT_TRUE(chosen.has_value()) << messages.join("; ").toStdString();
        EXPECT_EQ(QFileInfo(*chosen).canonicalFilePath(),
                  QFileInfo(QString::fromStdString(dir.File("one.edf"))).canonicalFilePath());
        EXPECT_EQ(name_field, "*.edf");
        EXPECT_TRUE(messages.isEmpty()) << messages.join("; ").toStdString();
    }
    {
        auto poll = answer(false);
        EXPECT_FALSE(ChooseEdfFileWithDialog(nullptr, folder).has_value());
    }
}

}  // namespace
