// MainWindow's view of the running connection: the preview, and the status field with the frame
// size, the measured rate and the camera the frames go to, or why none could be used.

#include "mainwindow.h"

#include "appsettings.h"
#include "previewfeed.h"
#include "previewwidget.h"
#include "virtualcamera.h"
#include "webcamcontroller.h"

#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

void MainWindow::onShowPreview(bool checked)
{
    AppSettings::setShowPreview(checked);
    feed->setEnabled(checked);
    if (!checked)
        preview->clearPicture();
}

void MainWindow::showNewestFrame()
{
    const QImage image = feed->takeNewest();
    if (!image.isNull() && phase == Phase::Connected && feed->isEnabled())
        preview->setPicture(image);
}

void MainWindow::updateRate()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const long long frames = feed->frames();
    const double seconds = (now - rateSince) / 1000.0;
    QString text = QStringLiteral("%1×%2").arg(controller->frameWidth()).arg(controller->frameHeight());
    if (seconds > 0 && frames >= rateFrames)
        text += QStringLiteral(" · %1 fps").arg((frames - rateFrames) / seconds, 0, 'f', 1);
    rateFrames = frames;
    rateSince = now;

    // The capture thread opens the camera just after it reported the connection, so the first tick
    // is the first look at what came of it.
    const VirtualCameraStatus camera = virtualCameraStatus();
    QPalette palette = streamLabel->palette();
    palette.setColor(QPalette::WindowText, camera.open ? this->palette().color(QPalette::WindowText)
                                                       : QColor(0xb0, 0x00, 0x20));
    streamLabel->setPalette(palette);
    if (camera.open) {
        text += QStringLiteral(" → ") + QString::fromStdString(camera.target);
    } else {
        text += QStringLiteral(" · ") + tr("no virtual camera: ") + QString::fromStdString(camera.problem);
        if (!cameraProblemShown) {
            cameraProblemShown = true;
            showCameraProblem(camera);
        }
    }
    streamLabel->setText(text);
}

void MainWindow::showCameraProblem(const VirtualCameraStatus &camera)
{
    // Not modal: the connection goes on, and other programs may simply not see the pictures yet.
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Lumo Webcam Client"),
                                tr("The pictures do not reach a virtual camera: ") + QString::fromStdString(camera.problem),
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("cameraProblem"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    if (!camera.fix.empty()) {
        const QString command = QString::fromStdString(camera.fix);
        box->setInformativeText(tr("To fix it, run:") + QLatin1Char('\n') + command);
        QPushButton *copy = box->addButton(tr("Copy command"), QMessageBox::ActionRole);
        connect(copy, &QPushButton::clicked, box, [command] { QGuiApplication::clipboard()->setText(command); });
    }
    box->show();
}
