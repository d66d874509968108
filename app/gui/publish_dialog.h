// Option > "Publish..": the [publish] settings. A name that would split or match
// topics, a broker that is not mqtt:// or mqtts://, or a password file without a user
// name is refused with the reason under the fields.
#pragma once

#include <QDialog>

#include "link/configuration.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QSpinBox;

class PublishDialog : public QDialog {
    Q_OBJECT
public:
    explicit PublishDialog(const config::PublishSettings& settings, QWidget* parent = nullptr);

    config::PublishSettings Settings() const;
    // The reason the fields cannot be taken, empty when they can.
    QString Check() const;
    void accept() override;

    QCheckBox* enabled;
    QLineEdit* broker;
    QLineEdit* ca_file;
    QLineEdit* cert_file;
    QLineEdit* key_file;
    QLineEdit* username;
    QLineEdit* password_file;
    QLineEdit* monitor;
    QCheckBox* waveform;
    QSpinBox* keepalive;
    QLabel* error;
};
