#include "display/marks.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QToolTip>
#include <QVBoxLayout>

#include "display/monitoring_view.h"
#include "link/configuration.h"
#include "link/oximeter.h"
#include "platform/debug_output.h"
#include "platform/profile.h"
#include "platform/tick.h"

namespace {

constexpr int kRecentTexts = 8;

QStringList RecentTexts() {
    QStringList texts;
    const std::string ini = config::ConfigPath();
    if (ini.empty()) return texts;
    for (int i = 1; i <= kRecentTexts; ++i) {
        const std::string key = "text" + std::to_string(i);
        const std::string t = platform::GetPrivateProfileString("marks", key.c_str(), "", ini);
        if (!t.empty()) texts << QString::fromStdString(t);
    }
    return texts;
}

void RememberText(const QString& text) {
    const std::string ini = config::ConfigPath();
    if (ini.empty() || text.isEmpty()) return;
    QStringList texts = RecentTexts();
    texts.removeAll(text);
    texts.prepend(text);
    for (int i = 0; i < kRecentTexts; ++i) {
        const std::string key = "text" + std::to_string(i + 1);
        const std::string value = i < texts.size() ? texts[i].toStdString() : std::string();
        platform::WritePrivateProfileString("marks", key.c_str(), value.c_str(), ini);
    }
}

// The marks' texts of one view's plot, by column, shown as the tool tip over a tick.
class MarkTips : public QObject {
public:
    explicit MarkTips(CVELTMonitoringView* view) : QObject(view), view_(view) {
        setObjectName("mark-tips");
        view->installEventFilter(this);
    }
    void Set(int column, const QString& text) { texts_[column] = text; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != view_ || event->type() != QEvent::ToolTip) return false;
        const auto* help = static_cast<QHelpEvent*>(event);
        // A tick is one pixel wide: a column or two either side still finds it.
        for (int dx = 0; dx <= 2; ++dx) {
            for (int column : {help->pos().x() - WaveformPlot::kTraceX - dx,
                               help->pos().x() - WaveformPlot::kTraceX + dx}) {
                if (!view_->Plot().Marked(column)) continue;
                const QString text = texts_.value(column);
                QToolTip::showText(help->globalPos(), text.isEmpty() ? "Mark" : "Mark: " + text,
                                   view_);
                return true;
            }
        }
        return false;
    }

private:
    CVELTMonitoringView* view_;
    QMap<int, QString> texts_;
};

}  // namespace

bool AskMarkText(QWidget* parent, QString* text, const QString& title) {
    QDialog dialog(parent);
    dialog.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel("Text (optional):", &dialog));
    auto* box = new QComboBox(&dialog);
    box->setObjectName("mark-text");
    box->setEditable(true);
    box->addItems(RecentTexts());
    box->setCurrentText(QString());
    box->lineEdit()->setMaxLength(200);
    box->setMinimumWidth(280);
    layout->addWidget(box);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted) return false;
    *text = box->currentText().simplified();
    RememberText(*text);
    return true;
}

bool MarkLive(CVELTMonitoringView* view, std::string* text, uint64_t* at_us) {
    COximeter* link = view->GetLink();
    if (link == nullptr) return false;
    // The moment is the key press, not the dialog's end.
    const uint64_t now = platform::MonotonicMicroseconds();
    WaveformPlot& plot = view->MutablePlot();
    const int column = (plot.WritePosition() + WaveformPlot::kColumns - 1) % WaveformPlot::kColumns;
    const uint64_t appended = plot.Appended();
    QString given;
    if (!AskMarkText(view, &given)) return false;
    *text = given.toStdString();
    link->Recording().Noted(ConnectionRecorder::Note::kMark, now, *text);
    platform::DebugPrintf("Mark: %s\n", text->c_str());
    if (at_us != nullptr) *at_us = now;
    // Unless the sweep has come round to the column while the dialog was open.
    if (plot.Appended() - appended < static_cast<uint64_t>(WaveformPlot::kColumns)) {
        auto* tips = view->findChild<QObject*>("mark-tips", Qt::FindDirectChildrenOnly);
        if (tips == nullptr) tips = new MarkTips(view);
        static_cast<MarkTips*>(tips)->Set(column, given);
        plot.MarkColumn(column);
    }
    return true;
}
