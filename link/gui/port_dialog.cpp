#include "link/gui/port_dialog.h"

#include <QComboBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QtConcurrent/QtConcurrentRun>

#include "link/oximeter.h"
#include "link/transport/d2xx.h"

namespace {
constexpr int kMaxPortName = 31;
}

CPortDialog::CPortDialog(COximeter* link, QWidget* parent) : QDialog(parent), link_(link) {
    setWindowTitle("VELT Monitoring - Select Port");
    setModal(true);
    // 213 x 58 dialog units of the 8-point dialog font.
    setFixedSize(320, 94);
    list_ = new QComboBox(this);
    list_->setEditable(false);
    list_->setGeometry(15, 16, 202, 24);
    ok_ = new QPushButton("OK", this);
    ok_->setGeometry(234, 11, 75, 23);
    ok_->setDefault(true);
    cancel_ = new QPushButton("Abbrechen", this);
    cancel_->setGeometry(234, 39, 75, 23);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    for (int i = 1; i <= 12; ++i) list_->addItem(QString("COM%1").arg(i));
    list_->setCurrentIndex(-1);
    if (link_ == nullptr) {
        listed_ = true;
        return;
    }
    connect(&watcher_, &QFutureWatcher<UsbListing>::finished, this, &CPortDialog::OnDeviceList);
    watcher_.setFuture(QtConcurrent::run(&CPortDialog::ListUsbDevices));
}

CPortDialog::~CPortDialog() = default;

CPortDialog::UsbListing CPortDialog::ListUsbDevices() {
    UsbListing out;
    d2xx::ID2xx& lib = d2xx::D2xxLibrary();
    uint32_t count = 0;
    if (lib.ListDevices(0, &count, nullptr, 0, d2xx::FT_LIST_NUMBER_ONLY) != d2xx::FT_OK) {
        out.failed = true;
        return out;
    }
    for (uint32_t i = 0; i < count; ++i) {
        char description[d2xx::kTextSize] = {};
        char serial[d2xx::kTextSize] = {};
        if (lib.ListDevices(i, nullptr, description, sizeof description,
                            d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_DESCRIPTION) != d2xx::FT_OK ||
            lib.ListDevices(i, nullptr, serial, sizeof serial,
                            d2xx::FT_LIST_BY_INDEX | d2xx::FT_OPEN_BY_SERIAL_NUMBER) !=
                d2xx::FT_OK) {
            out.failed = true;
            break;
        }
        out.devices << QString::fromLatin1(description) + "#" + QString::fromLatin1(serial);
    }
    return out;
}

int CPortDialog::SelectionFor(const QStringList& entries, const QString& port_name) {
    if (port_name.isEmpty()) return -1;
    for (int i = 0; i < entries.size(); ++i)
        if (entries[i].compare(port_name, Qt::CaseInsensitive) == 0) return i;
    for (int k = 1; k <= entries.size(); ++k) {
        int i = k % entries.size();
        if (entries[i].startsWith(port_name, Qt::CaseInsensitive)) return i;
    }
    return -1;
}

void CPortDialog::OnDeviceList() {
    if (listed_) return;  // already added by WaitForDeviceList
    const UsbListing listing = watcher_.result();
    auto* model = qobject_cast<QStandardItemModel*>(list_->model());
    for (const QString& d : listing.devices) {
        list_->addItem(d);
        // A name the link cannot hold would open a different device: not selectable.
        if (d.size() > kMaxPortName && model != nullptr) {
            QStandardItem* item = model->item(list_->count() - 1);
            item->setFlags(item->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
            item->setToolTip("The name is longer than 31 characters");
        }
    }
    listed_ = true;
    // A failed listing selects nothing, and an entry the user chose meanwhile stays.
    if (listing.failed || list_->currentIndex() != -1) return;
    char name[kPortNameSize] = {};
    link_->GetPortName(name);
    QStringList entries;
    for (int i = 0; i < list_->count(); ++i) entries << list_->itemText(i);
    list_->setCurrentIndex(SelectionFor(entries, QString::fromLatin1(name)));
}

void CPortDialog::WaitForDeviceList() {
    if (listed_) return;
    watcher_.waitForFinished();
    if (!listed_) OnDeviceList();
}

void CPortDialog::accept() {
    if (link_ != nullptr && list_->currentIndex() >= 0) {
        QString text = list_->currentText();
        // Nothing selected, or a name too long for the link, changes nothing.
        if (!text.isEmpty() && text.size() <= kMaxPortName)
            link_->SetPort(text.toLatin1().constData());
    }
    QDialog::accept();
}

void RunPortDialog(COximeter* active_link, QWidget* parent) {
    CPortDialog dlg(active_link, parent);
    dlg.exec();
}
