#include "display/alarm_dialog.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

bool EditAlarmSettings(QWidget* parent, alarms::Settings* settings) {
    QDialog dialog(parent);
    dialog.setWindowTitle("Alarms");
    auto* grid = new QGridLayout;
    int row = 0;
    for (const char* head : {"Alarm", "On", "Limit", "Delay (s)"})
        grid->addWidget(new QLabel(QString("<b>%1</b>").arg(head)), 0, row++);
    QCheckBox* on[alarms::kKindCount];
    QDoubleSpinBox* limit[alarms::kKindCount];
    QSpinBox* delay[alarms::kKindCount];
    for (int k = 0; k < alarms::kKindCount; ++k) {
        const auto kind = static_cast<alarms::Kind>(k);
        const alarms::Limit& l = settings->limits[k];
        grid->addWidget(new QLabel(alarms::Name(kind)), k + 1, 0);
        on[k] = new QCheckBox;
        on[k]->setObjectName(QString(alarms::Name(kind)) + "-on");
        on[k]->setChecked(l.on);
        grid->addWidget(on[k], k + 1, 1);
        limit[k] = new QDoubleSpinBox;
        limit[k]->setObjectName(alarms::Name(kind));
        const bool spo2 = kind == alarms::kSpo2Low || kind == alarms::kSpo2Desat;
        limit[k]->setRange(spo2 ? 50 : 20, spo2 ? 100 : 350);
        limit[k]->setDecimals(0);
        limit[k]->setSuffix(spo2 ? " %" : " /min");
        limit[k]->setValue(l.limit);
        limit[k]->setVisible(!alarms::Technical(kind));
        grid->addWidget(limit[k], k + 1, 2);
        delay[k] = new QSpinBox;
        delay[k]->setObjectName(QString(alarms::Name(kind)) + "-delay");
        delay[k]->setRange(0, 120);
        delay[k]->setValue(static_cast<int>(l.delay_s));
        grid->addWidget(delay[k], k + 1, 3);
    }
    auto* latching = new QCheckBox("A high alarm that ended stays shown until acknowledged");
    latching->setObjectName("latching");
    latching->setChecked(settings->latching);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addLayout(grid);
    layout->addWidget(latching);
    layout->addWidget(new QLabel("These alarms are not a certified alarm system."));
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted) return false;
    for (int k = 0; k < alarms::kKindCount; ++k) {
        alarms::Limit& l = settings->limits[k];
        l.on = on[k]->isChecked();
        if (!alarms::Technical(static_cast<alarms::Kind>(k))) l.limit = limit[k]->value();
        l.delay_s = delay[k]->value();
    }
    settings->latching = latching->isChecked();
    return true;
}
