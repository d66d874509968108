// The broker fields that the monitor's publish dialog and the ward's settings dialog
// share: URL, CA file, client certificate and key, user name and password file, with
// their checks. The fields go as rows into the dialog's own form, so that they line up
// with the dialog's other rows.
#pragma once

#include <QString>

#include "export/mqtt_client.h"

class QFormLayout;
class QLineEdit;
class QWidget;

class BrokerFields {
public:
    // The rows are added to form; parent owns the browse buttons.
    BrokerFields(const mqtt::BrokerOptions& options, QFormLayout* form, QWidget* parent);

    // The fields' options (paths trimmed); the keep-alive is the caller's.
    mqtt::BrokerOptions Options() const;
    // The reason the fields cannot be taken, empty when they can. An empty URL passes
    // unless url_required.
    QString Check(bool url_required) const;

    QLineEdit* broker;
    QLineEdit* ca_file;
    QLineEdit* cert_file;
    QLineEdit* key_file;
    QLineEdit* username;
    QLineEdit* password_file;
};
