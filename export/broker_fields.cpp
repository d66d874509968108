#include "export/broker_fields.h"

#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

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

std::string Trimmed(const QLineEdit* edit) { return edit->text().trimmed().toStdString(); }

}  // namespace

BrokerFields::BrokerFields(const mqtt::BrokerOptions& o, QFormLayout* form, QWidget* parent)
    : broker(Line(o.url)),
      ca_file(Line(o.ca_file)),
      cert_file(Line(o.cert_file)),
      key_file(Line(o.key_file)),
      username(Line(o.username)),
      password_file(Line(o.password_file)) {
    broker->setPlaceholderText("mqtts://host:8883 or mqtt://localhost:1883");
    ca_file->setPlaceholderText("the system's certificates");
    form->addRow("Broker:", broker);
    form->addRow("CA file:", WithBrowse(ca_file, parent));
    form->addRow("Client certificate:", WithBrowse(cert_file, parent));
    form->addRow("Client key:", WithBrowse(key_file, parent));
    form->addRow("User name:", username);
    form->addRow("Password file:", WithBrowse(password_file, parent));
}

mqtt::BrokerOptions BrokerFields::Options() const {
    mqtt::BrokerOptions o;
    o.url = Trimmed(broker);
    o.ca_file = Trimmed(ca_file);
    o.cert_file = Trimmed(cert_file);
    o.key_file = Trimmed(key_file);
    o.username = username->text().toStdString();
    o.password_file = Trimmed(password_file);
    return o;
}

QString BrokerFields::Check(bool url_required) const {
    const mqtt::BrokerOptions o = Options();
    if (!o.password_file.empty() && o.username.empty()) return "A password file needs a user name.";
    if (o.cert_file.empty() != o.key_file.empty())
        return "A client certificate needs both the certificate and the key file.";
    if (url_required || !o.url.empty()) {
        mqtt::BrokerAddress address;
        std::string reason;
        if (!mqtt::ParseBrokerUrl(o.url, &address, &reason)) return QString::fromStdString(reason);
    }
    return QString();
}
