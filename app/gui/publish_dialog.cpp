#include "app/gui/publish_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

#include "export/mqtt_client.h"
#include "export/mqtt_topics.h"
#include "platform/system_info.h"

mqtt::BrokerOptions BrokerOptionsOf(const config::PublishSettings& s) {
    mqtt::BrokerOptions o;
    o.url = s.broker;
    o.ca_file = s.ca_file;
    o.cert_file = s.cert_file;
    o.key_file = s.key_file;
    o.username = s.username;
    o.password_file = s.password_file;
    o.keepalive_s = s.keepalive;
    return o;
}

PublishDialog::PublishDialog(const config::PublishSettings& s, QWidget* parent) : QDialog(parent) {
    setWindowTitle("Publish");
    enabled = new QCheckBox("Publish to an MQTT broker");
    enabled->setChecked(s.enabled);
    monitor = new QLineEdit(QString::fromStdString(s.monitor));
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
    fields = std::make_unique<BrokerFields>(BrokerOptionsOf(s), form, this);
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

PublishDialog::~PublishDialog() = default;

config::PublishSettings PublishDialog::Settings() const {
    config::PublishSettings s;
    s.enabled = enabled->isChecked();
    mqtt::BrokerOptions broker = fields->Options();
    s.broker = std::move(broker.url);
    s.ca_file = std::move(broker.ca_file);
    s.cert_file = std::move(broker.cert_file);
    s.key_file = std::move(broker.key_file);
    s.username = std::move(broker.username);
    s.password_file = std::move(broker.password_file);
    s.monitor = monitor->text().toStdString();
    s.waveform = waveform->isChecked();
    s.keepalive = keepalive->value();
    return s;
}

QString PublishDialog::Check() const {
    const std::string name = monitor->text().toStdString();
    if (!name.empty() && !mqtt::ValidMonitorName(name))
        return QString("The monitor name %1.").arg(mqtt::kMonitorNameRule);
    return fields->Check(enabled->isChecked());
}

void PublishDialog::accept() {
    const QString problem = Check();
    error->setText(problem);
    if (problem.isEmpty()) QDialog::accept();
}
