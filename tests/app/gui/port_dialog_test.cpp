#include "link/gui/port_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>

#include "link/oximeter.h"
#include "link/transport/fake_d2xx.h"
#include "tests/app/gui/shell_fixture.h"

namespace {

QStringList Entries(CPortDialog& dlg) {
    QStringList out;
    for (int i = 0; i < dlg.List()->count(); ++i) out << dlg.List()->itemText(i);
    return out;
}

class PortDialogTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        d2xx::SetD2xxLibraryForTesting(&usb_);
    }
    void TearDown() override {
        d2xx::SetD2xxLibraryForTesting(nullptr);
        ShellTest::TearDown();
    }
    d2xx::FakeD2xx usb_;
};

}  // namespace

TEST(PortDialogSelection, ExactMatchElsePrefixFromTheSecondEntry) {
    QStringList e = {"COM1", "COM2", "COM10", "Oxi A#1", "Oxi A#2"};
    EXPECT_EQ(CPortDialog::SelectionFor(e, "com2"), 1);
    EXPECT_EQ(CPortDialog::SelectionFor(e, "Oxi A#2"), 4);
    EXPECT_EQ(CPortDialog::SelectionFor(e, "COM1"), 0) << "exact beats prefix";
    EXPECT_EQ(CPortDialog::SelectionFor(e, "CO"), 1) << "prefix search starts at the second entry";
    EXPECT_EQ(CPortDialog::SelectionFor({"COM1", "COM2"}, "COM"), 1);
    EXPECT_EQ(CPortDialog::SelectionFor({"COM12", "COM2"}, "COM1"), 0) << "wraps to the first";
    EXPECT_EQ(CPortDialog::SelectionFor(e, "Gone#9"), -1);
    EXPECT_EQ(CPortDialog::SelectionFor(e, ""), -1);
}

TEST_F(PortDialogTest, NoDeviceGivesTwelveEntriesWithThePortSelected) {
    COximeter link("COM3", 1, true, nullptr);
    CPortDialog dlg(&link);
    dlg.WaitForDeviceList();
    ASSERT_EQ(dlg.List()->count(), 12);
    EXPECT_EQ(dlg.List()->itemText(0), "COM1");
    EXPECT_EQ(dlg.List()->itemText(11), "COM12");
    EXPECT_EQ(dlg.List()->currentText(), "COM3");
    EXPECT_EQ(dlg.windowTitle(), "VELT Monitoring - Select Port");
    EXPECT_EQ(dlg.OkButton()->text(), "OK");
    EXPECT_TRUE(dlg.OkButton()->isDefault());
    EXPECT_EQ(dlg.CancelButton()->text(), "Abbrechen");
    EXPECT_FALSE(dlg.List()->isEditable());
}

TEST_F(PortDialogTest, TwoDevicesOfOneDescriptionAndAStalePort) {
    usb_.AddDevice("VELT USB", "A100");
    usb_.AddDevice("VELT USB", "A200");
    COximeter link("VELT USB#B999", 1, true, nullptr);  // no longer attached
    CPortDialog dlg(&link);
    dlg.WaitForDeviceList();
    QStringList e = Entries(dlg);
    ASSERT_EQ(e.size(), 14);
    EXPECT_EQ(e[12], "VELT USB#A100");
    EXPECT_EQ(e[13], "VELT USB#A200");
    EXPECT_EQ(dlg.List()->currentIndex(), -1);
    // OK with nothing selected does not reconnect to an empty port.
    dlg.accept();
    EXPECT_STREQ(link.PortName(), "VELT USB#B999");
}

TEST_F(PortDialogTest, OkOnTheCurrentPortDoesNotReopenCancelChangesNothing) {
    COximeter link("COM1", 1, true, nullptr);
    {
        CPortDialog dlg(&link);
        dlg.WaitForDeviceList();
        dlg.accept();
    }
    EXPECT_FALSE(link.SettingsChanged());
    {
        CPortDialog dlg(&link);
        dlg.WaitForDeviceList();
        dlg.List()->setCurrentIndex(4);
        dlg.reject();
    }
    EXPECT_FALSE(link.SettingsChanged());
    {
        CPortDialog dlg(&link);
        dlg.WaitForDeviceList();
        dlg.List()->setCurrentIndex(4);
        dlg.accept();
    }
    EXPECT_STREQ(link.PortName(), "COM5");
    EXPECT_TRUE(link.SettingsChanged());
}

TEST_F(PortDialogTest, AFailingListCallStopsTheFillingAndTooLongNamesAreRefused) {
    usb_.AddDevice("A converter with a very long description", "S1");
    usb_.AddDevice("Second", "S2");
    COximeter link("COM2", 1, true, nullptr);
    usb_.FailOn(d2xx::FakeD2xx::kListSerial, 3);
    {
        CPortDialog dlg(&link);
        dlg.WaitForDeviceList();
        EXPECT_EQ(dlg.List()->count(), 12);
    }
    usb_.FailOn(d2xx::FakeD2xx::kListSerial, 0);
    CPortDialog dlg(&link);
    dlg.WaitForDeviceList();
    ASSERT_EQ(dlg.List()->count(), 14);
    dlg.List()->setCurrentIndex(12);
    dlg.accept();
    EXPECT_STREQ(link.PortName(), "COM2") << "a name the link cannot hold is not opened";
}

TEST_F(PortDialogTest, WithoutALinkOnlySerialPortsAndNoSelection) {
    usb_.AddDevice("VELT USB", "A100");
    CPortDialog dlg(nullptr);
    dlg.WaitForDeviceList();
    EXPECT_EQ(dlg.List()->count(), 12);
    EXPECT_EQ(dlg.List()->currentIndex(), -1);
}

TEST_F(PortDialogTest, MappedPortsShowTheirTargetAsTooltip) {
    symlink("/dev/serial/by-id/usb-FTDI_Oxi-if00-port0",
            dir_.File("configuration/dosdevices/com4").c_str());
    CPortDialog dlg(nullptr);
    ASSERT_EQ(dlg.List()->count(), 12);
    EXPECT_EQ(dlg.List()->itemText(0), "COM1");
    EXPECT_EQ(dlg.List()->itemData(0, Qt::ToolTipRole).toString().toStdString(),
              dir_.File("no-such-device"));
    EXPECT_EQ(dlg.List()->itemText(3), "COM4");
    EXPECT_EQ(dlg.List()->itemData(3, Qt::ToolTipRole).toString(),
              "/dev/serial/by-id/usb-FTDI_Oxi-if00-port0");
    EXPECT_FALSE(dlg.List()->itemData(1, Qt::ToolTipRole).isValid());
}
