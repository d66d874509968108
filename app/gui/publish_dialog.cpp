#include "app/gui/publish_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "export/mqtt_client.h"
#include "export/mqtt_topics.h"
#include "platform/system_info.h"

namespace {

QLineEdit* Line(const std::string& text) { return new QLineEdit(QString::fromStdString(text)); }

// A file field with a "..." button that opens a file dialog.
QWidget* WithBrowse(QLineEdit* edit, QWidget* parent) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(edit);
    auto* browse = new QPushButton("...", row);
    browse->setFixedWidth(browse->fontMetrics().horizontalAdvance("....") + 16);
    layout->addWidget(browse);
    QObject::connect(browse, &QPushButton::clicked, row, [edit, row] {
        const QString path = QFileDialog::getOpenFileName(row, "Choose a file", edit->text());
        if (!path.isEmpty()) edit->setText(path);
    });
    return row;
}

}  // namespace

PublishDialog::PublishDialog(const config::PublishSettings& s, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Publish");
    enabled = new QCheckBox("Publish to an MQTT broker");
    enabled->setChecked(s.enabled);
    broker = Line(s.broker);
    broker->setPlaceholderText("mqtts://host:8883 or mqtt://localhost:1883");
    ca_file = Line(s.ca_file);
    ca_file->setPlaceholderText("the system's certificates");
    cert_file = Line(s.cert_file);
    key_file = Line(s.key_file);
    username = Line(s.username);
    password_file = Line(s.password_file);
    monitor = Line(s.monitor);
    monitor->setPlaceholderText(QString::fromStdString(platform::ComputerName()));
    waveform = new QCheckBox("Publish the plethysmogram");
    waveform->setChecked(s.waveform);
    keepalive = new QSpinBox;
    keepalive->setRange(5, 3600);
    keepalive->setSuffix(" s");
    keepalive->setValue(s.keepalive < 5 ? 10 : std::min(s.keepalive, 3600));
    error = new QLabel;
    error->setObjectName("publishError");
    error->setStyleSheet("color: #b00000");
    error->setWordWrap(true);

    auto* form = new QFormLayout;
    form->addRow(enabled);
    form->addRow("Broker:", broker);
    form->addRow("CA file:", WithBrowse(ca_file, this));
    form->addRow("Client certificate:", WithBrowse(cert_file, this));
    form->addRow("Client key:", WithBrowse(key_file, this));
    form->addRow("User name:", username);
    form->addRow("Password file:", WithBrowse(password_file, this));
    form->addRow("Monitor name:", monitor);
    form->addRow(waveform);
    form->addRow("Keep-alive:", keepalive);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &PublishDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &PublishDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(error);
    layout->addWidget(buttons);
}

config::PublishSettings PublishDialog::Settings() const {
    config::PublishSettings s;
    s.enabled = enabled->isChecked();
    s.broker = broker->text().trimmed().toStdString();
    s.ca_file = ca_file->text().trimmed().toStdString();
    s.cert_file = cert_file->text().trimmed().toStdString();
    s.key_file = key_file->text().trimmed().toStdString();
    s.username = username->text().toStdString();
    s.password_file = password_file->text().trimmed().toStdString();
    s.monitor = monitor->text().toStdString();
    s.waveform = waveform->isChecked();
    s.keepalive = keepalive->value();
    return s;
}

QString PublishDialog::Check() const {
    const config::PublishSettings s = Settings();
    if (!s.monitor.empty() && !mqtt::ValidTopicName(s.monitor))
        return "The monitor name may not hold /, +, # or control characters.";
    if (!s.password_file.empty() && s.username.empty()) return "A password file needs a user name.";
    if (s.cert_file.empty() != s.key_file.empty())
        return "A client certificate needs both the certificate and the key file.";
    if (s.enabled || !s.broker.empty()) {
        mqtt::BrokerAddress address;
        std::string reason;
        if (!mqtt::ParseBrokerUrl(s.broker, &address, &reason))
            return QString::fromStdString(reason);
    }
    return QString();
}

void PublishDialog::accept() {
    const QString problem = Check();
    error->setText(problem);
    if (problem.isEmpty()) QDialog::accept();
}
