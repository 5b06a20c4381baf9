// MainWindow's connection workflow: connecting, cancelling, disconnecting and reconnecting, the flip,
// rotation and preview choices, and the outcome slots that the capture thread's reports reach.

#include "mainwindow.h"

#include "appsettings.h"
#include "connectionerror.h"
#include "previewwidget.h"
#include "progressdialog.h"
#include "reconnectschedule.h"
#include "serveraddress.h"
#include "transportdialog.h"
#include "webcamcontroller.h"

#include <QAction>
#include <QDateTime>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

namespace {

bool endsReconnecting(int code)
{
    return code == ConnectionError::VersionQueryFailed || code == ConnectionError::VersionMismatch
        || code == ConnectionError::ResolutionFailed;
}

} // namespace

void MainWindow::connectToRemoteDevice()
{
    // A cancelled attempt ends within moments (its waits were broken off, and what cannot be broken
    // off was left behind); its stream is still its own until then.
    if (controller->isBusy())
        controller->wait(WebcamController::kStopGraceMs);
    if (controller->isBusy()) {
        progressDialog->setText(tr("Connecting. Please wait ..."));
        progressDialog->show();
        return;
    }

    TransportDialog dialog(this, AppSettings::port());
    if (dialog.exec() == QDialog::Rejected)
        return;

    AppSettings::setTransportType(dialog.transportType());
    switch (dialog.transportType()) {
    case TransportDialog::Serial: {
        const int comPort = dialog.comPort();
        AppSettings::setPort(comPort);
        startAgain = [this, comPort] { return controller->startSerial(comPort); };
        break;
    }
    case TransportDialog::Bluetooth:
        startAgain = [this, device = dialog.bluetoothDevice()] { return controller->startBluetooth(device); };
        break;
    case TransportDialog::Usb:
        startAgain = [this, port = serverPort] { return controller->startUsb(port); };
        break;
    case TransportDialog::Wifi: {
        // The dialog refused an address whose port is wrong; the store keeps what the user typed.
        const QString typed = dialog.wifiAddress();
        AppSettings::setWifiServerAddr(typed);
        const ServerAddress address = ServerAddress::parse(typed, serverPort).value_or(ServerAddress{typed, serverPort});
        startAgain = [this, address] { return controller->startWifi(address.host, address.port); };
        break;
    }
    }
    startAgain();
    setPhase(Phase::Connecting);
    progressDialog->setText(tr("Connecting. Please wait ..."));
    progressDialog->setCancellable(true);
    progressDialog->show();
}

void MainWindow::disconnectFromRemoteDevice()
{
    if (phase == Phase::Waiting || phase == Phase::Reconnecting) {
        cancelConnecting();
        return;
    }
    setPhase(Phase::Disconnecting);
    progressDialog->setText(tr("Disconnecting. Please wait ..."));
    progressDialog->setCancellable(false);
    progressDialog->show();
    controller->stop();
}

void MainWindow::cancelConnecting()
{
    reconnectTimer->stop();
    if (phase == Phase::Connecting || phase == Phase::Reconnecting) {
        controller->cancel();
        dropReports = true;
    }
    progressDialog->done(QDialog::Rejected);
    setPhase(Phase::Idle);
}

// Drops the reports of a cancelled connection; last: the report is its last one.
bool MainWindow::dropCancelledReport(bool last)
{
    if (!dropReports)
        return false;
    if (last)
        dropReports = false;
    return true;
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
    emit connectError(code, param1, param2, QString());
}

void MainWindow::onConnectFailed(int code, int param1, int param2, const QString &details)
{
    emit connectError(code, param1, param2, details);
}

void MainWindow::onAborted()
{
    emit aborted();
}

void MainWindow::onDisconnected()
{
    emit disconnected();
}

void MainWindow::setPhase(Phase next, const QString &hint)
{
    phase = next;
    const bool on = next == Phase::Connected;
    const bool retrying = next == Phase::Waiting || next == Phase::Reconnecting;
    connectAct->setEnabled(next == Phase::Idle || next == Phase::Connecting);
    disconnectAct->setEnabled(on || retrying);
    connectedNow = on;
    if (retrying) {
        const QString text = tr("Reconnecting (attempt %1) ...").arg(reconnectAttempt);
        statusLabel->setText(text);
        preview->setHint(text);
    } else if (next == Phase::Idle || on) {
        statusLabel->setText(on ? tr("Connected") : tr("Disconnected"));
        if (!hint.isEmpty())
            preview->setHint(hint);
        else if (next == Phase::Idle)
            preview->setHint(tr("Connection > Connect... to start"));
    }
    if (on) {
        rateFrames = 0;
        rateSince = QDateTime::currentMSecsSinceEpoch();
        cameraProblemShown = false;
        streamLabel->setText(QStringLiteral("%1×%2").arg(controller->frameWidth()).arg(controller->frameHeight()));
        rateTimer->start();
        return;
    }
    rateTimer->stop();
    streamLabel->clear();
    preview->clearPicture();
}

void MainWindow::scheduleReconnect()
{
    ++reconnectAttempt;
    setPhase(Phase::Waiting);
    reconnectTimer->start(reconnectDelayMs(reconnectAttempt, reconnectUnitMs));
}

void MainWindow::reconnectNow()
{
    if (phase != Phase::Waiting)
        return;
    if (!startAgain()) { // the last connection is still winding up: try again after the next delay
        scheduleReconnect();
        return;
    }
    setPhase(Phase::Reconnecting);
}

void MainWindow::onConnectedSlot()
{
    if (dropCancelledReport(false))
        return;
    progressDialog->done(QDialog::Rejected);
    reconnectAttempt = 0;
    setPhase(Phase::Connected);
}

void MainWindow::onDisconnectedSlot()
{
    if (dropCancelledReport(true))
        return;
    progressDialog->done(QDialog::Rejected);
    setPhase(Phase::Idle);
}

void MainWindow::onConnectErrorSlot(int code, int param1, int param2, const QString &details)
{
    if (dropCancelledReport(true))
        return;
    const QString message = errorMessage(code, param1, param2);
    if (phase == Phase::Reconnecting && !endsReconnecting(code)) {
        scheduleReconnect();
        return;
    }
    progressDialog->done(QDialog::Rejected);
    reconnectAttempt = 0;
    setPhase(Phase::Idle, message);
    showWarning(tr("Error:") + QLatin1Char('\n') + message, details);
}

void MainWindow::onAbortedSlot()
{
    if (dropCancelledReport(true))
        return;
    // Mostly the "please wait" dialog is hidden by now, but a stream that broke just as "&Disconnect"
    // was chosen reports an abort while "Disconnecting" is still shown; nothing else would hide it.
    progressDialog->done(QDialog::Rejected);
    if (phase == Phase::Connected && AppSettings::reconnectAutomatically()) {
        reconnectAttempt = 0;
        scheduleReconnect();
        return;
    }
    setPhase(Phase::Idle, tr("Aborted."));
    const auto answer = QMessageBox::question(this, tr("Lumo Webcam Client"), tr("Aborted. Try to connect?"),
                                              QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        connectToRemoteDevice();
}

QString MainWindow::errorMessage(int code, int param1, int param2) const
{
    return ConnectionError::message(code, param1, param2);
}

void MainWindow::showWarning(const QString &text, const QString &details)
{
    QMessageBox box(QMessageBox::Warning, tr("Lumo Webcam Client"), text, QMessageBox::Ok, this);
    if (!details.isEmpty())
        box.setDetailedText(details);
    box.exec();
}
