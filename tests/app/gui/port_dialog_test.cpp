#include "link/gui/port_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QThreadPool>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "link/oximeter.h"
#include "link/transport/fake_d2xx.h"
#include "tests/app/gui/shell_fixture.h"

namespace {

QStringList Entries(CPortDialog& dlg) {
    QStringList out;
    for (int i = 0; i < dlg.List()->count(); ++i) out << dlg.List()->itemText(i);
    return out;
}

// A library whose device count waits until the test opens the gate: a slow bus.
class GatedD2xx : public d2xx::FakeD2xx {
public:
    d2xx::FT_STATUS ListDevices(uint32_t index, uint32_t* count, char* text, size_t text_size,
                                uint32_t flags) override {
        if (flags & d2xx::FT_LIST_NUMBER_ONLY) {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [this] { return open_; });
        }
        return FakeD2xx::ListDevices(index, count, text, text_size, flags);
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    bool IsOpen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = true;
};

class PortDialogTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        d2xx::SetD2xxLibraryForTesting(&usb_);
    }
    void TearDown() override {
        usb_.Open();
        QThreadPool::globalInstance()->waitForDone();  // listings that outlived a dialog
        d2xx::SetD2xxLibraryForTesting(nullptr);
        ShellTest::TearDown();
    }
    GatedD2xx usb_;
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
        EXPECT_EQ(dlg.List()->currentIndex(), -1) << "a failed listing selects nothing";
    }
    usb_.FailOn(d2xx::FakeD2xx::kListSerial, 0);
    usb_.FailOn(d2xx::FakeD2xx::kListCount, 4);
    {
        CPortDialog dlg(&link);
        dlg.WaitForDeviceList();
        EXPECT_EQ(dlg.List()->count(), 12);
        EXPECT_EQ(dlg.List()->currentIndex(), -1);
    }
    usb_.FailOn(d2xx::FakeD2xx::kListCount, 0);
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

TEST_F(PortDialogTest, ALateListingNeverChangesTheUsersChoice) {
    usb_.AddDevice("VELT USB", "A100");
    COximeter link("COM2", 1, true, nullptr);
    usb_.Close();
    CPortDialog dlg(&link);
    dlg.List()->setCurrentIndex(6);  // the user picks COM7 before the listing is in
    usb_.Open();
    dlg.WaitForDeviceList();
    QApplication::processEvents();
    EXPECT_EQ(Entries(dlg).size(), 13);
    EXPECT_EQ(dlg.List()->currentText(), "COM7");
    dlg.accept();
    EXPECT_STREQ(link.PortName(), "COM7");
}

TEST_F(PortDialogTest, ClosingDuringASlowListingDoesNotWaitForIt) {
    usb_.AddDevice("VELT USB", "A100");
    COximeter link("COM2", 1, true, nullptr);
    usb_.Close();
    // Should the dialog wait for the listing, the gate still opens after a while.
    std::promise<void> closed;
    std::thread opener([this, done = closed.get_future()] {
        done.wait_for(std::chrono::seconds(2));
        usb_.Open();
    });
    {
        CPortDialog dlg(&link);
        dlg.reject();
    }
    const bool open_when_closed = usb_.IsOpen();
    closed.set_value();
    opener.join();
    EXPECT_FALSE(open_when_closed) << "the dialog waited for the USB listing";
    EXPECT_STREQ(link.PortName(), "COM2");
}
