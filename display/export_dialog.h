// File > "Export.." of a review window: the format (EDF+ or CSV), the whole session
// or the part selected on the overview, the output file and the EDF+ patient field.
// A file that already holds data is replaced only when the user says so; the session
// itself (whatever the name's spelling or links) and a session being recorded never.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// "1:02:03" for a number of seconds: a session's length and times in the review and
// its dialogs, as the report prints them.
QString DurationText(int64_t seconds);

class CExportDialog : public QDialog {
    Q_OBJECT
public:
    // session: the recorded session's file (the suggested name follows it, in the
    // folder of the last export, at first exports/ of the working directory);
    // has_selection: the overview holds a selected part [from_s, to_s).
    // start_unix_us: the session's start, for the selection's times of day (0: none).
    // report: File > "Report.." instead, a PDF: no format to choose.
    CExportDialog(const QString& session, bool has_selection, int64_t from_s, int64_t to_s,
                  QWidget* parent = nullptr, int64_t start_unix_us = 0, bool report = false);

    bool Edf() const;  // false for a report
    bool SelectionOnly() const;
    QString Path() const;
    QString Patient() const;  // empty: "X X X X"

    QRadioButton* EdfButton() const { return edf_; }
    QRadioButton* CsvButton() const { return csv_; }
    QRadioButton* WholeButton() const { return whole_; }
    QRadioButton* SelectionButton() const { return selection_; }
    QLineEdit* PathEdit() const { return path_; }
    QLineEdit* PatientEdit() const { return patient_; }
    QPushButton* BrowseButton() const { return browse_; }
    QPushButton* OkButton() const { return ok_; }
    QLabel* Problem() const { return problem_; }

    // Test seams: the file chooser, and the question before a file is replaced.
    using FileChooser = std::function<QString(const QString& suggested)>;
    using Confirm = std::function<bool(const QString& text)>;
    static void SetFileChooserForTesting(FileChooser chooser);
    static void SetConfirmForTesting(Confirm confirm);

    void accept() override;

private:
    void Browse();
    void FormatChanged();

    QRadioButton* edf_ = nullptr;
    QRadioButton* csv_ = nullptr;
    QRadioButton* whole_ = nullptr;
    QRadioButton* selection_ = nullptr;
    QLineEdit* path_ = nullptr;
    QLineEdit* patient_ = nullptr;
    QPushButton* browse_ = nullptr;
    QPushButton* ok_ = nullptr;
    QLabel* problem_ = nullptr;
    QString session_;
    bool report_ = false;
};
