// A started application in a private program directory: COM1 to COM12 map to a
// missing device, so windows open without touching the machine's serial ports.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QSettings>
#include <memory>
#include <string>

#include "app/gui/application.h"
#include "display/main_frame.h"
#include "link/configuration.h"
#include "platform/system_info.h"
#include "tests/support/temp_dir.h"

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetProgramDirectoryForTesting(dir_.path());
        // The recent-file list must not leak between tests or into the user's settings.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(dir_.File("user-settings")));
        MapComPortsToNothing();
        app_ = std::make_unique<CVELTMonitoringApp>();
        app_->SetPromptForTesting([this](const QString& text) {
            prompts_.push_back(text);
            return answer_;
        });
    }
    void TearDown() override {
        if (app_) app_->SetPromptForTesting([](const QString&) { return QMessageBox::No; });
        app_.reset();
        platform::SetProgramDirectoryForTesting("");
    }
    void MapComPortsToNothing() {
        mkdir(dir_.File("configuration").c_str(), 0777);
        mkdir(dir_.File("configuration/dosdevices").c_str(), 0777);
        for (int n = 1; n <= 12; ++n) {
            const std::string entry = dir_.File("configuration/dosdevices/com" + std::to_string(n));
            ASSERT_EQ(symlink(dir_.File("no-such-device").c_str(), entry.c_str()), 0) << entry;
        }
    }
    void Start() {
        ASSERT_TRUE(app_->InitInstance({}));
        QApplication::processEvents();
    }
    QMdiArea* Area() { return app_->MainFrame()->MdiArea(); }

    testing_support::TempDir dir_;
    std::unique_ptr<CVELTMonitoringApp> app_;
    QStringList prompts_;
    QMessageBox::StandardButton answer_ = QMessageBox::No;
};
