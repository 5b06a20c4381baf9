#pragma once

#include "btdeviceinfo.h"

#include <QDialog>
#include <QString>

class QButtonGroup;
class QComboBox;
class QLineEdit;

// How the client reaches the camera server on the phone, asked before every connection attempt.
//
// The dialog presets its controls from the stored transport type and WiFi address and from the COM
// port it is given, and lists the paired Bluetooth devices. It refuses only a WiFi address whose
// "HOST:PORT" names no valid port, with a message, and stays open; any other wrong choice fails when
// the stream is opened. It stores nothing and starts nothing; the caller reads the result after
// exec() returned QDialog::Accepted.
class TransportDialog : public QDialog
{
    Q_OBJECT

public:
    // The TransportType codes: the radio buttons' ids, the stored "transportType", and the caller's
    // choice of start operation.
    enum TransportType { Serial = 0, Bluetooth = 1, Usb = 2, Wifi = 3 };

    // comPort: the COM port to preselect (the stored one), or -1 for none.
    TransportDialog(QWidget *parent, int comPort);

    int transportType() const { return m_transportType; }
    int comPort() const { return m_comPort; }
    BtDeviceInfo bluetoothDevice() const { return m_bluetoothDevice; }
    QString wifiAddress() const { return m_wifiAddress; }

private slots:
    // Records the choice, the Bluetooth record fetched anew from the library, then accepts.
    void onOK();
    void onCancel();

private:
    QButtonGroup *m_buttonGroup;
    QComboBox *m_comPortList;
    QComboBox *m_bluetoothList;
    QLineEdit *m_wifiAddressEdit;
    int m_transportType = 0;
    int m_comPort;
    BtDeviceInfo m_bluetoothDevice{};
    QString m_wifiAddress;
};
