#include "app/gui/about_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/gui/command_ids.h"
#include "app/gui/toolbar_icons.h"
#include "link/configuration.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About VELT Monitoring");
    setModal(true);
    auto* icon = new QLabel(this);
    icon->setPixmap(ToolbarIcon(cmd::kAppAbout).pixmap(32, 30));
    auto* text = new QLabel(QString("VELT Monitoring Version %1").arg(VELT_VERSION), this);
    text->setObjectName("version");
    // Where the settings and the device map live, so a user can find them.
    const QString ini = QString::fromStdString(config::ConfigPath());
    auto* where = new QLabel(
        QString("Configuration: %1").arg(ini.isEmpty() ? QString("-") : ini.section('/', 0, -2)),
        this);
    where->setObjectName("configuration");
    where->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* alarms = new QLabel("The alarms are not a certified alarm system.", this);
    alarms->setObjectName("alarms");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setText("OK");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addWidget(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(where);
    layout->addWidget(alarms);
    layout->addWidget(buttons);
    setFixedSize(sizeHint());
}
