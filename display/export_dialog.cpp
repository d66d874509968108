#include "display/export_dialog.h"

#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "export/edf_plus_writer.h"
#include "platform/file_identity.h"
#include "sessions/report_pdf.h"

namespace {

CExportDialog::FileChooser& Chooser() {
    static CExportDialog::FileChooser chooser;
    return chooser;
}

CExportDialog::Confirm& Confirmer() {
    static CExportDialog::Confirm confirm;
    return confirm;
}

// The folder of the last export chosen; empty: none yet.
QString& LastFolder() {
    static QString folder;
    return folder;
}

// Exports go apart from the sessions (whose folder also holds the device's own .edf
// recordings): into exports/ of the working directory until another folder is chosen.
QString DefaultFolder() { return QDir::current().absoluteFilePath("exports"); }

// The name with the other format's extension swapped for this one's.
QString WithExtension(const QString& path, bool edf) {
    const QString want = edf ? ".edf" : ".csv", other = edf ? ".csv" : ".edf";
    if (path.endsWith(other, Qt::CaseInsensitive)) return path.left(path.size() - 4) + want;
    return path;
}

}  // namespace

QString DurationText(int64_t seconds) { return QString::fromStdString(report::Duration(seconds)); }

void CExportDialog::SetFileChooserForTesting(FileChooser chooser) {
    Chooser() = std::move(chooser);
}

void CExportDialog::SetConfirmForTesting(Confirm confirm) { Confirmer() = std::move(confirm); }

CExportDialog::CExportDialog(const QString& session, bool has_selection, int64_t from_s,
                             int64_t to_s, QWidget* parent, int64_t start_unix_us, bool report)
    : QDialog(parent), session_(session), report_(report) {
    setWindowTitle(report ? "Report" : "Export");
    auto* layout = new QVBoxLayout(this);

    auto* format = new QGroupBox("Format", this);
    auto* format_layout = new QVBoxLayout(format);
    edf_ =
        new QRadioButton("EDF+ (signals and annotations, for EDF viewers and toolboxes)", format);
    csv_ = new QRadioButton("CSV (one row per second, for spreadsheets)", format);
    edf_->setChecked(true);
    format_layout->addWidget(edf_);
    format_layout->addWidget(csv_);
    layout->addWidget(format);
    format->setVisible(!report);

    auto* range = new QGroupBox("Range", this);
    auto* range_layout = new QVBoxLayout(range);
    whole_ = new QRadioButton("The whole session", range);
    // The selection both ways, as the review's position: from the start and the time of day.
    auto of_day = [start_unix_us](int64_t s) {
        return QDateTime::fromMSecsSinceEpoch(start_unix_us / 1000 + s * 1000)
            .toLocalTime()
            .toString("HH:mm:ss");
    };
    QString part =
        QString("The selected part, %1 to %2").arg(DurationText(from_s), DurationText(to_s));
    if (start_unix_us != 0) part += QString(" (%1 to %2)").arg(of_day(from_s), of_day(to_s));
    selection_ = new QRadioButton(
        has_selection ? part
                      : QString("The selected part (Shift+drag on the overview to select one)"),
        range);
    selection_->setEnabled(has_selection);
    (has_selection ? selection_ : whole_)->setChecked(true);
    range_layout->addWidget(whole_);
    range_layout->addWidget(selection_);
    layout->addWidget(range);

    auto* form = new QFormLayout();
    auto* file_row = new QHBoxLayout();
    const QString folder = LastFolder().isEmpty() ? DefaultFolder() : LastFolder();
    path_ = new QLineEdit(
        folder + "/" + QFileInfo(session).completeBaseName() + (report ? ".pdf" : ".edf"), this);
    path_->setMinimumWidth(360);
    browse_ = new QPushButton("Browse..", this);
    file_row->addWidget(path_, 1);
    file_row->addWidget(browse_);
    form->addRow("File:", file_row);
    patient_ = new QLineEdit(this);
    patient_->setPlaceholderText("X X X X");
    patient_->setToolTip(
        "EDF+ patient field: code sex birthdate name, X for each one unknown "
        "(\"X F 02-MAY-1951 X\"). Left empty: X X X X.");
    form->addRow("Patient:", patient_);
    layout->addLayout(form);

    problem_ = new QLabel(this);
    problem_->setStyleSheet("color: #b00000");
    problem_->setWordWrap(true);
    problem_->hide();
    layout->addWidget(problem_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setText(report ? "Write report" : "Export");
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &CExportDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CExportDialog::reject);
    connect(browse_, &QPushButton::clicked, this, &CExportDialog::Browse);
    connect(edf_, &QRadioButton::toggled, this, &CExportDialog::FormatChanged);
}

bool CExportDialog::Edf() const { return !report_ && edf_->isChecked(); }
bool CExportDialog::SelectionOnly() const { return selection_->isChecked(); }
QString CExportDialog::Path() const { return path_->text().trimmed(); }
QString CExportDialog::Patient() const { return patient_->text().trimmed(); }

void CExportDialog::FormatChanged() {
    path_->setText(WithExtension(path_->text(), Edf()));
    // The patient field is EDF+'s; a CSV has none.
    patient_->setEnabled(Edf());
}

void CExportDialog::Browse() {
    const QString filter = report_ ? "PDF files (*.pdf);;All Files (*)"
                           : Edf() ? "EDF+ files (*.edf);;All Files (*)"
                                   : "CSV files (*.csv);;All Files (*)";
    // The replacement question comes at Export, once, from this dialog.
    const QString chosen = Chooser() ? Chooser()(Path())
                                     : QFileDialog::getSaveFileName(
                                           this, report_ ? "Report to" : "Export to", Path(),
                                           filter, nullptr, QFileDialog::DontConfirmOverwrite);
    if (!chosen.isEmpty()) path_->setText(chosen);
}

void CExportDialog::accept() {
    auto refuse = [this](const QString& text) {
        problem_->setText(text);
        problem_->show();
    };
    const QString path = Path();
    const QString what = report_ ? "a report" : "an export";
    if (path.isEmpty()) return refuse("Choose the file to export to.");
    const QFileInfo target(path);
    if (target.isDir()) return refuse(QString("%1 is a folder: choose a file name.").arg(path));
    if ((Edf() || report_) && !Patient().isEmpty()) {
        const std::string problem = data_export::CheckPatientField(Patient().toStdString());
        if (!problem.empty()) return refuse(QString::fromStdString(problem) + ".");
    }
    // The session itself (by any name or link) or one being recorded: never replaced,
    // so never offered.
    const std::string file = QFile::encodeName(path).toStdString();
    if (platform::SameFile(file, QFile::encodeName(session_).toStdString()))
        return refuse(QString("%1 is the open session %2: %3 never replaces it. Choose "
                              "another file.")
                          .arg(path, session_, what));
    if (platform::HeldByWriter(file))
        return refuse(QString("%1 is a session being recorded: %2 never replaces it. "
                              "Choose another file.")
                          .arg(path, what));
    if (target.exists() && target.size() > 0) {
        const QString text = QString("%1\nThis file already holds data. Replace it with the %2?")
                                 .arg(path, report_ ? "report" : "export");
        const bool replace = Confirmer()
                                 ? Confirmer()(text)
                                 : QMessageBox::question(this, windowTitle(), text,
                                                         QMessageBox::Yes | QMessageBox::No,
                                                         QMessageBox::No) == QMessageBox::Yes;
        if (!replace) return;
    }
    // The default folder is made when first used; any other must be there already.
    if (target.absolutePath() == DefaultFolder()) QDir().mkpath(DefaultFolder());
    LastFolder() = target.absolutePath();
    QDialog::accept();
}
