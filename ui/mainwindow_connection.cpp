// MainWindow's connection workflow: connecting and disconnecting from the menu, the flip and rotation
// choices, and the outcome slots that the capture thread's reports reach.

#include "mainwindow.h"

#include "appsettings.h"
#include "connectionerror.h"
#include "progressdialog.h"
#include "transportdialog.h"
#include "webcamcontroller.h"

#include <QAction>
#include <QLabel>
#include <QMessageBox>

void MainWindow::connectToRemoteDevice()
{
    // An attempt whose "please wait" dialog was dismissed with Escape still owns its stream: wait for
    // its outcome instead of starting a second one under it.
    if (controller->isBusy()) {
        progressDialog->setText(tr("Connecting. Please wait ..."));
        progressDialog->show();
        return;
    }

    TransportDialog dialog(this, AppSettings::port());
    if (dialog.exec() == QDialog::Rejected)
        return;

    AppSettings::setTransportType(dialog.transportType());
    const QString address = dialog.wifiAddress();
    switch (dialog.transportType()) {
    case TransportDialog::Serial:
        AppSettings::setPort(dialog.comPort());
        controller->startSerial(dialog.comPort());
        break;
    case TransportDialog::Bluetooth:
        controller->startBluetooth(dialog.bluetoothDevice());
        break;
    case TransportDialog::Usb:
        controller->startUsb(serverPort);
        break;
    case TransportDialog::Wifi:
        AppSettings::setWifiServerAddr(address);
        controller->startWifi(address, serverPort);
        break;
    }
    progressDialog->setText(tr("Connecting. Please wait ..."));
    progressDialog->show();
}

void MainWindow::disconnectFromRemoteDevice()
{
    progressDialog->setText(tr("Disconnecting. Please wait ..."));
    progressDialog->show();
    controller->stop();
}

void MainWindow::flipH(bool checked)
{
    AppSettings::setHflip(checked);
    controller->setFlipHorizontal(checked);
}

void MainWindow::flipV(bool checked)
{
    AppSettings::setVflip(checked);
    controller->setFlipVertical(checked);
}

void MainWindow::onRotation(QAction *act)
{
    int index;
    if (act == rotate0Act)
        index = 0;
    else if (act == rotate90Act)
        index = 1;
    else if (act == rotate180Act)
        index = 2;
    else if (act == rotate270Act)
        index = 3;
    else
        return;
    AppSettings::setRotation(index);
    controller->setRotation(index);
}

// The capture thread's reports: handed to the GUI thread as the window's own signals.
void MainWindow::onConnected()
{
    emit connected();
}

void MainWindow::onConnectError(int code, int param1, int param2)
{
    emit connectError(code, param1, param2);
}

void MainWindow::onAborted()
{
    emit aborted();
}

void MainWindow::onDisconnected()
{
    emit disconnected();
}

void MainWindow::setConnected(bool on)
{
    connectAct->setEnabled(!on);
    disconnectAct->setEnabled(on);
    statusLabel->setText(on ? tr("Connected") : tr("Disconnected"));
    isConnected = on;
}

void MainWindow::onConnectedSlot()
{
    progressDialog->done(QDialog::Rejected);
    setConnected(true);
}

void MainWindow::onDisconnectedSlot()
{
    progressDialog->done(QDialog::Rejected);
    setConnected(false);
}

void MainWindow::onConnectErrorSlot(int code, int param1, int param2)
{
    progressDialog->done(QDialog::Rejected);
    setConnected(false);
    showWarning(tr("Error:") + QLatin1Char('\n') + errorMessage(code, param1, param2));
}

void MainWindow::onAbortedSlot()
{
    // Mostly the "please wait" dialog is hidden by now, but a stream that broke just as "&Disconnect"
    // was chosen reports an abort while "Disconnecting" is still shown; nothing else would hide it.
    progressDialog->done(QDialog::Rejected);
    setConnected(false);
    const auto answer = QMessageBox::question(this, tr("Lumo Webcam Client"), tr("Aborted. Try to connect?"),
                                              QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        connectToRemoteDevice();
}

QString MainWindow::errorMessage(int code, int param1, int param2) const
{
    return ConnectionError::message(code, param1, param2);
}

void MainWindow::showWarning(const QString &text)
{
    QMessageBox::warning(this, tr("Lumo Webcam Client"), text);
}
