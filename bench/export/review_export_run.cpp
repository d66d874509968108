// One File > Export.. of a review window, timed: opens the session in a real
// CReviewFrame (offscreen), waits for its overview, then answers the real dialog
// (format, whole session, the output) and runs the export to its end. Prints the wall
// time and the process's CPU time (user + system) of the export alone, as
// "wall S cpu S". For bench/export/export_session.sh, which compares it with
// velt-process on the same file.
//   review_export_run SESSION edf|csv OUT
#include <sys/resource.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <string>

#include "display/export_dialog.h"
#include "display/review_frame.h"

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::string(argv[2]) != "edf" && std::string(argv[2]) != "csv")) {
        std::fprintf(stderr, "usage: review_export_run SESSION edf|csv OUT\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool edf = std::string(argv[2]) == "edf";
    const QString out = QString::fromLocal8Bit(argv[3]);
    CReviewFrame frame;
    if (!frame.Open(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "review_export_run: %s\n", frame.Error().toLocal8Bit().constData());
        return 1;
    }
    frame.show();
    if (!frame.WaitForOverview(3600 * 1000)) return 1;
    QString message;
    frame.SetMessageForTesting([&message](const QString& text) { message = text; });
    CExportDialog::SetConfirmForTesting([](const QString&) { return true; });
    QTimer::singleShot(0, [edf, out] {
        auto* dialog = qobject_cast<CExportDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) std::abort();
        (edf ? dialog->EdfButton() : dialog->CsvButton())->setChecked(true);
        dialog->WholeButton()->setChecked(true);
        dialog->PathEdit()->setText(out);
        dialog->OkButton()->click();
    });
    // From the command to the progress window's close (the dialog answers at once).
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    frame.RunExport();
    if (!frame.WaitForExport(3600 * 1000) || !message.isEmpty()) {
        std::fprintf(stderr, "review_export_run: %s\n", message.toLocal8Bit().constData());
        return 1;
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("wall %.2f cpu %.2f\n", wall, CpuSeconds() - cpu0);
    return 0;
}
