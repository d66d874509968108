// The document of a monitoring window. It holds no data of its own: it decides
// whether there is something to save, and saving writes the configuration file.
#pragma once

#include <QList>
#include <QObject>
#include <QString>

class CChildFrame;
class CVELTMonitoringView;

class CVELTMonitoringDoc : public QObject {
    Q_OBJECT
public:
    explicit CVELTMonitoringDoc(QObject* parent = nullptr);

    // New-document initialisation: the framework's behaviour, then success.
    bool OnNewDocument();

    // Store: the first view's link writes the settings; nothing goes into the file.
    // Load: nothing. Returns false when a settings write failed, with SaveError()
    // naming the configuration file and the system's reason; true otherwise.
    bool Serialize(bool storing);
    const QString& SaveError() const { return save_error_; }

    // The document flag, or any of the four documentation fields of the first view
    // modified (all four are asked), or the first view's link settings changed.
    bool IsModified();
    void SetModifiedFlag(bool modified) { modified_ = modified; }
    bool ModifiedFlag() const { return modified_; }

    // Writes the settings and creates the (empty) document file when it does not
    // exist; an existing file is never truncated or replaced. On success the
    // document, its fields and its link's settings count as saved; when a settings
    // write fails the document stays modified.
    bool DoSave(const QString& path);
    // True when saving as path would take over a file with contents (or something
    // that is not a file) other than the document's own: Save As refuses that.
    bool WouldReplaceContents(const QString& path) const;

    const QString& Title() const { return title_; }
    void SetTitle(const QString& title);
    const QString& PathName() const { return path_; }
    void SetPathName(const QString& path) { path_ = path; }

    const QList<CChildFrame*>& Frames() const { return frames_; }
    void AddFrame(CChildFrame* frame);
    void RemoveFrame(CChildFrame* frame);
    CVELTMonitoringView* FirstView() const;
    static CVELTMonitoringView* ViewOf(CChildFrame* frame);

    // Child frame captions: the title, with ":n" when there are several windows.
    void UpdateFrameTitles();

signals:
    void titleChanged();

private:
    bool modified_ = false;
    QString save_error_;
    QString title_;
    QString path_;
    QList<CChildFrame*> frames_;
};
