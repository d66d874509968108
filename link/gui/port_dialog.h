// The port selection dialog: "COM1" ... "COM12" and the attached USB converters.
// The USB listing runs on a worker thread so a slow bus never freezes the window;
// its entries are added (and the selection made) when it is done. Closing the
// dialog does not wait for it: the listing touches nothing of the dialog.
#pragma once

#include <QDialog>
#include <QFutureWatcher>
#include <QStringList>

class COximeter;
class QComboBox;
class QPushButton;

class CPortDialog : public QDialog {
    Q_OBJECT
public:
    // link: the active link, or null (then only the serial ports are listed and OK
    // changes nothing).
    explicit CPortDialog(COximeter* link, QWidget* parent = nullptr);
    ~CPortDialog() override;

    QComboBox* List() const { return list_; }
    QPushButton* OkButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }
    // Blocks until the USB listing has been added (tests).
    void WaitForDeviceList();

    // The entry to select for a port name: exact (case-insensitive) match, else the
    // first entry beginning with it from the second entry on, then the first; -1 if none.
    static int SelectionFor(const QStringList& entries, const QString& port_name);
    // "description#serial" for every attached device, in the library's order; stops at
    // the first failing call, which marks the listing as failed.
    struct UsbListing {
        QStringList devices;
        bool failed = false;
    };
    static UsbListing ListUsbDevices();

    void accept() override;

private:
    void OnDeviceList();

    COximeter* link_;
    QComboBox* list_;
    QPushButton* ok_;
    QPushButton* cancel_;
    QFutureWatcher<UsbListing> watcher_;
    bool listed_ = false;
};

// The "Port.." command.
void RunPortDialog(COximeter* active_link, QWidget* parent);
