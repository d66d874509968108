#include "recordings/gui/edf_load.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <new>

#include "platform/system_info.h"

namespace recordings {
namespace {

constexpr int kPacingIntervalMs = 5;

std::unique_ptr<CEdfReplayDriver>& Current() {
    static std::unique_ptr<CEdfReplayDriver> current;
    return current;
}

EdfFileChooser& Chooser() {
    static EdfFileChooser chooser;
    return chooser;
}

EdfNotice& Notice() {
    static EdfNotice notice;
    return notice;
}

bool IsEuropeanDataFormatFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray head = file.read(kEuropeanDataFormatMarkSize);
    return LooksLikeEuropeanDataFormat(reinterpret_cast<const uint8_t*>(head.constData()),
                                       static_cast<size_t>(head.size()));
}

void ShowNotice(QWidget* parent, const QString& text) {
    if (Notice()) {
        Notice()(parent, text);
        return;
    }
    QMessageBox::information(parent, QStringLiteral("Load.."), text);
}

}  // namespace

CEdfReplayDriver::CEdfReplayDriver(const QString& path, CPulseAnalysis& analysis, TickSource tick,
                                   QObject* parent)
    : QObject(parent) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kPacingIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &CEdfReplayDriver::OnTick);
    IPacingTimer* pacing = this;
    replay_ = std::make_unique<CEdfReplay>(QFile::encodeName(path).toStdString(), analysis, pacing,
                                           std::move(tick));
}

CEdfReplayDriver::~CEdfReplayDriver() {
    timer_.stop();
    replay_.reset();
}

void CEdfReplayDriver::Arm() { timer_.start(); }

void CEdfReplayDriver::Stop() { timer_.stop(); }

int16_t CEdfReplayDriver::Step() {
    last_status_ = replay_->Step();
    // Every status but waiting ends the replay, an unknown record type included:
    // going on after it would read a body as headers.
    if (last_status_ != kReplayWaiting) {
        timer_.stop();
        if (!finished_) {
            finished_ = true;
            emit Finished(last_status_);
        }
    }
    return last_status_;
}

void CEdfReplayDriver::OnTick() { Step(); }

void CEdfReplayDriver::StopReplay() {
    if (finished_) return;
    last_status_ = replay_->Stop();
    finished_ = true;
    emit Finished(last_status_);
}

QString EdfInitialFolder() {
    const QString drive =
        QString::fromStdString(platform::ResolveDosDevice("D:", QDir::homePath().toStdString()));
    const QString edf = QDir(drive).filePath("EDF");
    return QDir(edf).exists() ? edf : drive;
}

void ConfigureEdfDialog(QFileDialog& dialog, const QString& initial_folder) {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDirectory(initial_folder);
    dialog.setNameFilter("*.edf");
    dialog.setDefaultSuffix("edf");
    dialog.selectFile("*.edf");
}

std::optional<QString> ChooseEdfFileWithDialog(QWidget* parent, const QString& initial_folder) {
    QFileDialog dialog(parent);
    ConfigureEdfDialog(dialog, initial_folder);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return files.first();
}

void SetEdfFileChooser(EdfFileChooser chooser) { Chooser() = std::move(chooser); }

int LoadEdfFile(QWidget* parent) { return LoadEdfFile(parent, ProcessPulseAnalysis()); }

int LoadEdfFile(QWidget* parent, CPulseAnalysis& analysis) {
    const QString folder = EdfInitialFolder();
    const std::optional<QString> path =
        Chooser() ? Chooser()(parent, folder) : ChooseEdfFileWithDialog(parent, folder);
    if (!path) return 0;
    // A file in the published EDF layout would end at its first record with -5 and
    // no word; say what it is instead, and leave a running replay alone.
    if (IsEuropeanDataFormatFile(*path)) {
        ShowNotice(parent, QStringLiteral("\"%1\" is a European Data Format (EDF or EDF+) file.\n\n"
                                          "\"Load..\" replays the device's own recordings (record "
                                          "streams that also carry the extension .edf) through the "
                                          "pulse-period analysis. Open EDF files in an EDF viewer.")
                               .arg(QFileInfo(*path).fileName()));
        return kReplayBadRecord;
    }

    static bool quit_hooked = false;
    if (!quit_hooked && QCoreApplication::instance() != nullptr) {
        quit_hooked = true;
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                         &EndCurrentReplay);
    }

    EndCurrentReplay();
    CEdfReplayDriver* driver = new (std::nothrow) CEdfReplayDriver(*path, analysis);
    if (driver == nullptr) return -1;
    Current().reset(driver);
    const int16_t status = driver->Step();
    return status < 0 ? status : 0;
}

void LoadEdfCommand(QWidget* parent) { (void)LoadEdfFile(parent); }

CEdfReplayDriver* CurrentReplay() { return Current().get(); }

void EndCurrentReplay() { Current().reset(); }

void SetEdfNotice(EdfNotice notice) { Notice() = std::move(notice); }

QString ReplayProgressText() {
    const CEdfReplayDriver* driver = CurrentReplay();
    if (driver == nullptr || !driver->Running()) return {};
    char text[64];
    FormatReplayProgress(text, sizeof text, driver->Replay().PositionMs(),
                         driver->Replay().EstimatedLengthMs());
    return QString::fromLatin1(text);
}

void StopCurrentReplay() {
    if (CEdfReplayDriver* driver = CurrentReplay()) driver->StopReplay();
}

}  // namespace recordings
