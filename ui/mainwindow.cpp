#include "mainwindow.h"

#include "appsettings.h"
#include "cameracard.h"
#include "clientinfo.h"
#include "previewfeed.h"
#include "previewwidget.h"
#include "progressdialog.h"
#include "virtualcameraholder.h"
#include "webcamcontroller.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QDateTime>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

MainWindow::MainWindow()
{
    setWindowTitle(QStringLiteral("Lumo Webcam Client ") + QString::fromStdString(ClientInfo::versionText()));
    readSettings();
    createActions();
    createMenus();
    createStatusBar();

    feed = new PreviewFeed(this);
    feed->setEnabled(AppSettings::showPreview());
    connect(feed, &PreviewFeed::newFrame, this, &MainWindow::showNewestFrame, Qt::QueuedConnection);
    preview = new PreviewWidget;
    preview->setHint(tr("Connection > Connect... to start"));
    setCentralWidget(preview);

    progressDialog = new ProgressDialog(this);
    connect(progressDialog, &ProgressDialog::cancelRequested, this, &MainWindow::cancelConnecting);
    connectedNow = false;
    // The feed is a child of the window and so outlives the controller, which the destructor deletes.
    controller = new WebcamController(this, feed);

    reconnectTimer = new QTimer(this);
    reconnectTimer->setSingleShot(true);
    connect(reconnectTimer, &QTimer::timeout, this, &MainWindow::reconnectNow);
    rateTimer = new QTimer(this);
    rateTimer->setInterval(1000);
    connect(rateTimer, &QTimer::timeout, this, &MainWindow::updateRate);

    connect(this, &MainWindow::connected, this, &MainWindow::onConnectedSlot);
    connect(this, &MainWindow::connectError, this, &MainWindow::onConnectErrorSlot);
    connect(this, &MainWindow::disconnected, this, &MainWindow::onDisconnectedSlot);
    connect(this, &MainWindow::aborted, this, &MainWindow::onAbortedSlot);

    // Unchecked: a stored rotation outside 0..3 reaches the controller as it is and turns nothing.
    controller->setFlipHorizontal(AppSettings::hflip());
    controller->setFlipVertical(AppSettings::vflip());
    controller->setRotation(AppSettings::rotation());
    holdCamera(AppSettings::cameraCard());
}

MainWindow::~MainWindow()
{
    delete progressDialog;
    // Interrupts the capture thread's waits and waits for it: the thread's last report may still be
    // emitted from here, and Qt drops it with the window.
    delete controller;
}

void MainWindow::readSettings()
{
    AppSettings::load();
    resize(AppSettings::size());
    move(AppSettings::pos());
}

void MainWindow::createActions()
{
    // The object names are for finding the actions without their translated texts.
    connectAct = new QAction(QIcon(QStringLiteral(":/images/new.png")), tr("&Connect..."), this);
    connectAct->setObjectName(QStringLiteral("connect"));
    connectAct->setStatusTip(tr("Connect to remote device"));
    connect(connectAct, &QAction::triggered, this, &MainWindow::connectToRemoteDevice);

    disconnectAct = new QAction(QIcon(QStringLiteral(":/images/open.png")), tr("&Disconnect"), this);
    disconnectAct->setObjectName(QStringLiteral("disconnect"));
    disconnectAct->setEnabled(false);
    disconnectAct->setStatusTip(tr("disconnect from remote device"));
    connect(disconnectAct, &QAction::triggered, this, &MainWindow::disconnectFromRemoteDevice);

    exitAct = new QAction(tr("E&xit"), this);
    exitAct->setObjectName(QStringLiteral("exit"));
    exitAct->setStatusTip(tr("Exit the application"));
    connect(exitAct, &QAction::triggered, this, &QWidget::close);

    // A stored choice: connected only after the stored state is set, so that setting it writes
    // nothing back.
    const auto addChoice = [this](const QString &text, const char *name, bool checked, const QString &tip,
                                  auto slot) {
        auto *action = new QAction(text, this);
        action->setObjectName(QLatin1String(name));
        action->setCheckable(true);
        action->setChecked(checked);
        action->setStatusTip(tip);
        connect(action, &QAction::toggled, this, slot);
        return action;
    };
    flipHAct = addChoice(tr("Flip horizontally"), "flipHorizontally", AppSettings::hflip(), tr("Flip horizontally"),
                         &MainWindow::flipH);
    flipVAct = addChoice(tr("Flip vertically"), "flipVertically", AppSettings::vflip(), tr("Flip vertically"),
                         &MainWindow::flipV);

    // triggered() comes only from the user's choice, never from setChecked() below.
    rotationGroup = new QActionGroup(this);
    connect(rotationGroup, &QActionGroup::triggered, this, &MainWindow::onRotation);
    const int rotation = AppSettings::rotation();
    const auto addRotation = [&](const QString &text, int index) {
        auto *action = new QAction(text, this);
        action->setObjectName(QStringLiteral("rotate%1").arg(index * 90));
        action->setCheckable(true);
        action->setChecked(rotation == index);
        rotationGroup->addAction(action);
        return action;
    };
    rotate0Act = addRotation(tr("0 degrees"), 0);
    rotate90Act = addRotation(tr("90 degrees"), 1);
    rotate180Act = addRotation(tr("180 degress"), 2);
    rotate270Act = addRotation(tr("270 degrees"), 3);

    cameraCardAct = addChoice(tr("Keep the camera on between connections"), "cameraCard", AppSettings::cameraCard(),
                              tr("Show \"Waiting for the phone\" in the virtual camera while no phone is connected"),
                              &MainWindow::keepCameraOn);
    showPreviewAct = addChoice(tr("Show preview"), "showPreview", AppSettings::showPreview(),
                               tr("Show the picture that goes to the virtual camera"), &MainWindow::onShowPreview);
    reconnectAct = addChoice(tr("Reconnect automatically"), "reconnectAutomatically",
                             AppSettings::reconnectAutomatically(),
                             tr("Connect again by itself when the connection breaks off"),
                             &AppSettings::setReconnectAutomatically);

    aboutAct = new QAction(tr("&About..."), this);
    aboutAct->setObjectName(QStringLiteral("about"));
    aboutAct->setStatusTip(tr("Show the application's About box"));
    connect(aboutAct, &QAction::triggered, this, &MainWindow::about);

    helpAct = new QAction(tr("&Help..."), this);
    helpAct->setObjectName(QStringLiteral("help"));
    connect(helpAct, &QAction::triggered, this, &MainWindow::help);
}

void MainWindow::createMenus()
{
    connectionMenu = menuBar()->addMenu(tr("&Connection"));
    connectionMenu->addAction(connectAct);
    connectionMenu->addAction(disconnectAct);
    connectionMenu->addSeparator();
    connectionMenu->addAction(exitAct);

    optionsMenu = menuBar()->addMenu(tr("&Options"));
    QMenu *flipMenu = optionsMenu->addMenu(tr("Flip video"));
    flipMenu->addAction(flipHAct);
    flipMenu->addAction(flipVAct);
    QMenu *rotateMenu = optionsMenu->addMenu(tr("Rotate video"));
    rotateMenu->addAction(rotate0Act);
    rotateMenu->addAction(rotate90Act);
    rotateMenu->addAction(rotate180Act);
    rotateMenu->addAction(rotate270Act);
    optionsMenu->addAction(cameraCardAct);
    optionsMenu->addSeparator();
    optionsMenu->addAction(showPreviewAct);
    optionsMenu->addAction(reconnectAct);

    menuBar()->addSeparator();

    helpMenu = menuBar()->addMenu(tr("&Help"));
    helpMenu->addAction(helpAct);
    helpMenu->addAction(aboutAct);
}

void MainWindow::createStatusBar()
{
    statusLabel = new QLabel;
    statusLabel->setObjectName(QStringLiteral("status"));
    statusLabel->setText(tr("Disconnected"));
    statusBar()->addPermanentWidget(statusLabel, 1);
    streamLabel = new QLabel;
    streamLabel->setObjectName(QStringLiteral("stream"));
    statusBar()->addPermanentWidget(streamLabel);
    // Qt draws a status tip only left of the first visible permanent widget: both fields step aside
    // while a tip shows, and come back with their texts unchanged.
    connect(statusBar(), &QStatusBar::messageChanged, statusLabel, [this](const QString &message) {
        statusLabel->setVisible(message.isEmpty());
        streamLabel->setVisible(message.isEmpty());
    });
}

void MainWindow::keepCameraOn(bool on)
{
    AppSettings::setCameraCard(on);
    holdCamera(on);
}

void MainWindow::holdCamera(bool on)
{
    if (on && !cameraHolder) {
        const QSize size = AppSettings::cameraSize();
        cameraHolder = std::make_unique<VirtualCameraHolder>(cameraCard(), size.width(), size.height());
    } else if (!on) {
        cameraHolder.reset();
    }
}

void MainWindow::writeSettings()
{
    if (cameraHolder) {
        int width = 0;
        int height = 0;
        cameraHolder->lastSize(width, height);
        AppSettings::setCameraSize(QSize(width, height));
    }
    AppSettings::setPos(pos());
    AppSettings::setSize(size());
    AppSettings::saveAll();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (connectedNow) {
        const auto answer = QMessageBox::question(this, tr("Lumo Webcam Client"), tr("Still connected. Exit anyway?"),
                                                  QMessageBox::Yes | QMessageBox::Cancel);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        // Only asks; the destructor ends the thread without waiting out a read time-out.
        controller->stop();
    }
    writeSettings();
    event->accept();
}

void MainWindow::help()
{
    // Opens the default browser without waiting; whether that worked is not the window's concern.
    QDesktopServices::openUrl(QUrl(tr(ClientInfo::kWebPage)));
}

void MainWindow::about()
{
    QString text;
    text += tr("Version: ") + QString::fromStdString(ClientInfo::versionText());
    text += QLatin1Char('\n');
    text += tr("E-mail: ") + tr(ClientInfo::kSupportEmail);
    text += QLatin1Char('\n');
    text += tr("Support: ") + tr(ClientInfo::kWebPage);
    QMessageBox::about(this, tr("Lumo Webcam Client"), text);
}
