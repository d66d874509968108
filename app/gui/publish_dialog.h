// Option > "Publish..": the [publish] settings. A name that would split or match
// topics, a broker that is not mqtt:// or mqtts://, or a password file without a user
// name is refused with the reason under the fields.
#pragma once

#include <QDialog>
#include <memory>

#include "export/broker_fields.h"
#include "link/configuration.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QSpinBox;

// The broker part of the settings, keep-alive included.
mqtt::BrokerOptions BrokerOptionsOf(const config::PublishSettings& settings);

class PublishDialog : public QDialog {
    Q_OBJECT
public:
    explicit PublishDialog(const config::PublishSettings& settings, QWidget* parent = nullptr);
    ~PublishDialog() override;

    config::PublishSettings Settings() const;
    // The reason the fields cannot be taken, empty when they can.
    QString Check() const;
    void accept() override;

    QCheckBox* enabled;
    std::unique_ptr<BrokerFields> fields;
    QLineEdit* monitor;
    QCheckBox* waveform;
    QSpinBox* keepalive;
    QLabel* error;
};
