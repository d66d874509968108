#include "app/gui/document.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#include "display/alarm_watch.h"
#include "display/child_frame.h"
#include "display/monitoring_view.h"
#include "link/configuration.h"
#include "link/oximeter.h"
#include "processing/view_field.h"

CVELTMonitoringDoc::CVELTMonitoringDoc(QObject* parent) : QObject(parent) {}

bool CVELTMonitoringDoc::OnNewDocument() {
    modified_ = false;
    path_.clear();
    return true;
}

bool CVELTMonitoringDoc::Serialize(bool storing) {
    save_error_.clear();
    if (!storing) return true;
    CVELTMonitoringView* view = FirstView();
    if (view == nullptr || view->GetLink() == nullptr) return true;
    int error = 0;
    view->GetLink()->SaveSettings(&error);
    // The window's alarm settings go with its port and protocol.
    if (error == 0 && view->Alarms() != nullptr &&
        !view->Alarms()->Settings().Save(config::ConfigPath()))
        error = errno != 0 ? errno : EIO;
    if (error == 0) {
        if (view->Alarms() != nullptr) view->Alarms()->ClearChanged();
        return true;
    }
    save_error_ = QString("The settings could not be written to %1: %2.")
                      .arg(QString::fromStdString(config::ConfigPath()),
                           QString::fromLocal8Bit(std::strerror(error)));
    return false;
}

bool CVELTMonitoringDoc::IsModified() {
    bool modified = modified_;
    CVELTMonitoringView* view = FirstView();
    if (view != nullptr) {
        for (int f : {DocOperator, DocSerial, DocSensor, DocComment}) {
            if (view->IsFieldModified(f)) modified = true;
        }
        if (view->GetLink() != nullptr && view->GetLink()->SettingsChanged()) modified = true;
        if (view->Alarms() != nullptr && view->Alarms()->Changed()) modified = true;
    }
    return modified;
}

bool CVELTMonitoringDoc::DoSave(const QString& path) {
    // The document holds nothing of its own: its file is made when missing and never
    // truncated, so saving onto a recording or any other file keeps what it holds.
    save_error_.clear();
    QFile file(path);
    if (!file.exists()) {
        // NewOnly: a file that appears meanwhile is left as it is.
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            file.close();
        } else if (!file.exists()) {
            save_error_ =
                QString("The file %1 could not be created: %2.").arg(path, file.errorString());
            return false;
        }
    } else if (!QFileInfo(path).isFile()) {
        save_error_ = QString("%1 is not a file.").arg(path);
        return false;
    }
    // Settings that did not reach the file keep the document modified, so closing asks.
    if (!Serialize(true)) {
        modified_ = true;
        return false;
    }
    modified_ = false;
    // A saved window must not ask again at closing.
    if (CVELTMonitoringView* view = FirstView()) {
        for (int f : {DocOperator, DocSerial, DocSensor, DocComment})
            view->SetFieldModified(f, false);
        if (view->GetLink() != nullptr) view->GetLink()->ClearSettingsChanged();
    }
    path_ = path;
    return true;
}

bool CVELTMonitoringDoc::WouldReplaceContents(const QString& path) const {
    const QFileInfo target(path);
    if (!target.exists()) return false;
    if (!path_.isEmpty() && target == QFileInfo(path_)) return false;  // its own file
    return !target.isFile() || target.size() > 0;
}

void CVELTMonitoringDoc::SetTitle(const QString& title) {
    title_ = title;
    UpdateFrameTitles();
    emit titleChanged();
}

void CVELTMonitoringDoc::AddFrame(CChildFrame* frame) {
    frames_.push_back(frame);
    UpdateFrameTitles();
}

void CVELTMonitoringDoc::RemoveFrame(CChildFrame* frame) {
    frames_.removeAll(frame);
    UpdateFrameTitles();
}

CVELTMonitoringView* CVELTMonitoringDoc::FirstView() const {
    return frames_.isEmpty() ? nullptr : ViewOf(frames_.front());
}

CVELTMonitoringView* CVELTMonitoringDoc::ViewOf(CChildFrame* frame) {
    return frame ? dynamic_cast<CVELTMonitoringView*>(frame->widget()) : nullptr;
}

void CVELTMonitoringDoc::UpdateFrameTitles() {
    if (frames_.size() == 1) {
        frames_.front()->setWindowTitle(title_);
        return;
    }
    for (int i = 0; i < frames_.size(); ++i)
        frames_[i]->setWindowTitle(QString("%1:%2").arg(title_).arg(i + 1));
}
