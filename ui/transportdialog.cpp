#include "transportdialog.h"

#include "appsettings.h"
#include "bluetoothlibrary.h"
#include "clientinfo.h"
#include "serveraddress.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

constexpr int kComPortCount = 100;

} // namespace

TransportDialog::TransportDialog(QWidget *parent, int comPort)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint)
    , m_buttonGroup(new QButtonGroup(this))
    , m_comPortList(new QComboBox)
    , m_bluetoothList(new QComboBox)
    , m_wifiAddressEdit(new QLineEdit)
    , m_comPort(comPort)
{
    auto *layout = new QVBoxLayout(this);
    auto *grid = new QGridLayout;
    layout->addLayout(grid);

    auto *serialButton = new QRadioButton(tr("Virtual serial port: "), this);
    auto *bluetoothButton = new QRadioButton(tr("Bluetooth device: "), this);
    auto *usbButton = new QRadioButton(tr("USB"), this);
    auto *wifiButton = new QRadioButton(tr("WiFi"), this);
    switch (AppSettings::transportType()) {
    case Bluetooth:
        bluetoothButton->setChecked(true);
        break;
    case Usb:
        usbButton->setChecked(true);
        break;
    case Wifi:
        wifiButton->setChecked(true);
        break;
    default: // an unknown stored type falls back to the serial port
        serialButton->setChecked(true);
        break;
    }
    m_buttonGroup->addButton(serialButton, Serial);
    m_buttonGroup->addButton(bluetoothButton, Bluetooth);
    m_buttonGroup->addButton(usbButton, Usb);
    m_buttonGroup->addButton(wifiButton, Wifi);

    // COM0 to COM99: an entry's index is its port number.
    for (int i = 0; i < kComPortCount; ++i)
        m_comPortList->addItem(QStringLiteral("COM%1").arg(i));
    grid->addWidget(serialButton, 0, 0);
    grid->addWidget(m_comPortList, 0, 1);

    // The list's index is the library's device index: onOK() fetches the record by it.
    bt_lib_open();
    for (int i = 0; i < bt_lib_device_get_count(); ++i) {
        BtDeviceInfo device{};
        bt_lib_device_get(i, &device);
        m_bluetoothList->addItem(btDeviceLabel(device));
    }
    grid->addWidget(bluetoothButton, 1, 0);
    grid->addWidget(m_bluetoothList, 1, 1);

    grid->addWidget(usbButton, 2, 0);

    m_wifiAddressEdit->setText(AppSettings::wifiServerAddr());
    grid->addWidget(wifiButton, 3, 0);
    grid->addWidget(m_wifiAddressEdit, 3, 1);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Horizontal);
    connect(buttons, &QDialogButtonBox::accepted, this, &TransportDialog::onOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &TransportDialog::onCancel);
    layout->addWidget(buttons);

    setWindowTitle(tr("Select transport"));

    if (comPort != -1)
        m_comPortList->setCurrentIndex(comPort);
}

void TransportDialog::onOK()
{
    QString error;
    if (m_buttonGroup->checkedId() == Wifi
        && !ServerAddress::parse(m_wifiAddressEdit->text(), ClientInfo::kServerPort, &error)) {
        QMessageBox::warning(this, windowTitle(), error);
        m_wifiAddressEdit->setFocus();
        return;
    }
    m_transportType = m_buttonGroup->checkedId();
    m_comPort = m_comPortList->currentIndex();
    // Fetched again now, also for another transport and for an empty list (index -1, a zero record).
    bt_lib_device_get(m_bluetoothList->currentIndex(), &m_bluetoothDevice);
    m_wifiAddress = m_wifiAddressEdit->text();
    accept();
}

void TransportDialog::onCancel()
{
    reject();
}
